#include "canmon_reader.h"

namespace {

void OnFrames(void *context, DWORD net, const RibexFrame *frames, DWORD n, DWORD lost) {
    MonReader *r = static_cast<MonReader *>(context);
    ULONGLONG nowMs = GetTickCount64();
    MonTableAdd(r->table, net, frames, n, lost, nowMs);
    if (r->onBatch != nullptr && n != 0) r->onBatch(r->context, net, frames, n, nowMs);
}

// The library reopens a net whose server went away: shown in the net's
// header, the monitor goes on.
bool OnReadError(void *context, DWORD net, DWORD errorCode) {
    MonReader *r = static_cast<MonReader *>(context);
    if (!ToolReadErrorIsServerEvent(errorCode)) return false;
    MonTableServerState(r->table, net, errorCode == RIBEX_ERROR_SERVER_GONE);
    return true;
}

}  // namespace

bool MonReaderStart(MonReader *r) {
    r->reader.onFrames = OnFrames;
    r->reader.onReadError = OnReadError;
    r->reader.context = r;
    return ToolReaderStart(&r->reader) != FALSE;
}

void MonReaderStop(MonReader *r) { ToolReaderStop(&r->reader); }
