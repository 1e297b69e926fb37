#include "canmon_reader.h"

namespace {

const DWORD kBatch = RX_BUFFER_NO_ENTRIES;  // a whole ring in one read
const DWORD kIdleWaitMs = 100;              // to notice the stop request

// One pass over the nets; false when a read failed.
bool ReadPass(MonReader *r, RibexFrame *frames, bool *pGot) {
    *pGot = false;
    for (DWORD i = 0; i < r->nets.size(); ++i) {
        DWORD n = 0, lost = 0;
        if (!RibexReadFrames(r->nets[i], frames, kBatch, &n, &lost, 0)) {
            DWORD errorCode = GetLastError();
            // The library reopens a net whose server went away: shown in
            // the net's header, the monitor goes on.
            if (errorCode == RIBEX_ERROR_SERVER_GONE || errorCode == RIBEX_ERROR_NET_REOPENED) {
                MonTableServerState(r->table, i, errorCode == RIBEX_ERROR_SERVER_GONE);
                continue;
            }
            r->errorCode = errorCode;
            r->failedNet = i;
            InterlockedExchange(&r->failed, 1);
            return false;
        }
        if (n != 0 || lost != 0) {
            ULONGLONG nowMs = GetTickCount64();
            MonTableAdd(r->table, i, frames, n, lost, nowMs);
            if (r->onBatch != nullptr && n != 0) r->onBatch(r->context, i, frames, n, nowMs);
        }
        if (n != 0) *pGot = true;
    }
    return true;
}

DWORD WINAPI ReaderThread(void *param) {
    MonReader *r = static_cast<MonReader *>(param);
    RibexFrame *frames = new RibexFrame[kBatch];
    HANDLE wakes[MAXIMUM_WAIT_OBJECTS];
    DWORD noWakes = 0;
    for (RibexClientNet *pNet : r->nets)
        if (noWakes < MAXIMUM_WAIT_OBJECTS) wakes[noWakes++] = RibexGetWakeEvent(pNet);
    while (!r->stop) {
        bool got = false;
        if (!ReadPass(r, frames, &got)) break;
        if (r->readDelayMs != 0)
            Sleep(r->readDelayMs);
        else if (!got)
            WaitForMultipleObjects(noWakes, wakes, FALSE, kIdleWaitMs);
    }
    delete[] frames;
    return 0;
}

}  // namespace

bool MonReaderStart(MonReader *r) {
    r->stop = 0;
    r->hThread = CreateThread(nullptr, 0, ReaderThread, r, 0, nullptr);
    return r->hThread != nullptr;
}

void MonReaderStop(MonReader *r) {
    if (r->hThread == nullptr) return;
    InterlockedExchange(&r->stop, 1);
    WaitForSingleObject(r->hThread, INFINITE);
    CloseHandle(r->hThread);
    r->hThread = nullptr;
}
