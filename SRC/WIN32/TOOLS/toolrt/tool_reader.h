// A thread that drains the receive buffers of several nets as fast as they
// fill and hands every batch to the tool, whatever the tool's printing or
// display does meanwhile. It sleeps on the nets' wake events when all are
// empty.
#pragma once

#include <windows.h>

#include <vector>

#include "ribex_client.h"

struct ToolReader {
    std::vector<RibexClientNet *> nets;
    // A batch of net: n frames (n may be 0 when only lost is not), lost
    // the entries its ring lost before they were read. On the reader thread.
    void (*onFrames)(void *context, DWORD net, const RibexFrame *frames, DWORD n, DWORD lost) =
        nullptr;
    // A read of net failed with errorCode; true to go on (the library
    // reopens a net whose server went away), false to end the thread with
    // failed set. NULL: go on only for the server's going and the reopen.
    bool (*onReadError)(void *context, DWORD net, DWORD errorCode) = nullptr;
    void *context = nullptr;
    DWORD readDelayMs = 0;   // a pause after every pass (tests: a reader that falls behind)
    DWORD idleWaitMs = 100;  // longest sleep on the wake events, to notice stop
    volatile LONG stop = 0;
    volatile LONG failed = 0;  // a read failed for good: errorCode, failedNet
    DWORD errorCode = 0;
    DWORD failedNet = 0;
    HANDLE hThread = nullptr;
};

// Starts the thread on reader->nets; FALSE with the last error when it
// cannot.
BOOL ToolReaderStart(ToolReader *reader);
// Tells the thread to end and waits for it.
void ToolReaderStop(ToolReader *reader);

// The errors a reader goes on after: the server went away, the net was
// opened again on a new one.
bool ToolReadErrorIsServerEvent(DWORD errorCode);
