// What candump's frames mean: the DBC files given with -d, one per net or
// for every net, and a frame decoded into its message's signals.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "candb.h"
#include "ribex_client.h"

struct DumpSignals {
    CanDbSet set;
    std::vector<CanDbValue> values;  // room for the largest message's signals
};

// Loads every "FILE.dbc" or "NET=FILE.dbc"; FALSE with *error as
// "FILE:LINE:COLUMN: what was expected" or naming the two files that define
// one identifier for one net.
BOOL DumpSignalsLoad(DumpSignals *s, const wchar_t *const *arguments, DWORD count, std::string *error);

// The message a data frame of net means, its signals decoded into
// s->values; NULL for remote frames, error entries and unknown identifiers.
const CanDbMessage *DumpSignalsDecode(DumpSignals *s, const char *net, const RibexFrame *frame);
