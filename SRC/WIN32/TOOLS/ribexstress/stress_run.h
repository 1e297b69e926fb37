// Everything one run of ribexstress holds, shared by the run's phases
// (ribexstress.cpp) and its report (stress_report.cpp).
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "msgq.h"
#include "stress_children.h"
#include "stress_disrupt.h"
#include "stress_fuzz.h"
#include "stress_observer.h"
#include "stress_options.h"
#include "stress_server.h"
#include "stress_traffic.h"

struct StressRun {
    StressOptions options;
    std::vector<StressNet> nets;
    std::vector<std::unique_ptr<TrafficStream>> streams;  // one per net, same order
    std::vector<std::unique_ptr<Observer>> observers;
    std::vector<size_t> observerNet;  // net index of each observer
    ChildPool children;
    Fuzzer fuzzer;
    MsgQHandle hServerQueue = nullptr;  // keeps the server up while the run sets up
    ServerWatch server;
    Disruptor disruptor;
    std::vector<ServerSample> restSamples;  // at quiet points: only observers and peers
    BOOL serverEnded = FALSE;
    DWORD serverExitCode = 0;
    uint64_t serverEndMs = 0;  // after the last client let go
    uint64_t runEndMs = 0;
    bool interrupted = false;
};

// The progress line at atS seconds.
void PrintProgress(const StressRun &run, DWORD atS);
// The summary; returns the number of failed checks (0: the run passed).
int PrintSummary(const StressRun &run);
