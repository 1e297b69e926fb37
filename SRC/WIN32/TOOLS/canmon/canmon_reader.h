// canmon's reader thread: drains the receive buffers of the nets into the
// statistics table as fast as they fill, whatever the display does.
#pragma once

#include <windows.h>

#include <vector>

#include "canmon_table.h"
#include "ribex_client.h"

// Called by the reader thread after each batch went into the table (for a
// tool that keeps more than the table: decoded histories, say).
typedef void (*MonBatchFn)(void *context, DWORD net, const RibexFrame *frames, DWORD n,
                           ULONGLONG nowMs);

struct MonReader {
    std::vector<RibexClientNet *> nets;
    MonTable *table = nullptr;
    MonBatchFn onBatch = nullptr;  // may be null
    void *context = nullptr;
    DWORD readDelayMs = 0;  // a pause after every pass (tests: falling behind)
    volatile LONG stop = 0;
    volatile LONG failed = 0;  // a read failed: errorCode, failedNet
    DWORD errorCode = 0;
    DWORD failedNet = 0;
    HANDLE hThread = nullptr;
};

bool MonReaderStart(MonReader *r);
// Tells the thread to end and waits for it.
void MonReaderStop(MonReader *r);
