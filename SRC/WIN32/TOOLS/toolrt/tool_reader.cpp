#include "tool_reader.h"

namespace {

const DWORD kBatch = RX_BUFFER_NO_ENTRIES;  // a whole ring in one read

bool GoesOn(ToolReader *r, DWORD net, DWORD errorCode) {
    if (r->onReadError != nullptr) return r->onReadError(r->context, net, errorCode);
    return ToolReadErrorIsServerEvent(errorCode);
}

// One pass over the nets; false when a read failed for good.
bool ReadPass(ToolReader *r, RibexFrame *frames, bool *pGot) {
    *pGot = false;
    for (DWORD i = 0; i < (DWORD)r->nets.size(); ++i) {
        DWORD n = 0, lost = 0;
        if (!RibexReadFrames(r->nets[i], frames, kBatch, &n, &lost, 0)) {
            DWORD errorCode = GetLastError();
            if (GoesOn(r, i, errorCode)) continue;
            r->errorCode = errorCode;
            r->failedNet = i;
            InterlockedExchange(&r->failed, 1);
            return false;
        }
        if ((n != 0 || lost != 0) && r->onFrames != nullptr) r->onFrames(r->context, i, frames, n, lost);
        if (n != 0) *pGot = true;
    }
    return true;
}

DWORD WINAPI ReaderThread(void *param) {
    ToolReader *r = static_cast<ToolReader *>(param);
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
        else if (!got && noWakes != 0)
            WaitForMultipleObjects(noWakes, wakes, FALSE, r->idleWaitMs);
    }
    delete[] frames;
    return 0;
}

}  // namespace

bool ToolReadErrorIsServerEvent(DWORD errorCode) {
    return errorCode == RIBEX_ERROR_SERVER_GONE || errorCode == RIBEX_ERROR_NET_REOPENED;
}

BOOL ToolReaderStart(ToolReader *r) {
    r->stop = 0;
    r->failed = 0;
    r->hThread = CreateThread(nullptr, 0, ReaderThread, r, 0, nullptr);
    return r->hThread != nullptr;
}

void ToolReaderStop(ToolReader *r) {
    if (r->hThread == nullptr) return;
    InterlockedExchange(&r->stop, 1);
    WaitForSingleObject(r->hThread, INFINITE);
    CloseHandle(r->hThread);
    r->hThread = nullptr;
}
