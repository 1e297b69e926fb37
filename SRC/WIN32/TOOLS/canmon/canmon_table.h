// canmon's statistics: one row per net and identifier (remote frames apart,
// bit 31 of the identifier), and per net the totals of its header. The
// reader thread folds each batch in under a short lock; the display takes a
// copy (a snapshot) under the same lock and works on that, so that drawing
// never holds up reading.
#pragma once

#include <windows.h>

#include <unordered_map>
#include <vector>

#include "canmon_rate.h"
#include "canmon_signals.h"
#include "ribex_client.h"

struct MonRow {
    DWORD net;    // index of the net on the command line
    DWORD canId;  // bit 31: remote frame
    unsigned long long count;
    unsigned long long firstStamp, lastStamp;  // the frames' own, 100 ns
    double periodMean, periodM2;               // running mean and squared deviations, 100 ns
    ULONGLONG lastSeenMs;                      // the monitor's clock when the last one was read
    DWORD length;
    BYTE data[8];
    BYTE changedMask;  // bytes that changed since the last snapshot, bit i = byte i
    MonRateWindow window;  // the frames of the last seconds, by their stamps
    double rate;           // frames/s in the window, worked out by the snapshot
};

struct MonNetStats {
    unsigned long long frames;  // data and remote frames, error entries not
    unsigned long long busBits;
    unsigned long long lost;  // entries the writer overwrote before we read them
    unsigned long long errorEntries;
    unsigned long long firstStamp, lastStamp;
    DWORD lastError;  // code of the last error entry
    bool serverGone;  // the server went away; the client library is reopening the net
    unsigned long long reopens;  // times the net was opened again on a new server
    // The net's clock against the monitor's: the largest stamp - nowMs seen
    // (frames are stamped before they are read), so that the window can end
    // at "now" on the net's clock when no frame comes any more.
    long long clockOffset;  // 100 ns
    bool haveClock;
};

struct MonTable {
    SRWLOCK lock;
    std::vector<MonRow> rows;
    std::unordered_map<unsigned long long, size_t> index;  // (net, canId) -> rows[i]
    std::vector<MonNetStats> nets;
    // With DBC files: the decoded signals (canmon_signals.h).
    const CanDbSet *databases = nullptr;
    std::vector<std::string> netNames;
    std::vector<MonSignalRow> signals;
    std::unordered_map<unsigned long long, size_t> signalIndex;  // (net, canId) -> first signal row
    std::vector<CanDbValue> values;                             // decode buffer
};

struct MonSnapshot {
    std::vector<MonRow> rows;
    std::vector<MonNetStats> nets;
    std::vector<MonSignalRow> signals;
    ULONGLONG takenMs;
};

void MonTableInit(MonTable *t, DWORD noNets);

// Folds one batch read from net (n entries, lost overwritten before they
// were read) into the table, all under one lock.
// The server of net went away (gone) or the net was opened again on a new
// server (not gone; counted as a reopen).
void MonTableServerState(MonTable *t, DWORD net, bool gone);
void MonTableAdd(MonTable *t, DWORD net, const RibexFrame *frames, DWORD n, DWORD lost,
                 ULONGLONG nowMs);

// Copies everything into *snap, each row's rate over the window that ends
// now on its net's clock; the changed-byte marks start over.
void MonTableSnapshot(MonTable *t, ULONGLONG nowMs, MonSnapshot *snap);

// Counters back to zero: every row goes, they come back with their next frame.
void MonTableClear(MonTable *t);

// Drops the rows whose last frame is older than ageMs.
void MonTableDropStale(MonTable *t, ULONGLONG nowMs, ULONGLONG ageMs);

// Figures of a row, from the frames' time stamps: the rate of the last
// seconds as of its snapshot; period and jitter over every frame (0 with
// fewer than two, three).
double MonRowRate(const MonRow *row);       // frames/s
double MonRowPeriodMs(const MonRow *row);   // mean period
double MonRowJitterMs(const MonRow *row);   // standard deviation of the period
double MonNetRate(const MonNetStats *net);  // frames/s
double MonNetSeconds(const MonNetStats *net);
