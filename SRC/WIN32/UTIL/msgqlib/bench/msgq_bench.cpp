// Queue speed between two processes under one Wine, against the floor (a
// bare named-semaphore ping-pong) and against a Windows named pipe.
//
//   msgq_bench [iterations [rounds]] runs everything and prints the table
//   msgq_bench peer <scenario> ...   the second process of one scenario
//
// Each kernel call costs a round trip to wineserver, so the table gives the
// calls each side makes per message, counted at this program's imports.
// Last, how long the calls that must not wait (time-out 0) take, and when an
// open with a time-out gives up.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "child_process.h"
#include "kernel_call_counter.h"
#include "msgq.h"
#include "test_names.h"

namespace {

constexpr DWORD WARMUP = 100;
constexpr DWORD MESSAGE_SIZE = 124;
constexpr DWORD BATCHES = 5;

double NowMicroseconds() { return util_test::NowNanoseconds() / 1000; }

double Median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

struct Result {
    double medianUs = 0;
    double parentCalls = 0;  // kernel calls per message (or round trip), this side
    double peerCalls = 0;    // the same, peer side
    bool ok = false;
};

// ---- the peer's side of each scenario ------------------------------------

// Prints the peer's call count for the parent to read.
int ReportPeer(LONG calls, DWORD messages) {
    std::printf("calls %ld %lu\n", calls, messages);
    std::fflush(stdout);
    return 0;
}

int PeerPingPong(const std::wstring &name, DWORD total) {
    HANDLE hPing = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (name + L"PING").c_str());
    HANDLE hPong = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (name + L"PONG").c_str());
    if (!hPing || !hPong) return 3;
    LONG start = KernelCallCount();
    for (DWORD i = 0; i < total; i++) {
        if (WaitForSingleObject(hPing, 10000) != WAIT_OBJECT_0) return 4;
        ReleaseSemaphore(hPong, 1, nullptr);
    }
    return ReportPeer(KernelCallCount() - start, total);
}

int PeerPipe(const std::wstring &name, DWORD total) {
    std::wstring path = L"\\\\.\\pipe\\" + name;
    if (!WaitNamedPipeW(path.c_str(), 10000)) return 3;
    HANDLE hPipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (hPipe == INVALID_HANDLE_VALUE) return 3;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(hPipe, &mode, nullptr, nullptr);
    BYTE buffer[MESSAGE_SIZE];
    LONG start = KernelCallCount();
    for (DWORD i = 0; i < total; i++) {
        DWORD done;
        if (!ReadFile(hPipe, buffer, sizeof(buffer), &done, nullptr)) return 4;
        if (!WriteFile(hPipe, buffer, done, &done, nullptr)) return 5;
    }
    LONG calls = KernelCallCount() - start;
    CloseHandle(hPipe);
    return ReportPeer(calls, total);
}

int PeerRoundTrip(const std::wstring &name, DWORD total) {
    MsgQHandle request = MsgQOpen((name + L"REQ").c_str(), 10000);
    MsgQHandle reply = MsgQOpen((name + L"REP").c_str(), 10000);
    if (!request || !reply) return 3;
    BYTE buffer[MESSAGE_SIZE];
    LONG start = KernelCallCount();
    for (DWORD i = 0; i < total; i++) {
        DWORD length;
        if (!MsgQReceive(request, buffer, sizeof(buffer), &length, 10000)) return 4;
        if (!MsgQSend(reply, buffer, length, 10000)) return 5;
    }
    LONG calls = KernelCallCount() - start;
    MsgQClose(request);
    MsgQClose(reply);
    return ReportPeer(calls, total);
}

int PeerOneWaySender(const std::wstring &name, DWORD total, DWORD size) {
    MsgQHandle q = MsgQOpen(name.c_str(), 10000);
    if (!q) return 3;
    BYTE message[MESSAGE_SIZE] = {};
    LONG start = KernelCallCount();
    for (DWORD i = 0; i < total; i++) {
        memcpy(message, &i, sizeof(i));
        if (!MsgQSend(q, message, size, 10000)) return 5;
    }
    LONG calls = KernelCallCount() - start;
    MsgQClose(q);
    return ReportPeer(calls, total);
}

// ---- the measuring side ---------------------------------------------------

struct Peer {
    ribex_test::ScopedChild child;
    bool Start(const std::wstring &args) {
        return ribex_test::StartChild(L"msgq_bench", L"peer " + args, child.get(), true);
    }
    // Waits for the peer and reads its calls per message.
    bool Finish(double *callsPerMessage) {
        DWORD code = 1;
        if (!ribex_test::WaitChild(child.get(), 60000, &code) || code != 0) return false;
        std::string output = ribex_test::ReadAllOutput(child.get());
        long calls = 0;
        unsigned long messages = 0;
        if (std::sscanf(output.c_str(), "calls %ld %lu", &calls, &messages) != 2 || !messages)
            return false;
        *callsPerMessage = (double)calls / messages;
        return true;
    }
};

// Times `iterations` round trips behind WARMUP untimed ones and counts this
// side's kernel calls; roundTrip() returns false when one failed.
template <typename RoundTrip>
bool TimeRoundTrips(DWORD iterations, Result *result, RoundTrip roundTrip) {
    std::vector<double> samples;
    LONG calls = 0;
    for (DWORD i = 0; i < WARMUP + iterations; i++) {
        if (i == WARMUP) calls = KernelCallCount();
        double start = NowMicroseconds();
        if (!roundTrip()) return false;
        if (i >= WARMUP) samples.push_back(NowMicroseconds() - start);
    }
    result->parentCalls = (double)(KernelCallCount() - calls) / iterations;
    result->medianUs = Median(samples);
    return true;
}

Result MeasurePingPong(DWORD iterations) {
    Result result;
    std::wstring name = ribex_test::UniqueName(L"benchsem");
    HANDLE hPing = CreateSemaphoreW(nullptr, 0, 1, (name + L"PING").c_str());
    HANDLE hPong = CreateSemaphoreW(nullptr, 0, 1, (name + L"PONG").c_str());
    Peer peer;
    if (!hPing || !hPong ||
        !peer.Start(L"pingpong " + name + L" " + std::to_wstring(WARMUP + iterations)))
        return result;
    bool timed = TimeRoundTrips(iterations, &result, [&] {
        ReleaseSemaphore(hPing, 1, nullptr);
        return WaitForSingleObject(hPong, 10000) == WAIT_OBJECT_0;
    });
    result.ok = timed && peer.Finish(&result.peerCalls);
    CloseHandle(hPing);
    CloseHandle(hPong);
    return result;
}

Result MeasurePipe(DWORD iterations) {
    Result result;
    std::wstring name = ribex_test::UniqueName(L"benchpipe");
    HANDLE hPipe = CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                    4096, 0, nullptr);
    Peer peer;
    if (hPipe == INVALID_HANDLE_VALUE ||
        !peer.Start(L"pipe " + name + L" " + std::to_wstring(WARMUP + iterations)))
        return result;
    if (!ConnectNamedPipe(hPipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return result;
    BYTE message[MESSAGE_SIZE] = {1, 2, 3}, reply[MESSAGE_SIZE];
    bool timed = TimeRoundTrips(iterations, &result, [&] {
        DWORD done;
        return WriteFile(hPipe, message, sizeof(message), &done, nullptr) &&
               ReadFile(hPipe, reply, sizeof(reply), &done, nullptr);
    });
    result.ok = timed && peer.Finish(&result.peerCalls);
    CloseHandle(hPipe);
    return result;
}

Result MeasureRoundTrip(DWORD iterations) {
    Result result;
    std::wstring name = ribex_test::UniqueName(L"benchrt");
    MsgQHandle request = MsgQCreate((name + L"REQ").c_str(), 16, MESSAGE_SIZE, MSGQ_NAMED);
    MsgQHandle reply = MsgQCreate((name + L"REP").c_str(), 16, MESSAGE_SIZE, MSGQ_NAMED);
    Peer peer;
    if (!request || !reply ||
        !peer.Start(L"roundtrip " + name + L" " + std::to_wstring(WARMUP + iterations)))
        return result;
    BYTE message[MESSAGE_SIZE] = {1, 2, 3}, buffer[MESSAGE_SIZE];
    bool timed = TimeRoundTrips(iterations, &result, [&] {
        DWORD length;
        return MsgQSend(request, message, sizeof(message), 10000) &&
               MsgQReceive(reply, buffer, sizeof(buffer), &length, 10000);
    });
    result.ok = timed && peer.Finish(&result.peerCalls);
    MsgQClose(request);
    MsgQClose(reply);
    return result;
}

// The peer sends, this side receives; the median is over batches of the
// time per message.
Result MeasureOneWay(DWORD iterations, DWORD size) {
    Result result;
    std::wstring name = ribex_test::UniqueName(L"benchoneway");
    MsgQHandle q = MsgQCreate(name.c_str(), 64, MESSAGE_SIZE, MSGQ_NAMED);
    DWORD perBatch = iterations;
    DWORD total = WARMUP + BATCHES * perBatch;
    Peer peer;
    if (!q || !peer.Start(L"oneway " + name + L" " + std::to_wstring(total) + L" " +
                          std::to_wstring(size)))
        return result;
    BYTE buffer[MESSAGE_SIZE];
    DWORD length;
    for (DWORD i = 0; i < WARMUP; i++)
        if (!MsgQReceive(q, buffer, sizeof(buffer), &length, 10000)) return result;
    std::vector<double> samples;
    LONG calls = KernelCallCount();
    for (DWORD b = 0; b < BATCHES; b++) {
        double start = NowMicroseconds();
        for (DWORD i = 0; i < perBatch; i++)
            if (!MsgQReceive(q, buffer, sizeof(buffer), &length, 10000) || length != size)
                return result;
        samples.push_back((NowMicroseconds() - start) / perBatch);
    }
    result.parentCalls = (double)(KernelCallCount() - calls) / (BATCHES * perBatch);
    result.medianUs = Median(samples);
    result.ok = peer.Finish(&result.peerCalls);
    MsgQClose(q);
    return result;
}

// Calls that give up: an open of a name no queue has and a send to a full
// queue, both with time-out 0 (one attempt, no sleep), and an open with a
// 200 ms time-out (an attempt every 50 ms until the time-out has passed).
void PrintGivingUp(DWORD iterations) {
    std::wstring missing = ribex_test::UniqueName(L"benchmissing");
    std::vector<double> openUs, sendUs;
    MsgQHandle full = MsgQCreate(nullptr, 1, 8, 0);
    bool ok = full && MsgQSend(full, "x", 1, 0);
    for (DWORD i = 0; ok && i < iterations; i++) {
        double start = NowMicroseconds();
        ok = !MsgQOpen(missing.c_str(), 0) && GetLastError() == ERROR_TIMEOUT;
        openUs.push_back(NowMicroseconds() - start);
        start = NowMicroseconds();
        ok = ok && !MsgQSend(full, "y", 1, 0) && GetLastError() == ERROR_TIMEOUT;
        sendUs.push_back(NowMicroseconds() - start);
    }
    double start = NowMicroseconds();
    ok = ok && !MsgQOpen(missing.c_str(), 200) && GetLastError() == ERROR_TIMEOUT;
    double givenUpMs = (NowMicroseconds() - start) / 1000;
    if (full) MsgQClose(full);
    if (!ok) {
        std::printf("giving up                : FAILED\n");
        return;
    }
    std::printf("open of a missing queue : %8.1f us with time-out 0; gives up after %.0f ms "
                "with time-out 200\n",
                Median(openUs), givenUpMs);
    std::printf("send to a full queue    : %8.1f us with time-out 0\n", Median(sendUs));
}

void PrintRow(const char *what, const Result &r, const char *unit) {
    if (!r.ok) {
        std::printf("%-34s  FAILED\n", what);
        return;
    }
    std::printf("%-34s %10.1f %-11s %6.2f + %-6.2f = %6.2f\n", what, r.medianUs, unit,
                r.parentCalls, r.peerCalls, r.parentCalls + r.peerCalls);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (!InstallKernelCallCounter()) {
        std::fprintf(stderr, "msgq_bench: cannot count kernel calls\n");
        return 1;
    }
    if (argc >= 5 && wcscmp(argv[1], L"peer") == 0) {
        std::wstring scenario = argv[2], name = argv[3];
        DWORD total = (DWORD)wcstoul(argv[4], nullptr, 10);
        if (scenario == L"pingpong") return PeerPingPong(name, total);
        if (scenario == L"pipe") return PeerPipe(name, total);
        if (scenario == L"roundtrip") return PeerRoundTrip(name, total);
        if (scenario == L"oneway" && argc >= 6)
            return PeerOneWaySender(name, total, (DWORD)wcstoul(argv[5], nullptr, 10));
        return 2;
    }
    DWORD iterations = argc >= 2 ? (DWORD)wcstoul(argv[1], nullptr, 10) : 500;
    DWORD rounds = argc >= 3 ? (DWORD)wcstoul(argv[2], nullptr, 10) : 5;
    if (iterations < 10 || rounds < 1) {
        std::fprintf(stderr, "usage: msgq_bench [iterations >= 10 [rounds >= 1]]\n");
        return 2;
    }

    // Other work on the machine comes and goes: every round measures every
    // scenario once, and each figure is the median over the rounds, the
    // ratios taken within a round.
    enum { FLOOR, PIPE, ROUND_TRIP, ONE_WAY_32, ONE_WAY_124, SCENARIOS };
    std::vector<Result> results[SCENARIOS];
    std::vector<double> toFloor, toPipe;
    for (DWORD round = 0; round < rounds; round++) {
        Result r[SCENARIOS] = {MeasurePingPong(iterations), MeasurePipe(iterations),
                               MeasureRoundTrip(iterations), MeasureOneWay(iterations, 32),
                               MeasureOneWay(iterations, 124)};
        for (int s = 0; s < SCENARIOS; s++) results[s].push_back(r[s]);
        if (r[FLOOR].ok && r[ROUND_TRIP].ok)
            toFloor.push_back(r[ROUND_TRIP].medianUs / r[FLOOR].medianUs);
        if (r[PIPE].ok && r[ROUND_TRIP].ok)
            toPipe.push_back(r[ROUND_TRIP].medianUs / r[PIPE].medianUs);
    }
    Result final[SCENARIOS];
    for (int s = 0; s < SCENARIOS; s++) {
        std::vector<double> us, mine, peer;
        bool ok = true;
        for (const Result &r : results[s]) {
            ok = ok && r.ok;
            us.push_back(r.medianUs);
            mine.push_back(r.parentCalls);
            peer.push_back(r.peerCalls);
        }
        final[s] = {Median(us), Median(mine), Median(peer), ok};
    }

    std::printf("msgq_bench: two processes, %lu rounds of %lu iterations (medians over rounds)\n\n",
                rounds, iterations);
    std::printf("%-34s %10s %-11s %s\n", "scenario", "median", "",
                "kernel calls: this + peer = total");
    PrintRow("named-semaphore ping-pong (floor)", final[FLOOR], "us/rt");
    PrintRow("named pipe round trip, 124 B", final[PIPE], "us/rt");
    PrintRow("MsgQ round trip, 124 B", final[ROUND_TRIP], "us/rt");
    PrintRow("MsgQ one-way, 32 B (recv + send)", final[ONE_WAY_32], "us/msg");
    PrintRow("MsgQ one-way, 124 B (recv + send)", final[ONE_WAY_124], "us/msg");
    std::printf("\n");
    if (!toFloor.empty())
        std::printf("MsgQ round trip / floor : %5.2fx  (target <= 3.5x)\n", Median(toFloor));
    if (!toPipe.empty())
        std::printf("MsgQ round trip / pipe  : %5.2fx  (target < 1x)\n", Median(toPipe));
    if (final[ONE_WAY_32].ok)
        std::printf(
            "one-way 32 B            : %8.0f messages/s; send %.2f, receive %.2f kernel calls "
            "(algorithm: 4 and 2)\n",
            1e6 / final[ONE_WAY_32].medianUs, final[ONE_WAY_32].peerCalls,
            final[ONE_WAY_32].parentCalls);
    if (final[ONE_WAY_124].ok)
        std::printf(
            "one-way 124 B           : %8.0f messages/s; send %.2f, receive %.2f kernel calls\n",
            1e6 / final[ONE_WAY_124].medianUs, final[ONE_WAY_124].peerCalls,
            final[ONE_WAY_124].parentCalls);
    PrintGivingUp(iterations);
    bool allOk = true;
    for (const Result &r : final) allOk = allOk && r.ok;
    return allOk ? 0 : 1;
}
