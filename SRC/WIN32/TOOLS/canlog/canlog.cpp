// canlog: converts CAN logs between the candump log, ASC and BLF formats,
// or decodes their frames into a CSV of signals, one record at a time.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "candb.h"
#include "canlog_csv.h"
#include "canlog_jsonl.h"
#include "canlog_options.h"
#include "canlogio.h"
#include "tool_clock.h"
#include "tool_stop.h"

namespace {


std::string Narrow(const std::wstring &w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), NULL, 0, NULL, NULL);
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], n, NULL, NULL);
    return s;
}


// Where the records go: a log writer, the CSV of signals or JSON Lines.
struct Sink {
    CanlogOutput kind;
    CanLogWriter *log;
    CsvWriter csv;
    JsonlWriter jsonl;
};

bool SinkWrite(Sink *s, const CanLogRecord *rec) {
    switch (s->kind) {
    case CanlogOutput::Csv: return CsvWriteRecord(&s->csv, rec);
    case CanlogOutput::Jsonl: return JsonlWriteRecord(&s->jsonl, rec);
    default: return CanLogWriterWrite(s->log, rec) != FALSE;
    }
}

bool SinkClose(Sink *s) {
    switch (s->kind) {
    case CanlogOutput::Csv: return CsvClose(&s->csv);
    case CanlogOutput::Jsonl: return JsonlClose(&s->jsonl);
    default: return CanLogWriterClose(s->log) != FALSE;
    }
}

// The progress line: only for a person watching a console.
struct Progress {
    bool shown;
    bool enabled;
    ULONGLONG last;
};

void ShowProgress(Progress *p, const CanLogReader *reader, unsigned long long records) {
    ULONGLONG now = GetTickCount64();
    if (now - p->last < 500) return;
    p->last = now;
    p->shown = true;
    fprintf(stderr, "\rcanlog: %llu records, %.1f MB read ", records,
            (double)CanLogReaderPosition(reader) / 1e6);
    fflush(stderr);
}

bool StderrIsConsole() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// The most memory the conversion held: it streams, so this stays flat
// whatever the size of the log.
double PeakMegabytes() {
    PROCESS_MEMORY_COUNTERS pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return 0;
    return (double)pmc.PeakWorkingSetSize / 1e6;
}

void PrintStatistics(const CanlogOptions &o, const CanLogReadStatus *st, unsigned long long written,
                     double seconds, bool interrupted) {
    const char *outName = o.outputKind == CanlogOutput::Csv     ? "csv"
                          : o.outputKind == CanlogOutput::Jsonl ? "jsonl"
                                                                : CanLogFormatName(o.outputFormat);
    fprintf(stderr,
            "canlog: %s (%s) -> %s (%s): %llu frames, %llu error frames, %llu written in %.3f s\n",
            Narrow(o.input).c_str(), CanLogFormatName(st->format), Narrow(o.output).c_str(), outName,
            st->frames, st->errorFrames, written, seconds);
    fprintf(stderr, "canlog: %.0f records/s, peak memory %.1f MB\n",
            seconds > 0 ? (double)written / seconds : 0.0, PeakMegabytes());
    if (st->skippedFd || st->skippedOther)
        fprintf(stderr, "canlog: skipped %llu CAN FD frames and %llu other objects\n", st->skippedFd,
                st->skippedOther);
    if (st->stop != CanLogStop::None)
        fprintf(stderr, "canlog: stopped at byte %llu (%s %llu): %s; what came before is converted\n",
                st->stopOffset, st->format == CanLogFormat::Blf ? "container" : "line", st->stopItem,
                st->why);
    if (interrupted) fprintf(stderr, "canlog: interrupted (Ctrl+C); the output is complete up to here\n");
}

bool OpenSink(const CanlogOptions &o, const CanDatabase *db, Sink *sink) {
    sink->kind = o.outputKind;
    if (sink->kind == CanlogOutput::Csv) return CsvOpen(&sink->csv, o.output.c_str(), db);
    if (sink->kind == CanlogOutput::Jsonl)
        return JsonlOpen(&sink->jsonl, o.output.c_str(), o.dbcPath.empty() ? nullptr : db);
    CanLogWriterOptions wo = CanLogWriterDefaults(o.outputFormat);
    wo.blfCompression = o.blfCompression;
    return CanLogWriterOpen(o.output.c_str(), &wo, &sink->log) != FALSE;
}

int Convert(const CanlogOptions &o) {
    CanDatabase db;
    if (!o.dbcPath.empty()) {
        CanDbError error;
        if (!CanDbLoadFile(Narrow(o.dbcPath).c_str(), &db, &error)) {
            fprintf(stderr, "canlog: %s\n", CanDbErrorText(&error).c_str());
            return 1;
        }
    }
    CanLogReader *reader;
    if (!CanLogReaderOpen(o.input.c_str(), o.inputFormat, &reader)) {
        DWORD e = GetLastError();
        fprintf(stderr, "canlog: cannot read '%s': %s\n", Narrow(o.input).c_str(),
                e == ERROR_BAD_FORMAT ? "not a BLF file (no LOGG signature)" : "cannot open it");
        return 1;
    }
    Sink sink = {};
    if (!OpenSink(o, &db, &sink)) {
        fprintf(stderr, "canlog: cannot create '%s' (error %lu)\n", Narrow(o.output).c_str(),
                GetLastError());
        CanLogReaderClose(reader);
        return 1;
    }
    Progress progress = {false, !o.quiet && StderrIsConsole(), GetTickCount64()};
    unsigned long long t0 = ToolNow100ns();
    unsigned long long written = 0;
    bool writeFailed = false;
    CanLogRecord rec;
    while (!ToolStopRequested() && CanLogReaderNext(reader, &rec)) {
        if (!SinkWrite(&sink, &rec)) {
            writeFailed = true;
            break;
        }
        written++;
        if (progress.enabled && (written & 0xFFF) == 0) ShowProgress(&progress, reader, written);
    }
    bool interrupted = ToolStopRequested() != FALSE;
    if (!SinkClose(&sink)) writeFailed = true;
    unsigned long long t1 = ToolNow100ns();
    if (progress.shown) fputc('\n', stderr);
    if (writeFailed) fprintf(stderr, "canlog: writing '%s' failed\n", Narrow(o.output).c_str());
    const CanLogReadStatus *st = CanLogReaderGetStatus(reader);
    PrintStatistics(o, st, written, (double)(t1 - t0) / 1e7,
                    interrupted);
    bool damaged = st->stop != CanLogStop::None;
    CanLogReaderClose(reader);
    return writeFailed || damaged ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    CanlogOptions o;
    ToolSpec optionTable = CanlogToolSpec(&o);
    std::wstring error;
    if (!ParseCanlogOptions(argc, argv, &o, &error)) return ToolFail(optionTable, error);
    ToolArgs args;
    if (o.help || o.version) return ToolBegin(optionTable, argc, argv, &args);
    if (!ToolStopInstall()) return 1;
    return Convert(o);
}
