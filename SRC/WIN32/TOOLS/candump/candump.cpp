// candump: opens one or more nets through the ribex server and prints every
// frame as a candump log line; also manages remote-frame replies.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "can_bus_load.h"
#include "can_error_frame.h"
#include "can_frame_text.h"
#include "canjson.h"
#include "candump_line.h"
#include "candump_log.h"
#include "candump_manage.h"
#include "candump_options.h"
#include "candump_reader.h"
#include "candump_signals.h"
#include "ribex_client.h"
#include "tool_clock.h"
#include "tool_nets.h"
#include "tool_stop.h"

namespace {

const DWORD kBatch = RX_BUFFER_NO_ENTRIES;  // a whole ring in one read
const DWORD kFlushMs = 100;
// Entries the reader thread keeps for the printing one: seconds of a full bus.
const DWORD kQueueEntries = 1u << 16;  // on a busy bus stdout is written at least this often
const size_t kLineMax = 4096;  // a frame line and its decoded message

typedef DumpOptions Options;

void PrintError(const char *what, const wchar_t *net) {
    fprintf(stderr, "candump: %s %ls failed, error %lu\n", what, net, GetLastError());
}

struct DumpState {
    std::vector<RibexClientNet *> nets;
    std::vector<std::string> netNames;
    DWORD frames;
    DWORD errorEntries;
    DWORD overflows;  // error entries of the driver's overflow
    DWORD lost;
    unsigned long long busBits;
    unsigned long long firstStamp, lastStamp;
    BOOL haveStamp;
    unsigned long long prevStamp;
    BOOL serverGone[kDumpMaxNets];  // said once until the net is open again
    DWORD reopens;
    DWORD queueDropped;  // of lost: no room in the reader's queue (candump too slow)
    DumpLog log;
    DumpSignals signals;
    std::string json;  // the line of the entry being printed, reused
};

// The screen says in words what an error entry was; stdout and the log
// keep only lines that other tools read.
void ReportErrorEntry(const DumpState *s, DWORD netIndex, unsigned long long stamp,
                      DWORD errorCode) {
    fflush(stdout);
    char when[CAN_STAMP_TEXT_MAX];
    CanStampFormat(stamp, when, sizeof(when));
    fprintf(stderr, "candump: %s: error entry %lu at %s: %s\n", s->netNames[netIndex].c_str(),
            errorCode, when, CanErrorCodeText(errorCode));
}

// The entry on stdout: its line (and decoded message) or its JSON object.
void PrintEntry(const Options *o, DumpState *s, DWORD netIndex, unsigned long long stamp,
                const RibexFrame *f, const char *line) {
    const CanDbMessage *msg = DumpSignalsDecode(&s->signals, s->netNames[netIndex].c_str(), f);
    if (o->json) {
        CanJsonFrame frame;
        CanJsonFrameFromRxMsg(&f->msg, f->errorCode, stamp, s->netNames[netIndex].c_str(), &frame);
        if (CanJsonFormatLine(&frame, msg, s->signals.values.data(), &s->json)) {
            fwrite(s->json.data(), 1, s->json.size(), stdout);
            fputc('\n', stdout);
        }
        return;
    }
    fputs(line, stdout);
    if (msg != nullptr) {
        char decoded[kLineMax];
        CanDbFormatDecoded(msg, s->signals.values.data(), decoded, sizeof(decoded));
        fputs(" :: ", stdout);
        fputs(decoded, stdout);
    }
    fputc('\n', stdout);
}

void EmitFrame(const Options *o, DumpState *s, DWORD netIndex, const RibexFrame *f) {
    // An error entry's slot holds no time stamp: it gets the time it was read.
    unsigned long long stamp = f->errorCode != 0 ? ToolNow100ns() : f->msg.timeStamp;
    unsigned long long shown = stamp;
    if (o->deltaTime) shown = s->haveStamp && stamp >= s->prevStamp ? stamp - s->prevStamp : 0;
    if (!s->haveStamp) s->firstStamp = stamp;
    s->haveStamp = TRUE;
    s->prevStamp = stamp;
    s->lastStamp = stamp;

    char line[kLineMax];
    FormatDumpLine(shown, s->netNames[netIndex].c_str(), f, line, sizeof(line));
    PrintEntry(o, s, netIndex, stamp, f, line);
    if (s->log.writer != NULL) DumpLogWrite(&s->log, netIndex, s->netNames[netIndex].c_str(), stamp, shown, f);
    if (f->errorCode != 0) {
        s->errorEntries++;
        if (f->errorCode == CAN_DRIVER_OVERFLOW_ERROR) s->overflows++;
        // The gap of a server's death is said in words where it is seen.
        if (f->errorCode != RIBEX_ERROR_SERVER_GONE) ReportErrorEntry(s, netIndex, stamp, f->errorCode);
        return;
    }
    s->busBits += WorstCaseFrameBits(&f->msg);
    s->frames++;
}

void PrintStamp(const char *prefix, unsigned long long stamp) {
    char when[CAN_STAMP_TEXT_MAX];
    CanStampFormat(stamp, when, sizeof(when));
    fprintf(stderr, "%s %s", prefix, when);
}

// The client library opens a net again on a new server when the old one
// went away. candump says so on stderr once each way, and marks the gap
// in its output and log with an error frame. FALSE: not such an event.
BOOL NoteServerEvent(const Options *o, DumpState *s, DWORD netIndex, DWORD errorCode) {
    if (errorCode == RIBEX_ERROR_NET_REOPENED && !s->serverGone[netIndex])
        NoteServerEvent(o, s, netIndex, RIBEX_ERROR_SERVER_GONE);  // another client was quicker
    if (errorCode == RIBEX_ERROR_SERVER_GONE && !s->serverGone[netIndex]) {
        s->serverGone[netIndex] = TRUE;
        RibexFrame gap;
        memset(&gap, 0, sizeof(gap));
        gap.errorCode = RIBEX_ERROR_SERVER_GONE;
        EmitFrame(o, s, netIndex, &gap);
        fflush(stdout);
        fprintf(stderr, "candump: %s: the ribex server went away", s->netNames[netIndex].c_str());
        PrintStamp(" at", s->lastStamp);
        fprintf(stderr, ", reopening the net\n");
        return TRUE;
    }
    if (errorCode == RIBEX_ERROR_NET_REOPENED) {
        s->serverGone[netIndex] = FALSE;
        s->reopens++;
        fflush(stdout);
        fprintf(stderr, "candump: %s: reopened on a new server", s->netNames[netIndex].c_str());
        PrintStamp(" at", ToolNow100ns());
        fprintf(stderr, "; frames in between are lost\n");
        return TRUE;
    }
    return FALSE;
}

// Frames and error entries count alike against -n.
DWORD EntriesShown(const DumpState *s) {
    return s->frames + s->errorEntries;
}

void PrintStatistics(const Options *o, const DumpState *s, double seconds, FILE *out) {
    if (seconds <= 0) seconds = 1e-6;
    double load = BusLoadPercent(s->busBits, seconds, o->bitRate);
    fprintf(out,
            "candump: %lu frames in %.3f s, %.1f frames/s, %lu lost, bus load %.2f%% at %lu bit/s "
            "(worst-case bit stuffing)\n",
            s->frames, seconds, s->frames / seconds, s->lost, load, o->bitRate);
    fprintf(out, "candump: %lu error entries, %lu of them driver overflows", s->errorEntries,
            s->overflows);
    if (s->overflows != 0)
        fprintf(out,
                ": frames were lost before they reached the ring (the driver's queue was full), "
                "more than the %lu counted as lost",
                s->lost);
    fputc('\n', out);
    if (s->queueDropped != 0)
        fprintf(out, "candump: %lu of the lost entries found no room in candump's own queue\n",
                s->queueDropped);
    if (s->reopens != 0)
        fprintf(out, "candump: %lu reopens of a net after the server went away\n", s->reopens);
    // Wine reports another process's CPU time as zero: say our own.
    fprintf(out, "candump: CPU %.2f s (user + kernel)\n", ToolCpuSeconds());
    fflush(out);
}

// Statistics go to stderr when stdout carries JSON Lines.
FILE *StatisticsOut(const Options *o) { return o->json ? stderr : stdout; }

// Opens the log and the nets and starts the reader; FALSE after saying why.
BOOL StartDump(Options *o, DumpState *s, DumpReader *reader) {
    std::string loadError;
    if (!DumpSignalsLoad(&s->signals, o->databases.data(), (DWORD)o->databases.size(), &loadError)) {
        fprintf(stderr, "candump: %s\n", loadError.c_str());
        return FALSE;
    }
    if (!o->logPath.empty() && !DumpLogOpen(&s->log, o->logPath.c_str(), o->logFormat, ToolNow100ns())) {
        std::wstring error;
        ToolBad(&error, L"cannot write log file", o->logPath.c_str());
        ToolFail(DumpSpec(o), error);
        return FALSE;
    }
    for (const std::wstring &net : o->nets) {
        char name[64];
        snprintf(name, sizeof(name), "%ls", net.c_str());
        s->netNames.push_back(name);
    }
    if (!ToolOpenNets("candump", o->nets, &o->client, ToolUniqueIds::Same, &s->nets)) return FALSE;
    // On stderr, so that stdout stays a log: tells a user (and a test)
    // that frames sent from now on are seen.
    fprintf(stderr, "candump: reading");
    for (const std::string &name : s->netNames) fprintf(stderr, " %s", name.c_str());
    fprintf(stderr, " (Ctrl+C ends)\n");
    if (DumpReaderStart(reader, s->nets, kQueueEntries)) return TRUE;
    fprintf(stderr, "candump: cannot start the reader thread: error %lu\n", GetLastError());
    return FALSE;
}

// One batch of the queue on stdout; FALSE when a read failed for good.
BOOL PrintBatch(Options *o, DumpState *s, const DumpEntry *entries, DWORD n) {
    for (DWORD k = 0; k < n; ++k) {
        const DumpEntry *e = &entries[k];
        if (e->readError != 0) {
            if (NoteServerEvent(o, s, e->net, e->readError)) continue;
            SetLastError(e->readError);
            PrintError("read of", o->nets[e->net].c_str());
            return FALSE;
        }
        const RibexFrame *f = &e->frame;
        if (f->errorCode == 0 && !CanIdPassesFilters(o->filters.data(), (DWORD)o->filters.size(), f->msg.can.id))
            continue;
        if (o->maxFrames != 0 && EntriesShown(s) >= o->maxFrames) break;
        EmitFrame(o, s, e->net, f);
    }
    return TRUE;
}

bool Done(const Options *o, const DumpState *s, unsigned long long startMs) {
    return ToolStopRequested() || (o->maxFrames != 0 && EntriesShown(s) >= o->maxFrames) ||
           (o->runTimeMs != 0 && ToolNowMs() - startMs >= o->runTimeMs);
}

// Prints what the reader queues until Ctrl+C, -n or -T; FALSE when a read failed.
BOOL PrintUntilDone(Options *o, DumpState *s, DumpReader *reader) {
    static DumpEntry entries[kBatch];
    unsigned long long startMs = ToolNowMs(), lastFlush = startMs;
    HANDLE wakes[2] = {reader->hAdded, ToolStopEvent()};
    while (!Done(o, s, startMs)) {
        DWORD n = DumpReaderTake(reader, entries, kBatch);
        if (!PrintBatch(o, s, entries, n)) return FALSE;
        if (n == 0 || ToolNowMs() - lastFlush >= kFlushMs) {
            fflush(stdout);
            lastFlush = ToolNowMs();
        }
        DumpLogTick(&s->log);
        // Nothing waiting: sleep until the reader adds entries, Ctrl+C, or
        // a short while to notice the run time.
        if (n == 0) WaitForMultipleObjects(2, wakes, FALSE, 100);
    }
    return TRUE;
}

int RunDump(Options *o) {
    DumpState s{};
    DumpReader reader{};
    // Few large writes: a pipe written per frame batch cannot keep up with a
    // full bus under Wine.
    static char outBuffer[1 << 16];
    setvbuf(stdout, outBuffer, _IOFBF, sizeof(outBuffer));
    unsigned long long start = ToolNow100ns();
    int rc = StartDump(o, &s, &reader) && PrintUntilDone(o, &s, &reader) ? 0 : 1;
    unsigned long long end = ToolNow100ns();
    if (reader.reader.hThread != NULL) {
        DumpReaderStop(&reader);
        s.lost = (DWORD)(reader.lapped + reader.dropped);
        s.queueDropped = (DWORD)reader.dropped;
    }
    if (!ToolCloseNets("candump", o->nets, &s.nets)) rc = 1;
    DumpLogClose(&s.log);
    if (o->statistics) PrintStatistics(o, &s, (double)(end - start) / 1e7, StatisticsOut(o));
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    Options o;
    ToolSpec optionTable = DumpSpec(&o);
    ToolArgs args;
    int code = ToolBegin(optionTable, argc, argv, &args);
    if (code >= 0) return code;
    if (!ToolStopInstall()) return 1;
    std::wstring error;
    if (!DumpCheckOptions(&o, &error)) return ToolFail(optionTable, error);
    if (!args.operands.empty() && DumpIsManagement(args.operands[0]))
        return RunManagement(optionTable, args.operands, &o);
    if (!DumpTakeNets(args.operands, &o, &error)) return ToolFail(optionTable, error);
    return RunDump(&o);
}
