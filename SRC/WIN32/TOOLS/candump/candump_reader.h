// candump's queue between the reader thread, which drains the nets'
// receive buffers as fast as they fill, and the printing thread, so that
// decoding and printing, however slow for a moment, never let a ring lap.
// One thread fills, one takes.
#pragma once

#include <windows.h>

#include "ribex_client.h"
#include "tool_reader.h"

struct DumpEntry {
    RibexFrame frame;
    DWORD net;        // index into the nets given
    DWORD readError;  // 0: frame holds an entry; else the read of net failed with this code
};

struct DumpReader {
    ToolReader reader;
    DumpEntry *entries;  // ring of capacity entries
    DWORD capacity;
    volatile LONG64 added, taken;  // entries ever added and taken
    volatile LONG64 lapped;   // entries the receive buffers lost before this thread read them
    volatile LONG64 dropped;  // entries for which the queue had no room
    HANDLE hAdded;  // auto-reset: entries were added
};

// Starts the thread on nets; FALSE with the last error when it cannot.
BOOL DumpReaderStart(DumpReader *reader, const std::vector<RibexClientNet *> &nets, DWORD capacity);
// Takes up to max entries in the order they were read; 0 when none waits.
DWORD DumpReaderTake(DumpReader *reader, DumpEntry *out, DWORD max);
// Ends the thread and frees the queue.
void DumpReaderStop(DumpReader *reader);
