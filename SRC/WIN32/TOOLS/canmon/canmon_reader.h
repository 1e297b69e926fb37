// canmon's reader: the runtime's reader of several nets, feeding the
// statistics table as fast as the receive buffers fill, whatever the
// display does.
#pragma once

#include <windows.h>

#include "canmon_table.h"
#include "ribex_client.h"
#include "tool_reader.h"

// Called by the reader thread after each batch went into the table (for a
// tool that keeps more than the table: decoded histories, say).
typedef void (*MonBatchFn)(void *context, DWORD net, const RibexFrame *frames, DWORD n,
                           ULONGLONG nowMs);

struct MonReader {
    ToolReader reader;  // its nets, readDelayMs, failed, errorCode, failedNet
    MonTable *table = nullptr;
    MonBatchFn onBatch = nullptr;  // may be null
    void *context = nullptr;
};

// Starts the thread on reader.nets; false with the last error.
bool MonReaderStart(MonReader *r);
// Tells the thread to end and waits for it.
void MonReaderStop(MonReader *r);
