// candump's reader thread: drains the nets' receive buffers into a queue of
// entries as fast as they fill, so that decoding and printing, however slow
// for a moment, never let a ring lap. One thread fills, one takes.
#pragma once

#include <windows.h>

#include "ribex_client.h"

struct DumpEntry {
    RibexFrame frame;
    DWORD net;        // index into the nets given
    DWORD readError;  // 0: frame holds an entry; else the read of net failed with this code
};

struct DumpReader {
    RibexClientNet *const *nets;
    DWORD noNets;
    DumpEntry *entries;  // ring of capacity entries
    DWORD capacity;
    volatile LONG64 added, taken;  // entries ever added and taken
    volatile LONG64 lapped;   // entries the receive buffers lost before this thread read them
    volatile LONG64 dropped;  // entries for which the queue had no room
    volatile LONG stop;
    HANDLE hAdded;  // auto-reset: entries were added
    HANDLE hThread;
};

// Starts the thread; FALSE with the last error when it cannot.
BOOL DumpReaderStart(DumpReader *reader, RibexClientNet *const *nets, DWORD noNets, DWORD capacity);
// Takes up to max entries in the order they were read; 0 when none waits.
DWORD DumpReaderTake(DumpReader *reader, DumpEntry *out, DWORD max);
// Ends the thread and frees the queue.
void DumpReaderStop(DumpReader *reader);
