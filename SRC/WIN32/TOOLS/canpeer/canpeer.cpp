// canpeer: puts CAN frames on a virtual CAN device (WriteFile of 24-byte
// records) or acts as the simulated CAN peer of a net (a named message
// queue of 32-byte messages). Run "canpeer -h" for the usage.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "can_frame_text.h"
#include "can_sink.h"
#include "canpeer_frames.h"
#include "canpeer_options.h"
#include "ribex_version.h"

namespace {

// Frames per WriteFile when nothing asks for a pace.
constexpr DWORD FAST_BATCH = 16;

struct Sink {
    const PeerOptions *options;
    CanSink out = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0, 0};
    char name[CAN_LOG_IFACE_MAX + 1] = {};
    LARGE_INTEGER frequency = {};
};

uint64_t Now100ns(const Sink &sink)
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    uint64_t f = (uint64_t)sink.frequency.QuadPart;
    return (uint64_t)c.QuadPart / f * 10000000ull + (uint64_t)c.QuadPart % f * 10000000ull / f;
}

void SleepUntil(const Sink &sink, uint64_t due)
{
    for (;;) {
        uint64_t now = Now100ns(sink);
        if (now >= due) return;
        uint64_t ms = (due - now + 9999) / 10000;
        Sleep(ms > 1000 ? 1000 : (DWORD)ms);
    }
}

bool OpenSink(Sink *sink, const PeerOptions &o)
{
    sink->options = &o;
    QueryPerformanceFrequency(&sink->frequency);
    size_t i = 0;
    for (; i < o.targetName.size() && i < CAN_LOG_IFACE_MAX; i++) {
        sink->name[i] = o.targetName[i] < 128 ? (char)o.targetName[i] : '?';
    }
    sink->name[i] = 0;
    if (o.target == PeerTarget::Device) {
        if (!CanSinkOpenDevice(&sink->out, o.targetName.c_str())) {
            DWORD error = GetLastError();
            std::fwprintf(stderr, L"canpeer: cannot open device \\\\.\\%ls: error %lu%ls\n", o.targetName.c_str(),
                          error, error == ERROR_FILE_NOT_FOUND ? L" (is the driver started?)" : L"");
            return false;
        }
        return true;
    }
    bool existed = false;
    if (!CanSinkCreateQueue(&sink->out, o.targetName.c_str(), o.queueSize, o.uniqueIdHigh, o.uniqueIdLow,
                            &existed)) {
        std::fwprintf(stderr, L"canpeer: cannot create the queue '%ls': error %lu\n", o.targetName.c_str(),
                      GetLastError());
        return false;
    }
    if (existed && o.verbose) {
        std::fwprintf(stderr, L"canpeer: queue '%ls' existed already; sending into it\n", o.targetName.c_str());
    }
    return true;
}

void PrintSent(const Sink &sink, const RxMsg *frames, DWORD n)
{
    uint64_t now = Now100ns(sink);
    for (DWORD i = 0; i < n; i++) {
        RxMsg shown = frames[i];
        shown.timeStamp = now;
        char line[CAN_LOG_LINE_MAX];
        if (CanLogLineFormat(&shown, sink.name, line, sizeof(line))) std::printf("%s\n", line);
    }
    std::fflush(stdout);
}

bool Send(Sink *sink, const RxMsg *frames, DWORD n)
{
    const PeerOptions &o = *sink->options;
    DWORD sent = 0;
    if (o.target == PeerTarget::Device) {
        if (!CanSinkSend(&sink->out, frames, n, INFINITE, &sent)) {
            std::fwprintf(stderr, L"canpeer: writing to \\\\.\\%ls failed: error %lu\n", o.targetName.c_str(),
                          GetLastError());
            return false;
        }
    } else if (!CanSinkSend(&sink->out, frames, n, o.sendTimeoutMs, &sent)) {
        DWORD error = GetLastError();
        std::fwprintf(stderr, L"canpeer: sending into queue '%ls' failed: error %lu%ls\n", o.targetName.c_str(),
                      error, error == ERROR_TIMEOUT ? L" (queue full: is a server reading it?)" : L"");
        return false;
    }
    if (o.verbose) PrintSent(*sink, frames, n);
    return true;
}

// Keeps the queue alive for a while after the last frame: it vanishes
// with its last handle, and the server may not have taken everything yet.
void CloseSink(Sink *sink)
{
    CanSinkClose(&sink->out, sink->options->target == PeerTarget::Sim ? sink->options->lingerMs : 0);
}

// Sends frames in order; with paced, frame i is due at start + its
// timeStamp (relative), otherwise they go in batches at once.
bool SendAll(Sink *sink, const std::vector<RxMsg> &frames, bool paced)
{
    if (!paced) {
        for (size_t i = 0; i < frames.size(); i += FAST_BATCH) {
            DWORD n = (DWORD)(frames.size() - i < FAST_BATCH ? frames.size() - i : FAST_BATCH);
            if (!Send(sink, &frames[i], n)) return false;
        }
        return true;
    }
    uint64_t start = Now100ns(*sink);
    uint64_t first = frames.empty() ? 0 : frames[0].timeStamp;
    for (const RxMsg &f : frames) {
        // A log that goes back in time sends at once rather than waiting.
        if (f.timeStamp > first) SleepUntil(*sink, start + (f.timeStamp - first));
        if (!Send(sink, &f, 1)) return false;
    }
    return true;
}

bool RunGenerator(Sink *sink, const PeerOptions &o)
{
    Generator g;
    GeneratorInit(&g, &o, GetTickCount() ^ GetCurrentProcessId());
    if (o.rate <= 0) {
        RxMsg batch[FAST_BATCH];
        for (DWORD sent = 0; sent < o.count;) {
            DWORD n = o.count - sent < FAST_BATCH ? o.count - sent : FAST_BATCH;
            for (DWORD i = 0; i < n; i++) batch[i] = GeneratorNext(&g);
            if (!Send(sink, batch, n)) return false;
            sent += n;
        }
        return true;
    }
    // Above about a thousand frames a second one sleep per frame cannot keep
    // the pace: every frame whose time has come goes in the same write.
    uint64_t start = Now100ns(*sink);
    RxMsg batch[FAST_BATCH];
    for (DWORD i = 0; i < o.count;) {
        SleepUntil(*sink, start + (uint64_t)((double)i * 10000000.0 / o.rate));
        double due = (double)(Now100ns(*sink) - start) * o.rate / 10000000.0;
        DWORD n = 1;
        while (n < FAST_BATCH && i + n < o.count && (double)(i + n) <= due) n++;
        for (DWORD k = 0; k < n; k++) batch[k] = GeneratorNext(&g);
        if (!Send(sink, batch, n)) return false;
        i += n;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (RibexVersionAsked(argc, argv)) {
        std::printf("canpeer " RIBEX_VERSION_STRING "\n");
        return 0;
    }
    PeerOptions options;
    std::wstring error;
    if (!ParsePeerOptions(argc, argv, &options, &error)) {
        std::fwprintf(stderr, L"canpeer: %ls\n\n%ls", error.c_str(), PeerUsage());
        return 2;
    }
    if (options.help) {
        std::fwprintf(stdout, L"%ls", PeerUsage());
        return 0;
    }
    if (options.target == PeerTarget::Sim && !options.uniqueIdGiven) options.uniqueIdHigh = GetCurrentProcessId();

    std::vector<RxMsg> frames;
    if (options.mode == PeerMode::Replay && !LoadCandumpLog(options.replayFile, &frames, &error)) {
        std::fwprintf(stderr, L"canpeer: %ls\n", error.c_str());
        return 2;
    }

    Sink sink;
    if (!OpenSink(&sink, options)) return 1;
    bool ok = false;
    switch (options.mode) {
    case PeerMode::Frames: ok = SendAll(&sink, options.frames, false); break;
    case PeerMode::Generator: ok = RunGenerator(&sink, options); break;
    case PeerMode::Replay: ok = SendAll(&sink, frames, !options.asFastAsPossible); break;
    }
    CloseSink(&sink);
    return ok ? 0 : 1;
}
