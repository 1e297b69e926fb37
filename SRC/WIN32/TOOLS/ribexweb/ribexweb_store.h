// What ribexweb knows of its sources (live nets and recorded logs): the
// per-identifier table of canmon (canmon_table.h, its own lock), and under
// the store's lock every decoded signal with its last value and its
// history (ribexweb_history.h). Reader threads add, HTTP threads copy out.
#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "candb.h"
#include "canlogio.h"
#include "canmon_rate.h"
#include "canmon_table.h"
#include "ribexweb_history.h"

struct WebSource {
    std::string name;  // the net's name, or LOGn for the n-th --log
    bool live;
    std::string file;  // a log's path (UTF-8)
    bool haveOrigin;
    unsigned long long origin;     // first frame's stamp (100 ns): time 0 of the source
    unsigned long long lastStamp;  // newest stamp (100 ns)
    long long clockOffset;         // live: the largest stamp - tick seen, 100 ns
    bool haveClock;
    MonRateWindow window;  // live: frames of the last two seconds
    bool loaded;           // a log read to its end (or to its damage)
    std::string stopText;  // why a log's reading stopped early, "" if it did not
    unsigned long long logBytes, logPosition;
};

struct WebSignal {
    DWORD source;
    DWORD canId;
    const CanDbMessage *msg;
    unsigned index;  // in msg->signals
    std::string name;  // MSG.SIG
    unsigned long long count;
    double value;
    double t;  // seconds since the source's first frame
    const char *label;
    WebHistory history;
};

struct WebStore {
    SRWLOCK lock;
    MonTable table;  // net index = source index
    const CanDbSet *databases = nullptr;
    std::vector<WebSource> sources;
    std::vector<WebSignal> signals;
    // (source, canId) -> first signal of its message, or SIZE_MAX for none.
    std::unordered_map<unsigned long long, size_t> firstSignal;
    std::vector<CanDbValue> values;  // decode buffer
    size_t historyCapacity = 0;      // points per signal
};

// sources: names and kinds in order; databases may be null.
void WebStoreInit(WebStore *s, const std::vector<WebSource> &sources, const CanDbSet *databases,
                  size_t historyCapacity);

// A batch read from a live net (already in the table: the reader puts it
// there), into the signals.
void WebStoreAddSignals(WebStore *s, DWORD source, const RibexFrame *frames, DWORD n, ULONGLONG nowMs);

// Records read from a log, into the table and the signals.
void WebStoreAddRecords(WebStore *s, DWORD source, const CanLogRecord *records, DWORD n);

void WebStoreLogProgress(WebStore *s, DWORD source, unsigned long long position, bool loaded,
                         const std::string &stopText);

// Seconds since the source's first frame that is "now": live, the net's
// clock at tick nowMs; a log, its last frame.
double WebSourceNow(const WebSource *src, ULONGLONG nowMs);

// A copy of the sources, for reading outside the lock.
std::vector<WebSource> WebStoreSources(WebStore *s);

// The index of signal NAME ("MSG.SIG" or "NET/MSG.SIG"), SIZE_MAX when none
// (or when MSG.SIG is on several sources and NET/ is missing). Under the lock.
size_t WebStoreFindSignal(const WebStore *s, const std::string &name);

// The name the API gives signal i: MSG.SIG, or NET/MSG.SIG when another
// source has a signal of that name too. Under the lock.
std::string WebStoreSignalKey(const WebStore *s, size_t i);
