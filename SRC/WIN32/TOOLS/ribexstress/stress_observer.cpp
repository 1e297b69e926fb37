// Observers (see stress_observer.h).
#include "stress_observer.h"

namespace {

const DWORD READ_BATCH = 128;
const DWORD READ_WAIT_MS = 100;

const DWORD ERROR_ENTRY_OVERFLOW = ERROR_IO_DEVICE;

void CountErrorEntry(Observer *pObserver, DWORD errorCode) {
    uint64_t nowMs = pObserver->clockMs();
    if (errorCode == RX_ERROR_DEVICE_BACK) {
        ++pObserver->backEntries;
        GapSign(&pObserver->gaps, GapKind::Device, true, nowMs);
    } else if (errorCode == ERROR_ENTRY_OVERFLOW) {
        ++pObserver->errorEntries;
    } else {  // the read error with which the device went
        ++pObserver->goneEntries;
        GapSign(&pObserver->gaps, GapKind::Device, false, nowMs);
    }
}

void Count(Observer *pObserver, const RibexFrame *frames, DWORD noFrames, DWORD lostFrames) {
    pObserver->lappedEntries += lostFrames;
    for (DWORD i = 0; i < noFrames; ++i) {
        uint32_t seq;
        if (frames[i].errorCode != 0)
            CountErrorEntry(pObserver, frames[i].errorCode);
        else if (ReadStressFrame(frames[i].msg, pObserver->canId, &seq))
            GapFrame(&pObserver->gaps, &pObserver->track, seq, pObserver->clockMs());
        else
            ++pObserver->foreignFrames;
    }
}

// The library's word that the server died or that the net is open on a
// new one: the reader goes on.
bool ServerSign(Observer *pObserver, DWORD errorCode) {
    if (errorCode == RIBEX_ERROR_SERVER_GONE) {
        ++pObserver->serverGone;
        GapSign(&pObserver->gaps, GapKind::Server, false, pObserver->clockMs());
        return true;
    }
    if (errorCode == RIBEX_ERROR_NET_REOPENED) {
        ++pObserver->reopened;
        GapSign(&pObserver->gaps, GapKind::Server, true, pObserver->clockMs());
        return true;
    }
    return false;
}

// A kill or restart the controller has started since the last look opens
// a gap, before the frames read now are counted.
void FollowEvents(Observer *pObserver) {
    if (pObserver->pEventsStarted == nullptr) return;
    DWORD started = (DWORD)*pObserver->pEventsStarted;
    if (started == pObserver->gaps.lastEventNo) return;
    MemoryBarrier();
    EventKind kind = (EventKind)*pObserver->pLastEventKind;
    if (EventTouches(kind, pObserver->onDevice))
        GapEventStarted(&pObserver->gaps, started, GapKindOf(kind), pObserver->clockMs());
    else
        pObserver->gaps.lastEventNo = started;
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
        BOOL ok = RibexReadFrames(pObserver->pNet, frames, READ_BATCH, &noFrames, &lostFrames,
                                  READ_WAIT_MS);
        DWORD errorCode = GetLastError();
        FollowEvents(pObserver);
        if (!ok) {
            if (ServerSign(pObserver, errorCode)) continue;
            pObserver->failure = errorCode;
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
