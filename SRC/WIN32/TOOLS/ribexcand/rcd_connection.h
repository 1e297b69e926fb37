// One socketcand connection: its own thread, its own net handle and read
// position in the net's receive buffer, and a bounded output buffer, so a
// client that reads slowly only loses frames of its own.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "rcd_options.h"

// What the listener and every connection share.
typedef struct RcdShared {
    const RcdOptions *options;
    HANDLE hStop;                   // manual-reset: Ctrl+C, the run time is over
    unsigned long long stampShift;  // added to every time stamp (wall clock, -e)
    volatile LONG active;           // connections being served
    volatile LONG frames;           // totals over every connection
    volatile LONG lost;
    volatile LONG toBus;
} RcdShared;

// Serves the accepted socket on a thread of its own, which owns the socket
// from here on. Returns the thread handle, or NULL (socket closed) with the
// last error set.
HANDLE RcdStartConnection(RcdShared *shared, SOCKET s, const char *peer, DWORD number);
