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

// The first entry starts the measurement: its time stamp is time 0.
void BeginTriggerBlock(DumpLog *log, unsigned long long stamp) {
    CanAscDate now = Today();
    char text[CAN_ASC_HEADER_MAX];
    WriteText(log, text, CanAscBeginFormat(&now, text, sizeof(text)));
    log->startStamp = stamp;
    log->begun = TRUE;
}

}  // namespace

BOOL DumpLogOpen(DumpLog *log, const wchar_t *path, LogFormat format) {
    log->format = format;
    log->begun = FALSE;
    log->startStamp = 0;
    log->file = _wfopen(path, L"w");
    if (log->file == NULL) return FALSE;
    if (format == LogFormat::Asc) {
        CanAscDate now = Today();
        char text[CAN_ASC_HEADER_MAX];
        WriteText(log, text, CanAscHeaderFormat(&now, text, sizeof(text)));
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
    if (!log->begun) BeginTriggerBlock(log, stamp);
    unsigned long long offset = stamp > log->startStamp ? stamp - log->startStamp : 0;
    char text[CAN_ASC_LINE_MAX];
    size_t n = entry->errorCode != 0
                   ? CanAscErrorFormat(offset, netIndex + 1, entry->errorCode, text, sizeof(text))
                   : CanAscFrameFormat(offset, netIndex + 1, &entry->msg, text, sizeof(text));
    WriteText(log, text, n);
}

void DumpLogClose(DumpLog *log) {
    if (log->file == NULL) return;
    if (log->format == LogFormat::Asc) {
        if (!log->begun) BeginTriggerBlock(log, 0);
        fputs(CAN_ASC_END_LINE, log->file);
    }
    fclose(log->file);
    log->file = NULL;
}
