// candump's log file (see candump_log.h).
#include "candump_log.h"

#include "can_asc.h"

namespace {

CanAscDate Today() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    CanAscDate d = {t.wYear, t.wMonth,  t.wDay,    t.wDayOfWeek,
                    t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    return d;
}

void WriteText(DumpLog *log, const char *text, size_t n) {
    if (n != 0) fwrite(text, 1, n, log->file);
}

}  // namespace

BOOL DumpLogOpen(DumpLog *log, const wchar_t *path, LogFormat format, unsigned long long now) {
    log->format = format;
    log->startStamp = now;
    log->file = _wfopen(path, L"w");
    if (log->file == NULL) return FALSE;
    if (format == LogFormat::Asc) {
        // The measurement starts now: readers add each offset to this date.
        CanAscDate today = Today();
        char text[CAN_ASC_HEADER_MAX];
        WriteText(log, text, CanAscHeaderFormat(&today, text, sizeof(text)));
        WriteText(log, text, CanAscBeginFormat(&today, text, sizeof(text)));
    }
    return TRUE;
}

void DumpLogWrite(DumpLog *log, DWORD netIndex, unsigned long long stamp, const RibexFrame *entry,
                  const char *line) {
    if (log->format == LogFormat::Candump) {
        fputs(line, log->file);
        fputc('\n', log->file);
        return;
    }
    unsigned long long offset = stamp > log->startStamp ? stamp - log->startStamp : 0;
    char text[CAN_ASC_LINE_MAX];
    size_t n = entry->errorCode != 0
                   ? CanAscErrorFormat(offset, netIndex + 1, entry->errorCode, text, sizeof(text))
                   : CanAscFrameFormat(offset, netIndex + 1, &entry->msg, text, sizeof(text));
    WriteText(log, text, n);
}

void DumpLogClose(DumpLog *log) {
    if (log->file == NULL) return;
    if (log->format == LogFormat::Asc) fputs(CAN_ASC_END_LINE, log->file);
    fclose(log->file);
    log->file = NULL;
}
