// canmon's signals: with DBC files (-d), every data frame of a known
// message is decoded as the reader folds it in, one row per signal with its
// value, the minimum and maximum seen and whether it changed since the last
// snapshot. The rows live in the table, under its lock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "candb.h"
#include "rx_buffer_layout.h"

struct MonSignalRow {
    DWORD net;
    DWORD canId;
    const CanDbMessage *msg;
    unsigned signal;  // index in msg->signals
    unsigned long long count;  // frames in which the signal was present
    double value, minimum, maximum;  // physical
    const char *label;  // value-table text of the value, or NULL
    bool changed;       // since the last snapshot
};

struct MonTable;

// Decoding from now on: databases (kept by the caller, outliving the table)
// and the net names they are looked up by (UTF-8, in command-line order).
void MonTableSetDatabases(MonTable *t, const CanDbSet *databases, const std::vector<std::string> &netNames);

// Called by MonTableAdd, under the table's lock, for every data frame.
void MonSignalsAdd(MonTable *t, DWORD net, const RxMsg *msg);

// The signal rows of the rows the table still holds (after a drop).
void MonSignalsKeepRowsOf(MonTable *t);
