// Observers (see stress_observer.h).
#include "stress_observer.h"

namespace {

const DWORD READ_BATCH = 128;
const DWORD READ_WAIT_MS = 100;

void Count(Observer *pObserver, const RibexFrame *frames, DWORD noFrames, DWORD lostFrames) {
    pObserver->lappedEntries += lostFrames;
    for (DWORD i = 0; i < noFrames; ++i) {
        uint32_t seq;
        if (frames[i].errorCode != 0)
            ++pObserver->errorEntries;
        else if (ReadStressFrame(frames[i].msg, pObserver->canId, &seq))
            SeqTrackFrame(&pObserver->track, seq);
        else
            ++pObserver->foreignFrames;
    }
}

DWORD WINAPI ObserverThread(void *pParam) {
    Observer *pObserver = (Observer *)pParam;
    RibexFrame *frames =
        (RibexFrame *)HeapAlloc(GetProcessHeap(), 0, READ_BATCH * sizeof(RibexFrame));
    if (frames == nullptr) {
        pObserver->failure = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    while (!pObserver->stop) {
        DWORD noFrames = 0, lostFrames = 0;
        if (!RibexReadFrames(pObserver->pNet, frames, READ_BATCH, &noFrames, &lostFrames,
                             READ_WAIT_MS)) {
            pObserver->failure = GetLastError();
            break;
        }
        Count(pObserver, frames, noFrames, lostFrames);
    }
    HeapFree(GetProcessHeap(), 0, frames);
    return 0;
}

}  // namespace

BOOL StartObserver(Observer *pObserver) {
    RibexClientOptions options = {};
    options.serverQueueName = pObserver->serverQueue.c_str();
    if (!RibexOpenNet(pObserver->netName.c_str(), &options, &pObserver->pNet)) return FALSE;
    SeqTrackExpectFromZero(&pObserver->track);
    pObserver->hThread = CreateThread(nullptr, 0, ObserverThread, pObserver, 0, nullptr);
    if (pObserver->hThread != nullptr) return TRUE;
    DWORD errorCode = GetLastError();
    RibexCloseNet(pObserver->pNet);
    pObserver->pNet = nullptr;
    SetLastError(errorCode);
    return FALSE;
}

void DrainObserver(Observer *pObserver, uint32_t totalSent, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (pObserver->failure == 0 && pObserver->track.next != totalSent &&
           GetTickCount() - start < timeoutMs)
        Sleep(20);
}

void StopObserver(Observer *pObserver, uint32_t totalSent) {
    InterlockedExchange(&pObserver->stop, 1);
    if (pObserver->hThread != nullptr) {
        WaitForSingleObject(pObserver->hThread, INFINITE);
        CloseHandle(pObserver->hThread);
        pObserver->hThread = nullptr;
    }
    SeqTrackFinish(&pObserver->track, totalSent);
    if (pObserver->pNet != nullptr && !RibexCloseNet(pObserver->pNet) && pObserver->failure == 0)
        pObserver->failure = GetLastError();
    pObserver->pNet = nullptr;
}
