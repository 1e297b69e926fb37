// The run's server kills and driver restarts: started when due, one at a
// time, each settled once every observer it touched has read a frame
// again (or a time limit has passed) before the next may start.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "stress_events.h"
#include "stress_observer.h"
#include "stress_server.h"

#define STRESS_SETTLE_LIMIT_MS 20000u  // an observer not back by then never resumed

struct Disruptor {
    // Set up by the caller.
    EventSchedule schedule;
    std::wstring service;
    uint64_t (*clockMs)(void) = nullptr;
    // Kept here.
    std::vector<StressEvent> events;
    HANDLE hRestartThread = nullptr;  // a driver restart in progress
    volatile LONG restartError = 0;
    volatile LONG64 restartDoneMs = 0;
    DWORD kills = 0, restarts = 0;
    volatile LONG eventsStarted = 0;  // what the observers follow
    volatile LONG lastEventKind = 0;
};

// One pass of the run's loop: follows the event in progress and starts
// the next one when it is due.
void DisruptTick(Disruptor *pDisruptor, ServerWatch *pServer,
                 const std::vector<Observer *> &observers);
// Waits for a driver restart in progress and for the new server of the
// last kill (up to timeoutMs).
void FinishDisruptions(Disruptor *pDisruptor, ServerWatch *pServer, DWORD timeoutMs);
