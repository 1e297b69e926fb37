// ribexstress: one command that drives the whole system (client children
// that join, read, leave or are killed; observers; paced peers; fuzzed
// requests) and prints what happened. Run "ribexstress -h" for the usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ribex_version.h"
#include "server_start.h"
#include "stress_child.h"
#include "stress_run.h"
#include "tool_clock.h"
#include "tool_stop.h"

namespace {

const DWORD TICK_MS = 10;
const DWORD QUIET_TIMEOUT_MS = 15000;  // children to end and removals to settle
const DWORD SETTLE_MS = 300;           // the server closes a leaver's event within 100 ms
const DWORD DRAIN_TIMEOUT_MS = 5000;
const DWORD SERVER_END_TIMEOUT_MS = 30000;
const DWORD MARKER_GONE_TIMEOUT_MS = 10000;
const DWORD NEW_SERVER_TIMEOUT_MS = 10000;

uint64_t g_startMs;

uint64_t RunClockMs(void) { return ToolNowMs() - g_startMs; }

int Fatal(const wchar_t *what, DWORD errorCode) {
    std::fwprintf(stderr, L"ribexstress: %ls: error %lu\n", what, (unsigned long)errorCode);
    return 2;
}

std::wstring SelfPath() {
    wchar_t path[MAX_PATH * 2];
    DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    return std::wstring(path, chars);
}

// A server of another run would serve our queue's clients never: its
// instance marker keeps ours from starting. Wait for one that is ending.
BOOL NoServerRunning() {
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE hMarker = OpenMutexW(SYNCHRONIZE, FALSE, RIBEX_INSTANCE_MARKER_NAME);
        if (hMarker == nullptr) return TRUE;
        CloseHandle(hMarker);
        if (GetTickCount() - start > MARKER_GONE_TIMEOUT_MS) return FALSE;
        Sleep(100);
    }
}

void SetUpNets(StressRun *pRun) {
    const StressOptions &o = pRun->options;
    if (!o.simNet.empty()) pRun->nets.push_back({o.simNet, STRESS_SIM_CAN_ID, false});
    if (!o.deviceNet.empty()) pRun->nets.push_back({o.deviceNet, STRESS_DEVICE_CAN_ID, true});
    for (const StressNet &net : pRun->nets) {
        auto stream = std::make_unique<TrafficStream>();
        stream->kind = net.isDevice ? TrafficKind::Device : TrafficKind::Sim;
        stream->netName = net.name;
        stream->canId = net.canId;
        stream->rate = o.frameRate;
        pRun->streams.push_back(std::move(stream));
    }
}

// Peers' queue and device, the server, the observers: everything that has
// to be there before the first frame.
int StartUp(StressRun *pRun) {
    if (!NoServerRunning())
        return Fatal(L"a ribex server is running already (stop it first)", ERROR_ALREADY_EXISTS);
    pRun->children.selfPath = SelfPath();
    pRun->children.serverQueue = pRun->options.serverQueue;
    pRun->children.nets = pRun->nets;
    pRun->children.childrenPerMin = pRun->options.childrenPerMin;
    pRun->children.killsPerMin = pRun->options.killsPerMin;
    pRun->children.maxChildren = pRun->options.maxChildren;
    pRun->children.removalLimitMs = pRun->options.removalLimitMs;
    pRun->children.clockMs = RunClockMs;
    pRun->disruptor.schedule.killEveryS = pRun->options.killServerS;
    pRun->disruptor.schedule.restartEveryS = pRun->options.restartDriverS;
    pRun->disruptor.schedule.endMs = (uint64_t)pRun->options.durationS * 1000;
    pRun->disruptor.service = pRun->options.driverService;
    pRun->disruptor.clockMs = RunClockMs;
    SeedRandom(&pRun->children.random, pRun->options.seed);
    if (!CreateChildPool(&pRun->children))
        return Fatal(L"cannot create the children's block", GetLastError());
    for (auto &stream : pRun->streams) {
        if (!PrepareTraffic(stream.get())) {
            std::fwprintf(stderr, L"ribexstress: cannot feed net %ls%ls\n", stream->netName.c_str(),
                          stream->kind == TrafficKind::Device
                              ? L" (is the virtual CAN driver loaded?)"
                              : L" (another peer feeds it?)");
            return Fatal(L"peer", GetLastError());
        }
    }
    NoteServersBefore(&pRun->server);
    RibexOpenFailure failure = {};
    pRun->hServerQueue = ConnectRibexServer(pRun->options.serverQueue.c_str(), nullptr, &failure);
    if (pRun->hServerQueue == nullptr) return Fatal(L"cannot start the server", GetLastError());
    if (!FindServer(&pRun->server, 10000))
        return Fatal(L"cannot find the server process", GetLastError());
    for (size_t n = 0; n < pRun->nets.size(); ++n) {
        for (DWORD i = 0; i < pRun->options.observersPerNet; ++i) {
            auto observer = std::make_unique<Observer>();
            observer->netName = pRun->nets[n].name;
            observer->serverQueue = pRun->options.serverQueue;
            observer->canId = pRun->nets[n].canId;
            observer->onDevice = pRun->nets[n].isDevice;
            observer->clockMs = RunClockMs;
            observer->pEventsStarted = &pRun->disruptor.eventsStarted;
            observer->pLastEventKind = &pRun->disruptor.lastEventKind;
            if (!StartObserver(observer.get()))
                return Fatal(L"an observer cannot open its net", GetLastError());
            pRun->observers.push_back(std::move(observer));
            pRun->observerNet.push_back(n);
        }
    }
    return 0;
}

int StartTrafficAndFuzz(StressRun *pRun) {
    for (auto &stream : pRun->streams)
        if (!StartTraffic(stream.get())) return Fatal(L"cannot start a peer", GetLastError());
    pRun->fuzzer.hServerQueue = pRun->hServerQueue;
    for (const StressNet &net : pRun->nets) pRun->fuzzer.netNames.push_back(net.name);
    pRun->fuzzer.perSecond = pRun->options.fuzzPerS;
    pRun->fuzzer.seed = pRun->options.seed ^ 0x5A5A5A5Au;
    if (!StartFuzzer(&pRun->fuzzer)) return Fatal(L"cannot start the fuzzer", GetLastError());
    return 0;
}

// Lets every child end and every removal settle, then samples the server
// with only the observers and peers on it.
void QuietPoint(StressRun *pRun, DWORD atS) {
    ChildPoolQuiesce(&pRun->children, QUIET_TIMEOUT_MS);
    Sleep(SETTLE_MS);
    if (SampleServer(&pRun->server, atS)) pRun->restSamples.push_back(pRun->server.samples.back());
}

std::vector<Observer *> ObserverList(const StressRun &run) {
    std::vector<Observer *> list;
    for (const auto &observer : run.observers) list.push_back(observer.get());
    return list;
}

void RunLoop(StressRun *pRun) {
    const StressOptions &o = pRun->options;
    std::vector<Observer *> observers = ObserverList(*pRun);
    uint64_t endMs = (uint64_t)o.durationS * 1000;
    uint64_t nextSampleMs = 1000, nextProgressMs = (uint64_t)o.intervalS * 1000;
    for (;;) {
        uint64_t nowMs = RunClockMs();
        if (nowMs >= endMs) break;
        if (ToolStopRequested()) {
            pRun->interrupted = true;
            break;
        }
        ChildPoolTick(&pRun->children, true);
        if (nowMs >= nextSampleMs) {
            SampleServer(&pRun->server, (DWORD)(nowMs / 1000));
            nextSampleMs += 1000;
        }
        if (nowMs >= nextProgressMs) {
            DWORD atS = (DWORD)(nowMs / 1000);
            QuietPoint(pRun, atS);
            PrintProgress(*pRun, atS);
            nextProgressMs += (uint64_t)o.intervalS * 1000;
        }
        // After the quiet point: a server's last sample at rest comes
        // before its kill.
        DisruptTick(&pRun->disruptor, &pRun->server, observers);
        Sleep(TICK_MS);
    }
}

// Children first, then fuzzer and peers; the observers take the last
// frames and leave; then the server must end by itself.
void WindDown(StressRun *pRun) {
    FinishDisruptions(&pRun->disruptor, &pRun->server, NEW_SERVER_TIMEOUT_MS);
    DWORD atS = (DWORD)(RunClockMs() / 1000);
    QuietPoint(pRun, atS);
    StopFuzzer(&pRun->fuzzer);
    for (auto &stream : pRun->streams) StopTraffic(stream.get());
    for (size_t i = 0; i < pRun->observers.size(); ++i)
        DrainObserver(pRun->observers[i].get(), (uint32_t)pRun->streams[pRun->observerNet[i]]->sent,
                      DRAIN_TIMEOUT_MS);
    pRun->runEndMs = RunClockMs();
    PrintProgress(*pRun, (DWORD)(pRun->runEndMs / 1000));
    for (size_t i = 0; i < pRun->observers.size(); ++i)
        StopObserver(pRun->observers[i].get(), (uint32_t)pRun->streams[pRun->observerNet[i]]->sent);
    for (auto &stream : pRun->streams) ReleaseTraffic(stream.get());
    ReleaseChildPool(&pRun->children);
    if (pRun->hServerQueue != nullptr) MsgQClose(pRun->hServerQueue);
    pRun->hServerQueue = nullptr;
    uint64_t goneMs = RunClockMs();
    pRun->serverEnded = WaitServerExit(&pRun->server, SERVER_END_TIMEOUT_MS, &pRun->serverExitCode);
    pRun->serverEndMs = RunClockMs() - goneMs;
}

// Whatever StartUp got before it failed.
void Abandon(StressRun *pRun) {
    StopFuzzer(&pRun->fuzzer);
    for (auto &stream : pRun->streams) StopTraffic(stream.get());
    for (auto &observer : pRun->observers) StopObserver(observer.get(), 0);
    for (auto &stream : pRun->streams) ReleaseTraffic(stream.get());
    ReleaseChildPool(&pRun->children);
    if (pRun->hServerQueue != nullptr) MsgQClose(pRun->hServerQueue);
    ReleaseServerWatch(&pRun->server);
}

void PrintHeader(const StressRun &run) {
    const StressOptions &o = run.options;
    std::printf("ribexstress %s: %lu s, seed %lu, %lu frames/s on", RIBEX_VERSION_STRING,
                (unsigned long)o.durationS, (unsigned long)o.seed, (unsigned long)o.frameRate);
    for (const StressNet &net : run.nets)
        std::printf(" %ls (%s)", net.name.c_str(), net.isDevice ? "device" : "simulated");
    std::printf(
        ", %lu children/min of which %lu killed, %lu observers/net, %lu fuzzed/s, "
        "server pid %#lx",
        (unsigned long)o.childrenPerMin, (unsigned long)o.killsPerMin,
        (unsigned long)o.observersPerNet, (unsigned long)o.fuzzPerS, (unsigned long)run.server.pid);
    if (o.killServerS != 0) std::printf(", server killed every %lu s", (unsigned long)o.killServerS);
    if (o.restartDriverS != 0)
        std::printf(", driver %ls restarted every %lu s", o.driverService.c_str(),
                    (unsigned long)o.restartDriverS);
    std::printf("\n");
    std::fflush(stdout);
}

int RunStress(StressRun *pRun) {
    g_startMs = ToolNowMs();
    SetUpNets(pRun);
    int result = StartUp(pRun);
    if (result == 0) result = StartTrafficAndFuzz(pRun);
    if (result != 0) {
        Abandon(pRun);
        return result;
    }
    PrintHeader(*pRun);
    ToolStopInstall();
    RunLoop(pRun);
    WindDown(pRun);
    int failures = PrintSummary(*pRun);
    ReleaseServerWatch(&pRun->server);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc >= 2 && std::wcscmp(argv[1], STRESS_CHILD_ROLE) == 0) return RunChildRole(argc, argv);
    auto pRun = std::make_unique<StressRun>();
    ToolSpec optionTable = StressToolSpec(&pRun->options);
    std::wstring error;
    if (!ParseStressOptions(argc, argv, &pRun->options, &error)) return ToolFail(optionTable, error);
    ToolArgs args;
    if (pRun->options.help || pRun->options.version) return ToolBegin(optionTable, argc, argv, &args);
    if (!pRun->options.seedGiven) pRun->options.seed = GetTickCount() ^ GetCurrentProcessId();
    return RunStress(pRun.get());
}
