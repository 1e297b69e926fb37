// canpeer: puts CAN frames on a virtual CAN device (WriteFile of 24-byte
// records) or acts as the simulated CAN peer of a net (a named message
// queue of 32-byte messages): frames given, generated or replayed, messages
// of a DBC database with signal values, or the rest bus of DBC nodes. Run
// "canpeer -h" for the usage.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "can_frame_text.h"
#include "can_sink.h"
#include "canpeer_frames.h"
#include "canpeer_options.h"
#include "canpeer_restbus.h"
#include "canpeer_signals.h"
#include "tool_clock.h"

namespace {

// Frames per WriteFile when nothing asks for a pace.
constexpr DWORD FAST_BATCH = 16;

struct Sink {
    const PeerOptions *options;
    CanSink out = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0, 0};
    char name[CAN_LOG_IFACE_MAX + 1] = {};
    uint64_t dropped = 0;  // rest bus: frames nobody took from a full queue
    bool dropping = false;
};

void SleepUntil(uint64_t due)
{
    for (;;) {
        uint64_t now = ToolNow100ns();
        if (now >= due) return;
        uint64_t ms = (due - now + 9999) / 10000;
        Sleep(ms > 1000 ? 1000 : (DWORD)ms);
    }
}

bool OpenSink(Sink *sink, const PeerOptions &o)
{
    sink->options = &o;
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
    uint64_t now = ToolNow100ns();
    for (DWORD i = 0; i < n; i++) {
        RxMsg shown = frames[i];
        shown.timeStamp = now;
        char line[CAN_LOG_LINE_MAX];
        if (CanLogLineFormat(&shown, sink.name, line, sizeof(line))) std::printf("%s\n", line);
    }
    std::fflush(stdout);
}

// Why a device write failed, for the one line canpeer ends with: the
// system's text of the code, and whether the device went away under us.
void ReportDeviceWriteFailure(const std::wstring &device, DWORD error)
{
    wchar_t text[256] = L"";
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof(text) / sizeof(text[0]), nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L'.')) text[--n] = 0;
    bool gone = CanSinkDeviceWentAway(error) || error == ERROR_FILE_NOT_FOUND;
    std::fwprintf(stderr, L"canpeer: writing to \\\\.\\%ls failed: error %lu (%ls)%ls; stopping\n",
                  device.c_str(), error, n ? text : L"no text for this code",
                  gone ? L": the device went away (its driver stopped or the adapter was unplugged)"
                       : L"");
}

bool Send(Sink *sink, const RxMsg *frames, DWORD n)
{
    const PeerOptions &o = *sink->options;
    DWORD sent = 0;
    if (o.target == PeerTarget::Device) {
        if (!CanSinkSend(&sink->out, frames, n, INFINITE, &sent)) {
            ReportDeviceWriteFailure(o.targetName, GetLastError());
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

// Most frames handed to one WriteFile (or one run of queue sends) when
// paced: at 1 Mbit/s a millisecond carries about 8 frames, and a sleep
// under load may take several milliseconds.
constexpr DWORD PACED_BATCH_MAX = 256;
// Behind the schedule by this much (100 ns units): the path does not carry
// the rate.
constexpr uint64_t BEHIND_WARNING = 2000000;

struct Pacing {
    uint64_t start = 0;
    uint64_t end = 0;
    DWORD sent = 0;
    bool warned = false;
};

void WarnBehind(const Sink &sink, Pacing *p, double rate)
{
    if (p->warned) return;
    p->warned = true;
    double seconds = (double)(ToolNow100ns() - p->start) / 1e7;
    std::fwprintf(stderr,
                  L"canpeer: warning: cannot keep %.0f frames/s on %hs: the path carries "
                  L"about %.0f frames/s; sending as fast as it goes\n",
                  rate, sink.name, seconds > 0 ? p->sent / seconds : 0.0);
}

// Sends count frames in order, each when it is due (dueOf(i), 100 ns units
// after the start), in batches of every frame that is due: one WriteFile
// or one run of queue sends per batch, at most batchMax frames. A path
// slower than the schedule gets frames as fast as it takes them, with one
// warning when a rate was asked for.
template <typename DueOf, typename FrameOf>
bool SendPaced(Sink *sink, DWORD count, DueOf dueOf, FrameOf frameOf, double rate, DWORD batchMax,
               Pacing *p)
{
    std::vector<RxMsg> batch(batchMax);
    p->start = ToolNow100ns();
    while (p->sent < count) {
        uint64_t elapsed = ToolNow100ns() - p->start;
        DWORD n = 0;
        while (p->sent + n < count && n < batchMax && dueOf(p->sent + n) <= elapsed) {
            batch[n] = frameOf(p->sent + n);
            n++;
        }
        if (n == 0) {
            SleepUntil(p->start + dueOf(p->sent));
            continue;
        }
        if (!Send(sink, batch.data(), n)) return false;
        p->sent += n;
        if (rate > 0 && p->sent < count && elapsed > dueOf(p->sent) + BEHIND_WARNING)
            WarnBehind(*sink, p, rate);
    }
    p->end = ToolNow100ns();
    return true;
}

bool SendFast(Sink *sink, DWORD count, const RxMsg *frames, Pacing *p)
{
    p->start = ToolNow100ns();
    for (; p->sent < count;) {
        DWORD n = count - p->sent < FAST_BATCH ? count - p->sent : FAST_BATCH;
        if (!Send(sink, frames + p->sent, n)) return false;
        p->sent += n;
    }
    p->end = ToolNow100ns();
    return true;
}

// Sends frames in order; with paced, frame i is due at its timeStamp
// relative to the first frame's, otherwise they go in batches at once.
bool SendAll(Sink *sink, const std::vector<RxMsg> &frames, bool paced, Pacing *p)
{
    if (!paced) return SendFast(sink, (DWORD)frames.size(), frames.data(), p);
    uint64_t first = frames.empty() ? 0 : frames[0].timeStamp;
    // A log that goes back in time sends at once rather than waiting.
    auto due = [&](DWORD i) {
        return frames[i].timeStamp > first ? frames[i].timeStamp - first : 0;
    };
    auto frame = [&](DWORD i) { return frames[i]; };
    double rate = 0;
    if (frames.size() > 1 && frames.back().timeStamp > first)
        rate = (double)(frames.size() - 1) * 1e7 / (double)(frames.back().timeStamp - first);
    return SendPaced(sink, (DWORD)frames.size(), due, frame, rate, PACED_BATCH_MAX, p);
}

// The frames (or messages) given: each once at once, or with -n COUNT
// frames cycling through them, with -r RATE paced.
bool RunList(Sink *sink, const PeerOptions &o, const std::vector<RxMsg> &frames, Pacing *p)
{
    if (!o.countGiven && o.rate <= 0) return SendAll(sink, frames, false, p);
    DWORD count = o.countGiven ? o.count : (DWORD)frames.size();
    auto frame = [&](DWORD i) { return frames[i % frames.size()]; };
    if (o.rate <= 0) {
        auto now = [](DWORD) { return (uint64_t)0; };
        return SendPaced(sink, count, now, frame, 0, FAST_BATCH, p);
    }
    auto due = [&](DWORD i) { return (uint64_t)((double)i * 1e7 / o.rate); };
    return SendPaced(sink, count, due, frame, o.rate, PACED_BATCH_MAX, p);
}

bool RunGenerator(Sink *sink, const PeerOptions &o, Pacing *p)
{
    Generator g;
    GeneratorInit(&g, &o, GetTickCount() ^ GetCurrentProcessId());
    auto frame = [&](DWORD) { return GeneratorNext(&g); };
    if (o.rate <= 0) {
        auto now = [](DWORD) { return (uint64_t)0; };
        return SendPaced(sink, o.count, now, frame, 0, FAST_BATCH, p);
    }
    auto due = [&](DWORD i) { return (uint64_t)((double)i * 1e7 / o.rate); };
    return SendPaced(sink, o.count, due, frame, o.rate, PACED_BATCH_MAX, p);
}

// Statistics on exit, on stderr (stdout carries the -v log lines).
void PrintStatistics(const Sink &sink, const PeerOptions &o, const Pacing &p,
                     const LogCounts *counts)
{
    double seconds = (double)(p.end - p.start) / 1e7;
    // n frames paced at r span (n - 1) / r seconds: count the gaps, as the
    // rate asked for does.
    double achieved = p.sent > 1 && seconds > 0 ? (p.sent - 1) / seconds : 0;
    std::fwprintf(stderr, L"canpeer: %lu frames to %hs in %.3f s, %.0f frames/s", p.sent, sink.name,
                  seconds, achieved);
    if (o.mode != PeerMode::Replay && o.rate > 0)
        std::fwprintf(stderr, L" (asked for %.0f)", o.rate);
    std::fwprintf(stderr, L"\n");
    if (counts && (counts->errorFrames || counts->otherLines)) {
        std::fwprintf(stderr,
                      L"canpeer: skipped %lu error frames (a peer cannot put error entries on a "
                      L"net) and %lu other "
                      L"lines of the log\n",
                      counts->errorFrames, counts->otherLines);
    }
    // Fewer frames than a millisecond's worth say nothing about the rate.
    if (o.mode != PeerMode::Replay && o.rate > 0 && p.sent > o.rate / 1000 &&
        achieved < o.rate * 0.98) {
        std::fwprintf(stderr, L"canpeer: warning: asked for %.0f frames/s, reached %.0f frames/s\n",
                      o.rate, achieved);
    }
}

std::string Utf8(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? (size_t)n : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &s[0], n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

// A bad argument found once the database is read: the message, then the
// usage, as for the other wrong arguments.
int FailArgument(const std::string &text)
{
    PeerOptions unused;
    return ToolFail(PeerToolSpec(&unused), std::wstring(text.begin(), text.end()));
}

bool LoadDatabase(const PeerOptions &o, CanDatabase *db)
{
    CanDbError error;
    if (CanDbLoadFile(Utf8(o.dbcFile).c_str(), db, &error)) return true;
    std::fprintf(stderr, "canpeer: %s\n", CanDbErrorText(&error).c_str());
    return false;
}

// One frame per message argument; clamped values are reported, as the
// value actually sent.
bool BuildMessageFrames(const CanDatabase *db, const PeerOptions &o, std::vector<RxMsg> *frames,
                        std::string *error)
{
    for (const std::string &text : o.messages) {
        std::vector<SignalAssignment> values;
        std::vector<SignalClamp> clamps;
        RxMsg frame;
        if (!ParseMessageAssignments(db, text, &values, error) ||
            !EncodeMessageFrame(values.front().msg, values, &frame, &clamps, error)) {
            *error = "bad message '" + text + "': " + *error;
            return false;
        }
        for (const SignalClamp &c : clamps) {
            std::fprintf(stderr, "canpeer: %s = %.15g is out of range: clamped to %.15g\n", c.name.c_str(),
                         c.asked, c.written);
        }
        frames->push_back(frame);
    }
    return true;
}

// A rest bus stands in for ECUs that send whether anybody listens or not:
// while no server reads the simulated net, its queue is full and the
// frames are dropped (said once each time), instead of ending the run.
bool SendRestBusFrames(void *context, const RxMsg *frames, DWORD n)
{
    Sink *sink = (Sink *)context;
    if (sink->options->target != PeerTarget::Sim) return Send(sink, frames, n);
    DWORD sent = 0;
    if (CanSinkSend(&sink->out, frames, n, 0, &sent)) {
        if (sink->dropping) std::fprintf(stderr, "canpeer: %s is read again\n", sink->name);
        sink->dropping = false;
        if (sink->options->verbose) PrintSent(*sink, frames, n);
        return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_TIMEOUT) return Send(sink, frames + sent, n - sent);
    sink->dropped += n - sent;
    if (!sink->dropping)
        std::fprintf(stderr, "canpeer: nobody reads %s (its queue is full): frames are dropped until a "
                             "server opens the net\n", sink->name);
    sink->dropping = true;
    return true;
}

uint64_t SinkClock(void *)
{
    return ToolNow100ns();
}

bool RunRestBus(Sink *sink, const PeerOptions &o, RestBus *bus)
{
    std::string nodes;
    for (const std::string &n : o.nodes) nodes += (nodes.empty() ? "" : ", ") + n;
    std::fprintf(stderr, "canpeer: rest bus of %s: %zu messages to %s (Ctrl+C ends)\n", nodes.c_str(),
                 bus->messages.size(), sink->name);
    RestBusIo io = {sink, SendRestBusFrames, SinkClock};
    RestBusRun run;
    bool ok = RestBusRunUntilStopped(bus, o.runTimeMs, &io, &run);
    RestBusPrintStatistics(bus, &run, sink->name);
    if (sink->dropped != 0)
        std::fprintf(stderr, "canpeer: %llu frames dropped while nobody read %s\n",
                     (unsigned long long)sink->dropped, sink->name);
    return ok;
}

// What canpeer sends, made before the target is opened: the frames of a
// log or of DBC messages, or the rest bus.
struct Material {
    std::vector<RxMsg> frames;
    LogCounts counts;
    CanDatabase db;
    RestBus bus;
};

// The log or the DBC file read; the exit code 2 when they cannot be, else 0.
int Prepare(const PeerOptions &options, Material *m)
{
    std::wstring error;
    if (options.mode == PeerMode::Replay && !LoadFrameLog(options.replayFile, &m->frames, &m->counts, &error)) {
        std::fwprintf(stderr, L"canpeer: %ls\n", error.c_str());
        return 2;
    }
    if (options.dbcFile.empty()) return 0;
    if (!LoadDatabase(options, &m->db)) return 2;
    std::string why;
    std::vector<std::string> notes;
    if (options.mode == PeerMode::Signals && !BuildMessageFrames(&m->db, options, &m->frames, &why))
        return FailArgument(why);
    if (options.mode == PeerMode::RestBus && !RestBusInit(&m->bus, &m->db, options.nodes, &notes, &why))
        return FailArgument(why);
    for (const std::string &note : notes) std::fprintf(stderr, "canpeer: %s\n", note.c_str());
    return 0;
}

// Sends what the mode says into the open sink; false when a frame could not go.
bool Send(Sink *sink, const PeerOptions &options, Material *m)
{
    Pacing pacing;
    bool ok = false;
    switch (options.mode) {
        case PeerMode::Frames: ok = RunList(sink, options, options.frames, &pacing); break;
        case PeerMode::Signals: ok = RunList(sink, options, m->frames, &pacing); break;
        case PeerMode::Generator: ok = RunGenerator(sink, options, &pacing); break;
        case PeerMode::Replay: ok = SendAll(sink, m->frames, !options.asFastAsPossible, &pacing); break;
        case PeerMode::RestBus: return RunRestBus(sink, options, &m->bus);
    }
    if (ok) PrintStatistics(*sink, options, pacing, options.mode == PeerMode::Replay ? &m->counts : nullptr);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    PeerOptions options;
    ToolSpec optionTable = PeerToolSpec(&options);
    if (ToolAnswerVersion(optionTable.name, argc, argv)) return 0;
    std::wstring error;
    if (!ParsePeerOptions(argc, argv, &options, &error)) return ToolFail(optionTable, error);
    if (options.help) {
        std::printf("%ls", ToolUsageText(optionTable).c_str());
        return 0;
    }
    if (options.target == PeerTarget::Sim && !options.uniqueIdGiven) options.uniqueIdHigh = GetCurrentProcessId();
    Material material;
    int code = Prepare(options, &material);
    if (code != 0) return code;
    Sink sink;
    if (!OpenSink(&sink, options)) return 1;
    bool ok = Send(&sink, options, &material);
    CloseSink(&sink);
    return ok ? 0 : 1;
}
