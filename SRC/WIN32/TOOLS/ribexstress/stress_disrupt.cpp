// Server kills and driver restarts in a run (see stress_disrupt.h).
#include "stress_disrupt.h"

#include <cstdio>

#include "vcan_control.h"

namespace {

const DWORD KILL_WAIT_MS = 10000;

DWORD WINAPI RestartThread(void *pParam) {
    Disruptor *pDisruptor = (Disruptor *)pParam;
    const wchar_t *service = pDisruptor->service.c_str();
    BOOL ok = VcanStopService(service) && VcanStartService(service);
    InterlockedExchange(&pDisruptor->restartError, ok ? 0 : (LONG)GetLastError());
    InterlockedExchange64(&pDisruptor->restartDoneMs, (LONG64)pDisruptor->clockMs());
    return 0;
}

// Told to the observers before the event acts: their windows open first.
void Announce(Disruptor *pDisruptor, EventKind kind) {
    InterlockedExchange(&pDisruptor->lastEventKind, (LONG)kind);
    InterlockedIncrement(&pDisruptor->eventsStarted);
}

void StartKill(Disruptor *pDisruptor, ServerWatch *pServer) {
    StressEvent event;
    event.kind = EventKind::ServerKill;
    event.oldPid = pServer->pid;
    event.atMs = pDisruptor->clockMs();
    Announce(pDisruptor, EventKind::ServerKill);
    if (!KillServer(pServer, KILL_WAIT_MS)) event.errorCode = GetLastError();
    event.doneMs = pDisruptor->clockMs();
    std::printf("[%7.1f s] server pid %#lx killed%s\n", event.atMs / 1000.0,
                (unsigned long)event.oldPid, event.errorCode != 0 ? " (FAILED)" : "");
    std::fflush(stdout);
    pDisruptor->events.push_back(event);
    ++pDisruptor->kills;
}

void StartRestart(Disruptor *pDisruptor) {
    StressEvent event;
    event.kind = EventKind::DriverRestart;
    InterlockedExchange64(&pDisruptor->restartDoneMs, 0);
    event.atMs = pDisruptor->clockMs();
    Announce(pDisruptor, EventKind::DriverRestart);
    pDisruptor->hRestartThread = CreateThread(nullptr, 0, RestartThread, pDisruptor, 0, nullptr);
    if (pDisruptor->hRestartThread == nullptr) {
        event.errorCode = GetLastError();
        event.doneMs = event.atMs;
    }
    std::printf("[%7.1f s] driver %ls stopping and starting again\n", event.atMs / 1000.0,
                pDisruptor->service.c_str());
    std::fflush(stdout);
    pDisruptor->events.push_back(event);
    ++pDisruptor->restarts;
}

// The restart thread's end and the kill's new server, once they are there.
void FollowLastEvent(Disruptor *pDisruptor, ServerWatch *pServer) {
    if (pDisruptor->events.empty()) return;
    StressEvent &last = pDisruptor->events.back();
    if (pDisruptor->hRestartThread != nullptr && pDisruptor->restartDoneMs != 0) {
        WaitForSingleObject(pDisruptor->hRestartThread, INFINITE);
        CloseHandle(pDisruptor->hRestartThread);
        pDisruptor->hRestartThread = nullptr;
        last.doneMs = (uint64_t)pDisruptor->restartDoneMs;
        last.errorCode = (DWORD)pDisruptor->restartError;
    }
    if (last.kind == EventKind::ServerKill && last.newPid == 0 && pServer->hProcess == nullptr &&
        TryFindServer(pServer)) {
        last.newPid = pServer->pid;
        last.newServerMs = pDisruptor->clockMs();
    }
}

bool LastEventSettled(const Disruptor *pDisruptor, const ServerWatch *pServer,
                      const std::vector<Observer *> &observers, uint64_t nowMs) {
    if (pDisruptor->events.empty()) return true;
    const StressEvent &last = pDisruptor->events.back();
    if (nowMs - last.atMs > STRESS_SETTLE_LIMIT_MS) return true;
    if (last.kind == EventKind::DriverRestart && pDisruptor->hRestartThread != nullptr)
        return false;
    if (last.kind == EventKind::ServerKill && pServer->hProcess == nullptr) return false;
    if (last.errorCode != 0) return true;
    for (const Observer *pObserver : observers)
        if (EventTouches(last.kind, pObserver->onDevice) &&
            (size_t)pObserver->gaps.resumedEventNo < pDisruptor->events.size())
            return false;
    return true;
}

}  // namespace

void DisruptTick(Disruptor *pDisruptor, ServerWatch *pServer,
                 const std::vector<Observer *> &observers) {
    FollowLastEvent(pDisruptor, pServer);
    uint64_t nowMs = pDisruptor->clockMs();
    bool settled = LastEventSettled(pDisruptor, pServer, observers, nowMs);
    EventKind kind;
    if (!TakeDueEvent(&pDisruptor->schedule, nowMs, settled, &kind)) return;
    if (kind == EventKind::ServerKill)
        StartKill(pDisruptor, pServer);
    else
        StartRestart(pDisruptor);
}

void FinishDisruptions(Disruptor *pDisruptor, ServerWatch *pServer, DWORD timeoutMs) {
    uint64_t startMs = pDisruptor->clockMs();
    for (;;) {
        FollowLastEvent(pDisruptor, pServer);
        bool restarting = pDisruptor->hRestartThread != nullptr;
        bool serverMissing = pServer->hProcess == nullptr;
        if ((!restarting && !serverMissing) || pDisruptor->clockMs() - startMs > timeoutMs) break;
        Sleep(20);
    }
}
