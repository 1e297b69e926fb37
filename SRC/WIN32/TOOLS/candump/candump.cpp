// candump: opens one or more nets through the ribex server and prints every
// frame as a candump log line; also manages remote-frame replies.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "tool_clock.h"
#include "can_error_frame.h"
#include "can_id_filter.h"
#include "canjson.h"
#include "candump_line.h"
#include "candump_log.h"
#include "candump_reader.h"
#include "candump_signals.h"
#include "ribex_client.h"
#include "ribex_version.h"
#include "toolargs.h"

namespace {

const DWORD kMaxNets = 16;
const DWORD kMaxFilters = CAN_ID_FILTER_MAX;
const DWORD kBatch = RX_BUFFER_NO_ENTRIES;  // a whole ring in one read
const DWORD kFlushMs = 100;
// Entries the reader thread keeps for the printing one: seconds of a full bus.
const DWORD kQueueEntries = 1u << 16;  // on a busy bus stdout is written at least this often
const DWORD kMaxDatabases = 16;
const size_t kLineMax = 4096;  // a frame line and its decoded message

struct Options {
    const wchar_t *nets[kMaxNets];
    DWORD noNets;
    DWORD maxFrames;      // 0: no limit
    DWORD runTimeMs;      // 0: no limit
    BOOL deltaTime;
    const wchar_t *logPath;
    LogFormat logFormat;
    BOOL logFormatGiven;  // -L without -l writes nothing: refused
    CanIdFilter filters[kMaxFilters];
    DWORD noFilters;
    BOOL statistics;
    DWORD bitRate;
    RibexClientOptions client;
    BOOL quiet;
    const wchar_t *databases[kMaxDatabases];  // -d FILE.dbc or NET=FILE.dbc
    DWORD noDatabases;
    BOOL json;  // -j: JSON Lines instead of text lines
};

volatile LONG g_stop = 0;

BOOL WINAPI OnConsoleCtrl(DWORD) {
    InterlockedExchange(&g_stop, 1);
    return TRUE;
}

void PrintUsage(FILE *out) {
    fputs(
        "Usage: candump [options] NET [NET...]\n"
        "       candump [options] enable NET ID [LENGTH]\n"
        "       candump [options] disable NET ID\n"
        "       candump [options] list NET\n"
        "       candump [options] disable-all NET\n"
        "\n"
        "Opens each NET through the ribex server (started on demand) and prints every\n"
        "frame as a candump log line: (seconds.microseconds) NET ID#DATA, ID#R for a\n"
        "remote frame, 3 hex digits for a standard and 8 for an extended identifier,\n"
        "and an error entry of the receive buffer as a Linux CAN error frame\n"
        "NET 20000084#000100000000045D: error flag and class in the identifier, the\n"
        "Windows error code in data[2..3] (high) and data[6..7] (low); stderr says in\n"
        "words what it was. Error entries carry the time at which candump read them.\n"
        "\n"
        "Options:\n"
        "  -n COUNT      stop after COUNT entries (frames and error entries)\n"
        "  -T MS         stop after MS milliseconds\n"
        "  -t a|d        time stamps absolute (default) or delta to the previous frame\n"
        "  -l FILE       also write the log lines to FILE\n"
        "  -L log|asc|blf  format of FILE: candump log lines (default), Vector ASC or\n"
        "                Vector BLF (zlib, written at least every second), one channel\n"
        "                per NET in the order given (all read by python-can)\n"
        "  -f ID:MASK    only frames with (id & MASK) == (ID & MASK); repeatable, a frame\n"
        "                passing any filter is shown (hex values; bit 31 marks remote)\n"
        "  -d [NET=]FILE.dbc  decode frames with the DBC file: after each frame line\n"
        "                ' :: MSG(Signal: value unit, ...)', value-table text in quotes,\n"
        "                unknown identifiers raw; repeatable, NET= for one net only (a\n"
        "                file without NET= serves every net that has none of its own)\n"
        "  -j            JSON Lines instead of text lines, one object per entry (t, net,\n"
        "                id, ext, rtr, dlc, data, msg, signals, labels, error; see\n"
        "                docs/json.md), decoded with -d; t is always the net's clock\n"
        "  -s            statistics on exit: frames, frames/s, frames lost in the ring,\n"
        "                bus load, error entries, driver overflows and CPU time (on\n"
        "                stderr with -j)\n"
        "  -b BITRATE    bit rate for the bus load estimate (default 500000)\n"
        "  -q QUEUE      server queue name (default ribexServerQueue)\n"
        "  -u HIGH:LOW   unique id (hex); remote-frame replies belong to HIGH\n"
        "  -h            this text\n"
        "  -V, --version print the version\n"
        "\n"
        "Remote-frame replies live on a net while it is open: enable/disable act on\n"
        "the net of the given client, list shows every reply of the net, disable-all\n"
        "drops every reply of the process part HIGH on every net. Use the same -u HIGH\n"
        "for enable and disable from separate runs.\n"
        "\n"
        "Examples:\n"
        "  candump CAN1                      print frames of CAN1 until Ctrl+C\n"
        "  candump -n 20 -t d CAN1 VCAN1     20 frames of two nets, delta time stamps\n"
        "  candump -f 100:700 -s -b 250000 CAN1   ids 0x100-0x1FF, statistics at 250 kbit/s\n"
        "  candump -l can1.log -T 5000 CAN1  five seconds into can1.log as well\n"
        "  candump -l bus.asc -L asc CAN1 VCAN1   ASC log, channel 1 CAN1, channel 2 VCAN1\n"
        "  candump -l bus.blf -L blf CAN1 VCAN1   the same as BLF\n"
        "  candump -d car.dbc CAN1           (..) CAN1 0CF00400#FF7D7D2C0BFFFFFF :: EEC1(...)\n"
        "  candump -d CAN1=body.dbc -d VCAN1=engine.dbc CAN1 VCAN1   a database per net\n"
        "  candump -j -d car.dbc -n 100 CAN1 > can1.jsonl   100 frames as JSON Lines\n"
        "  candump -u cafe:1 enable CAN1 123     answer remote frames for 0x123 on CAN1\n"
        "  candump -u cafe:2 disable CAN1 123\n"
        "  candump list CAN1\n"
        "  candump -u cafe:0 disable-all CAN1\n",
        out);
}

// A wrong argument: say which and what was wrong with it, then the usage.
int Fail(const char *what, const wchar_t *arg) {
    fprintf(stderr, "candump: %s: %ls\n\n", what, arg ? arg : L"");
    PrintUsage(stderr);
    return 2;
}

BOOL PassesFilters(const Options *o, DWORD canId) {
    return CanIdPassesFilters(o->filters, o->noFilters, canId);
}

void PrintError(const char *what, const wchar_t *net) {
    fprintf(stderr, "candump: %s %ls failed, error %lu\n", what, net, GetLastError());
}

// Opens a net; a failure is explained: what was tried, what to do.
BOOL OpenNet(const wchar_t *net, const RibexClientOptions *client, RibexClientNet **ppNet) {
    RibexOpenFailure failure;
    if (RibexOpenNetEx(net, client, ppNet, &failure)) return TRUE;
    wchar_t text[768];
    RibexDescribeOpenFailure(net, &failure, text, sizeof(text) / sizeof(text[0]));
    fprintf(stderr, "candump: cannot open %ls: %ls\n", net, text);
    return FALSE;
}

int RunManagement(const wchar_t *command, int argc, wchar_t **argv, Options *o) {
    if (argc < 1) return Fail("missing net for", command);
    const wchar_t *net = argv[0];
    DWORD canId = 0, length = 0;
    BOOL isEnable = wcscmp(command, L"enable") == 0;
    BOOL isDisable = wcscmp(command, L"disable") == 0;
    if (isEnable || isDisable) {
        if (argc < 2 || !ParseArgDword(argv[1], 16, 0xFFFFFFFF, &canId))
            return Fail("bad or missing identifier", argc < 2 ? L"" : argv[1]);
        if (isEnable && argc >= 3 && !ParseArgDword(argv[2], 10, 0xFFFFFFFF, &length))
            return Fail("bad length", argv[2]);
    }
    RibexClientNet *pNet = NULL;
    if (!OpenNet(net, &o->client, &pNet)) return 1;
    int rc = 0;
    if (isEnable) {
        if (!RibexEnableRemFrame(pNet, canId, length)) {
            PrintError("enable on", net);
            rc = 1;
        }
    } else if (isDisable) {
        if (!RibexDisableRemFrame(pNet, canId)) {
            PrintError("disable on", net);
            rc = 1;
        }
    } else if (wcscmp(command, L"list") == 0) {
        for (DWORD index = 0;; ++index) {
            DWORD id = 0;
            if (!RibexEnumRemFrame(pNet, index, &id)) {
                if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                    PrintError("list of", net);
                    rc = 1;
                }
                break;
            }
            char text[32];
            FormatCanId(id & ~RX_REMOTE_FRAME_FLAG, text, sizeof(text));
            printf("%ls %s%s\n", net, text, (id & RX_REMOTE_FRAME_FLAG) ? " (bit 31 set)" : "");
        }
    } else {
        if (!RibexDisableAllRemFrames(pNet)) {
            PrintError("disable-all on", net);
            rc = 1;
        }
    }
    fflush(stdout);
    if (!RibexCloseNet(pNet)) {
        PrintError("close of", net);
        rc = 1;
    }
    return rc;
}

struct DumpState {
    RibexClientNet *nets[kMaxNets];
    char netNames[kMaxNets][64];
    DWORD frames;
    DWORD errorEntries;
    DWORD overflows;  // error entries of the driver's overflow
    DWORD lost;
    unsigned long long busBits;
    unsigned long long firstStamp, lastStamp;
    BOOL haveStamp;
    unsigned long long prevStamp;
    BOOL serverGone[kMaxNets];  // said once until the net is open again
    DWORD reopens;
    DWORD queueDropped;  // of lost: no room in the reader's queue (candump too slow)
    DumpLog log;
    DumpSignals signals;
    std::string json;  // the line of the entry being printed, reused
};

// The clock the server and the virtual driver stamp frames with: the
// performance counter in 100 ns units.
unsigned long long Now100ns() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    unsigned long long q = (unsigned long long)f.QuadPart;
    return (unsigned long long)c.QuadPart / q * 10000000ull +
           (unsigned long long)c.QuadPart % q * 10000000ull / q;
}

// The screen says in words what an error entry was; stdout and the log
// keep only lines that other tools read.
void ReportErrorEntry(const DumpState *s, DWORD netIndex, unsigned long long stamp,
                      DWORD errorCode) {
    fflush(stdout);
    fprintf(stderr, "candump: %s: error entry %lu at %llu.%06lu: %s\n", s->netNames[netIndex],
            errorCode, stamp / 10000000ull, (unsigned long)((stamp % 10000000ull) / 10ull),
            CanErrorCodeText(errorCode));
}

// The entry on stdout: its line (and decoded message) or its JSON object.
void PrintEntry(const Options *o, DumpState *s, DWORD netIndex, unsigned long long stamp,
                const RibexFrame *f, const char *line) {
    const CanDbMessage *msg = DumpSignalsDecode(&s->signals, s->netNames[netIndex], f);
    if (o->json) {
        CanJsonFrame frame;
        CanJsonFrameFromRxMsg(&f->msg, f->errorCode, stamp, s->netNames[netIndex], &frame);
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
    unsigned long long stamp = f->errorCode != 0 ? Now100ns() : f->msg.timeStamp;
    unsigned long long shown = stamp;
    if (o->deltaTime) shown = s->haveStamp && stamp >= s->prevStamp ? stamp - s->prevStamp : 0;
    if (!s->haveStamp) s->firstStamp = stamp;
    s->haveStamp = TRUE;
    s->prevStamp = stamp;
    s->lastStamp = stamp;

    char line[kLineMax];
    FormatDumpLine(shown, s->netNames[netIndex], f, line, sizeof(line));
    PrintEntry(o, s, netIndex, stamp, f, line);
    if (s->log.writer != NULL) DumpLogWrite(&s->log, netIndex, s->netNames[netIndex], stamp, shown, f);
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
    fprintf(stderr, "%s %llu.%06lu", prefix, stamp / 10000000ull,
            (unsigned long)((stamp % 10000000ull) / 10ull));
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
        fprintf(stderr, "candump: %s: the ribex server went away", s->netNames[netIndex]);
        PrintStamp(" at", s->lastStamp);
        fprintf(stderr, ", reopening the net\n");
        return TRUE;
    }
    if (errorCode == RIBEX_ERROR_NET_REOPENED) {
        s->serverGone[netIndex] = FALSE;
        s->reopens++;
        fflush(stdout);
        fprintf(stderr, "candump: %s: reopened on a new server", s->netNames[netIndex]);
        PrintStamp(" at", Now100ns());
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
    double load = o->bitRate ? 100.0 * (double)s->busBits / (seconds * (double)o->bitRate) : 0;
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

int RunDump(Options *o) {
    DumpState s{};
    std::string loadError;
    if (!DumpSignalsLoad(&s.signals, o->databases, o->noDatabases, &loadError)) {
        fprintf(stderr, "candump: %s\n", loadError.c_str());
        return 1;
    }
    if (o->logPath != NULL && !DumpLogOpen(&s.log, o->logPath, o->logFormat, Now100ns()))
        return Fail("cannot write log file", o->logPath);
    int rc = 0;
    DWORD opened = 0;
    for (; opened < o->noNets; ++opened) {
        snprintf(s.netNames[opened], sizeof(s.netNames[opened]), "%ls", o->nets[opened]);
        if (!OpenNet(o->nets[opened], &o->client, &s.nets[opened])) {
            rc = 1;
            break;
        }
    }
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    if (rc == 0) {
        // On stderr, so that stdout stays a log: tells a user (and a test)
        // that frames sent from now on are seen.
        fprintf(stderr, "candump: reading");
        for (DWORD i = 0; i < opened; ++i) fprintf(stderr, " %s", s.netNames[i]);
        fprintf(stderr, " (Ctrl+C ends)\n");
    }
    DWORD start = GetTickCount();
    LARGE_INTEGER qpf, qpcStart, qpcEnd;
    QueryPerformanceFrequency(&qpf);
    QueryPerformanceCounter(&qpcStart);
    // Few large writes: a pipe written per frame batch cannot keep up with a
    // full bus under Wine.
    static char outBuffer[1 << 16];
    setvbuf(stdout, outBuffer, _IOFBF, sizeof(outBuffer));
    DWORD lastFlush = GetTickCount();
    DumpReader reader{};
    if (rc == 0 && !DumpReaderStart(&reader, s.nets, opened, kQueueEntries)) {
        fprintf(stderr, "candump: cannot start the reader thread: error %lu\n", GetLastError());
        rc = 1;
    }
    static DumpEntry entries[kBatch];

    while (rc == 0 && !g_stop) {
        if (o->maxFrames != 0 && EntriesShown(&s) >= o->maxFrames) break;
        if (o->runTimeMs != 0 && GetTickCount() - start >= o->runTimeMs) break;
        DWORD n = DumpReaderTake(&reader, entries, kBatch);
        for (DWORD k = 0; k < n && rc == 0; ++k) {
            const DumpEntry *e = &entries[k];
            if (e->readError != 0) {
                if (NoteServerEvent(o, &s, e->net, e->readError)) continue;
                SetLastError(e->readError);
                PrintError("read of", o->nets[e->net]);
                rc = 1;
                break;
            }
            const RibexFrame *f = &e->frame;
            if (f->errorCode == 0 && !PassesFilters(o, f->msg.can.id)) continue;
            if (o->maxFrames != 0 && EntriesShown(&s) >= o->maxFrames) break;
            EmitFrame(o, &s, e->net, f);
        }
        if (n == 0 || GetTickCount() - lastFlush >= kFlushMs) {
            fflush(stdout);
            lastFlush = GetTickCount();
        }
        DumpLogTick(&s.log);
        // Nothing waiting: sleep until the reader adds entries (or a short
        // while, to notice Ctrl+C and the run time).
        if (n == 0 && rc == 0) WaitForSingleObject(reader.hAdded, 100);
    }
    QueryPerformanceCounter(&qpcEnd);
    if (reader.hThread != NULL) {
        DumpReaderStop(&reader);
        s.lost = (DWORD)(reader.lapped + reader.dropped);
        s.queueDropped = (DWORD)reader.dropped;
    }

    for (DWORD i = 0; i < opened; ++i) {
        if (!RibexCloseNet(s.nets[i])) {
            PrintError("close of", o->nets[i]);
            rc = 1;
        }
    }
    DumpLogClose(&s.log);
    if (o->statistics)
        PrintStatistics(o, &s, (double)(qpcEnd.QuadPart - qpcStart.QuadPart) / (double)qpf.QuadPart,
                        StatisticsOut(o));
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    Options o;
    memset(&o, 0, sizeof(o));
    o.bitRate = 500000;
    if (RibexVersionAsked(argc, argv)) {
        printf("candump " RIBEX_VERSION_STRING "\n");
        return 0;
    }
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] != 0; ++i) {
        const wchar_t *a = argv[i];
        if (wcscmp(a, L"--") == 0) {
            ++i;
            break;
        }
        if (wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (a[2] != 0 || wcschr(L"nTtlLfbqusdj", a[1]) == NULL) {
            fprintf(stderr, "candump: unknown option %ls\n\n", a);
            PrintUsage(stderr);
            return 2;
        }
        if (a[1] == L's' || a[1] == L'j') {
            (a[1] == L's' ? o.statistics : o.json) = TRUE;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "candump: option %ls needs a value\n\n", a);
            PrintUsage(stderr);
            return 2;
        }
        const wchar_t *v = argv[++i];
        switch (a[1]) {
        case L'n':
            if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o.maxFrames) || o.maxFrames == 0)
                return Fail("bad frame count", v);
            break;
        case L'T':
            if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o.runTimeMs) || o.runTimeMs == 0)
                return Fail("bad run time", v);
            break;
        case L't':
            if (wcscmp(v, L"a") == 0) o.deltaTime = FALSE;
            else if (wcscmp(v, L"d") == 0) o.deltaTime = TRUE;
            else return Fail("time stamps must be a or d", v);
            break;
        case L'l':
            o.logPath = v;
            break;
        case L'L':
            if (wcscmp(v, L"log") == 0)
                o.logFormat = LogFormat::Candump;
            else if (wcscmp(v, L"asc") == 0)
                o.logFormat = LogFormat::Asc;
            else if (wcscmp(v, L"blf") == 0)
                o.logFormat = LogFormat::Blf;
            else
                return Fail("log format must be log, asc or blf", v);
            o.logFormatGiven = TRUE;
            break;
        case L'f':
            if (o.noFilters == kMaxFilters) return Fail("too many filters", v);
            if (!ParseCanIdFilter(v, &o.filters[o.noFilters]))
                return Fail("filter must be ID:MASK in hex", v);
            o.noFilters++;
            break;
        case L'd':
            if (o.noDatabases == kMaxDatabases) return Fail("too many DBC files", v);
            o.databases[o.noDatabases++] = v;
            break;
        case L'b':
            if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o.bitRate) || o.bitRate == 0)
                return Fail("bad bit rate", v);
            break;
        case L'q':
            o.client.serverQueueName = v;
            break;
        case L'u':
            if (!ParseArgHexPair(v, &o.client.uniqueIdHigh, &o.client.uniqueIdLow))
                return Fail("unique id must be HIGH:LOW in hex", v);
            o.client.haveUniqueId = TRUE;
            break;
        }
    }
    if (o.logFormatGiven && o.logPath == NULL) return Fail("-L needs -l FILE", L"-L");
    if (i >= argc) {
        fprintf(stderr, "candump: no net given\n\n");
        PrintUsage(stderr);
        return 2;
    }
    const wchar_t *first = argv[i];
    if (wcscmp(first, L"enable") == 0 || wcscmp(first, L"disable") == 0 || wcscmp(first, L"list") == 0 ||
        wcscmp(first, L"disable-all") == 0)
        return RunManagement(first, argc - i - 1, argv + i + 1, &o);
    for (; i < argc; ++i) {
        if (o.noNets == kMaxNets) return Fail("too many nets", argv[i]);
        if (wcslen(argv[i]) >= 52) return Fail("net name too long", argv[i]);
        o.nets[o.noNets++] = argv[i];
    }
    return RunDump(&o);
}
