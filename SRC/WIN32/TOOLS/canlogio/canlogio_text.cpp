// candump log lines and Vector ASC through canlogio: the line formats of
// can_frame_text.h and can_asc.h, with channels, directions and dates.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "canlogio_internal.h"

namespace {

const size_t kLineMax = 512;

enum class LineResult { Record, Skip, Stop };

bool IsBlankOrComment(const char *p) {
    while (*p == ' ' || *p == '\t') p++;
    return *p == 0 || *p == '#';
}

// The n-th blank-separated word of line (0-based) into word.
bool WordAt(const char *line, int n, char *word, size_t size) {
    const char *p = line;
    for (int i = 0;; i++) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == 0) return false;
        const char *start = p;
        while (*p && *p != ' ' && *p != '\t') p++;
        if (i == n) {
            size_t len = (size_t)(p - start);
            if (len + 1 > size) return false;
            memcpy(word, start, len);
            word[len] = 0;
            return true;
        }
    }
}

void RecordFromEntry(const CanLogEntry &e, CanLogRecord *rec) {
    rec->id = e.msg.can.id & CAN_EXTENDED_ID_MAX;
    rec->remote = (e.msg.can.id & RX_REMOTE_FRAME_FLAG) != 0 && !e.isError;
    rec->length = e.msg.length > 8 ? 8 : e.msg.length;
    memcpy(rec->data, e.msg.can.data, sizeof(rec->data));
    rec->isError = e.isError != 0;
    rec->errorCode = e.errorCode;
    rec->direction = e.direction;
    rec->extended = rec->id > CAN_STANDARD_ID_MAX;
}

LineResult CandumpLine(CanLogReader *r, const char *line, CanLogRecord *rec,
                       unsigned long long offset) {
    if (IsBlankOrComment(line)) return LineResult::Skip;
    CanLogEntry e;
    const char *why = NULL;
    if (!CanLogEntryParse(line, &e, rec->iface, sizeof(rec->iface), &why)) {
        // A CAN FD frame ("ID##FLAGSDATA") of a mixed log.
        if (strstr(line, "##")) {
            r->status.skippedFd++;
            return LineResult::Skip;
        }
        ReaderStop(r, CanLogStop::Corrupt, offset, r->lineNo, "%s", why ? why : "not a log line");
        return LineResult::Stop;
    }
    RecordFromEntry(e, rec);
    rec->timeNs = e.msg.timeStamp * 100u;
    rec->channel = ChannelForName(&r->names, rec->iface);
    // Eight identifier digits mark an extended frame whatever its value.
    char frame[40];
    if (!e.isError && WordAt(line, 2, frame, sizeof(frame))) {
        const char *hash = strchr(frame, '#');
        if (hash && hash - frame == 8) rec->extended = 1;
    }
    return LineResult::Record;
}

int MonthNumber(const char *name) {
    static const char *const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int i = 0; i < 12; i++)
        if (_strnicmp(name, kMonths[i], 3) == 0 && strlen(name) == 3) return i + 1;
    return 0;
}

// "Thu Dec 10 09:42:13.123 AM 2026" (AM/PM and milliseconds optional),
// from the first word of text; local time. 0 when it is no date.
uint64_t ParseAscDate(const char *text) {
    char weekday[8], month[8], clock[24], fourth[8], fifth[8];
    if (!WordAt(text, 0, weekday, sizeof(weekday)) || !WordAt(text, 1, month, sizeof(month)))
        return 0;
    int day = 0, hour = 0, minute = 0, second = 0, ms = 0, year = 0;
    char dayText[8];
    if (!WordAt(text, 2, dayText, sizeof(dayText)) || !WordAt(text, 3, clock, sizeof(clock)) ||
        !WordAt(text, 4, fourth, sizeof(fourth)))
        return 0;
    day = atoi(dayText);
    if (sscanf(clock, "%d:%d:%d", &hour, &minute, &second) != 3) return 0;
    const char *dot = strchr(clock, '.');
    if (dot) {
        char digits[4] = {'0', '0', '0', 0};
        for (int i = 0; i < 3 && dot[1 + i] >= '0' && dot[1 + i] <= '9'; i++) digits[i] = dot[1 + i];
        ms = atoi(digits);
    }
    if (_stricmp(fourth, "AM") == 0 || _stricmp(fourth, "PM") == 0) {
        if (!WordAt(text, 5, fifth, sizeof(fifth))) return 0;
        hour %= 12;
        if (_stricmp(fourth, "PM") == 0) hour += 12;
        year = atoi(fifth);
    } else {
        year = atoi(fourth);
    }
    int mon = MonthNumber(month);
    if (mon == 0 || year < 1601 || day < 1 || day > 31) return 0;
    SYSTEMTIME local = {};
    local.wYear = (WORD)year;
    local.wMonth = (WORD)mon;
    local.wDay = (WORD)day;
    local.wHour = (WORD)hour;
    local.wMinute = (WORD)minute;
    local.wSecond = (WORD)second;
    local.wMilliseconds = (WORD)ms;
    return LocalSystemTimeToNs(&local);
}

bool StartsWithWord(const char *line, const char *word) {
    while (*line == ' ' || *line == '\t') line++;
    size_t n = strlen(word);
    return _strnicmp(line, word, n) == 0 && (line[n] == ' ' || line[n] == '\t');
}

const char *AfterWords(const char *line, int words) {
    const char *p = line;
    for (int i = 0; i < words; i++) {
        while (*p == ' ' || *p == '\t') p++;
        while (*p && *p != ' ' && *p != '\t') p++;
    }
    return p;
}

LineResult AscLine(CanLogReader *r, const char *line, CanLogRecord *rec,
                   unsigned long long offset) {
    // The trigger block's date is the start of its offsets; the file's
    // date stands in until one comes.
    if (StartsWithWord(line, "date")) {
        uint64_t date = ParseAscDate(AfterWords(line, 1));
        if (date != 0) r->ascDateNs = r->status.startDateNs = date;
    } else if (StartsWithWord(line, "begin")) {
        uint64_t date = ParseAscDate(AfterWords(line, 2));
        if (date != 0) r->ascDateNs = r->status.startDateNs = date;
    }
    CanLogEntry e;
    CanAscLineKind kind;
    const char *why = NULL;
    if (!CanAscLineParse(&r->asc, line, &e, &kind, &why)) {
        ReaderStop(r, CanLogStop::Corrupt, offset, r->lineNo, "%s", why ? why : "not an ASC line");
        return LineResult::Stop;
    }
    if (kind == CAN_ASC_HEADER) return LineResult::Skip;
    if (kind == CAN_ASC_OTHER) {
        char word[16];
        if (WordAt(line, 1, word, sizeof(word)) && _stricmp(word, "CANFD") == 0)
            r->status.skippedFd++;
        else
            r->status.skippedOther++;
        return LineResult::Skip;
    }
    RecordFromEntry(e, rec);
    rec->timeNs = r->ascDateNs + e.msg.timeStamp * 100u;
    char word[24];
    rec->channel = WordAt(line, 1, word, sizeof(word)) ? (uint32_t)strtoul(word, NULL, 10) : 1;
    if (rec->channel == 0) rec->channel = 1;
    if (kind == CAN_ASC_FRAME && WordAt(line, 2, word, sizeof(word))) {
        size_t n = strlen(word);
        if (n && (word[n - 1] == 'x' || word[n - 1] == 'X')) rec->extended = 1;
    }
    return LineResult::Record;
}

}  // namespace

bool TextReaderNext(CanLogReader *r, CanLogRecord *rec) {
    char line[kLineMax];
    for (;;) {
        unsigned long long offset = r->input.consumed;
        bool tooLong = false;
        if (!InputReadLine(&r->input, line, sizeof(line), &tooLong)) return false;
        r->lineNo++;
        if (tooLong) {
            ReaderStop(r, CanLogStop::Corrupt, offset, r->lineNo, "line longer than %u characters",
                       (unsigned)(kLineMax - 1));
            return false;
        }
        memset(rec, 0, sizeof(*rec));
        LineResult result = r->status.format == CanLogFormat::Candump
                                ? CandumpLine(r, line, rec, offset)
                                : AscLine(r, line, rec, offset);
        if (result == LineResult::Record) return true;
        if (result == LineResult::Stop) return false;
    }
}

namespace {

bool Put(CanLogWriter *w, const char *text, size_t n) {
    return n != 0 && fwrite(text, 1, n, w->file) == n;
}

CanAscDate AscDate(uint64_t ns) {
    SYSTEMTIME t;
    NsToLocalSystemTime(ns, &t);
    CanAscDate d = {t.wYear, t.wMonth,  t.wDay,    t.wDayOfWeek,
                    t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    if (t.wYear == 0) d.month = 1, d.year = 1970, d.day = 1, d.weekday = 4;
    return d;
}

bool AscBegin(CanLogWriter *w) {
    if (w->ascStarted) return true;
    w->ascStarted = true;
    CanAscDate date = AscDate(w->dateNs);
    char text[CAN_ASC_HEADER_MAX];
    return Put(w, text, CanAscHeaderFormat(&date, text, sizeof(text))) &&
           Put(w, text, CanAscBeginFormat(&date, text, sizeof(text)));
}

// Nanoseconds to the 100 ns units of the line formats, to the nearest one:
// python-can's BLF times fall a nanosecond short of the microsecond they
// mean. The lines show microseconds cut as candump's screen shows them.
uint64_t In100ns(uint64_t ns) {
    return (ns + 50u) / 100u;
}

RxMsg MsgOf(const CanLogRecord *rec, uint64_t stamp100ns) {
    RxMsg msg = {};
    msg.timeStamp = stamp100ns;
    msg.length = rec->length;
    msg.can.id = rec->id | (rec->remote ? RX_REMOTE_FRAME_FLAG : 0);
    memcpy(msg.can.data, rec->data, sizeof(msg.can.data));
    return msg;
}

// An extended identifier up to 7FF still takes eight digits.
size_t WidenIdentifier(char *line, size_t n, size_t size, const char *iface) {
    char *id = strchr(line, ')');
    if (!id || n + 6 > size) return 0;
    id += 2 + strlen(iface) + 1;  // ") ", the name, " "
    memmove(id + 5, id, (size_t)(line + n + 1 - id));
    memset(id, '0', 5);
    return n + 5;
}

bool CandumpWrite(CanLogWriter *w, const CanLogRecord *rec) {
    char name[CAN_LOG_RECORD_NAME_MAX];
    if (rec->iface[0])
        snprintf(name, sizeof(name), "%s", rec->iface);
    else
        NameForChannel(rec->channel, name, sizeof(name));
    char line[CAN_LOG_LINE_MAX + CAN_LOG_RECORD_NAME_MAX + 8];
    uint64_t stamp = In100ns(rec->timeNs);
    size_t n;
    if (rec->isError) {
        n = CanErrorLogLineFormat(stamp, rec->errorCode, name, line, sizeof(line));
    } else {
        RxMsg msg = MsgOf(rec, stamp);
        n = CanLogLineFormat(&msg, name, line, sizeof(line));
        if (n && rec->extended && rec->id <= CAN_STANDARD_ID_MAX)
            n = WidenIdentifier(line, n, sizeof(line), name);
    }
    if (n == 0) return false;
    if (rec->direction == 'R' || rec->direction == 'T') {
        line[n++] = ' ';
        line[n++] = rec->direction;
    }
    line[n++] = '\n';
    return Put(w, line, n);
}

bool AscWrite(CanLogWriter *w, const CanLogRecord *rec) {
    if (!AscBegin(w)) return false;
    uint64_t offset = rec->timeNs > w->originNs ? In100ns(rec->timeNs - w->originNs) : 0;
    uint32_t channel = rec->channel ? rec->channel : 1;
    char text[CAN_ASC_LINE_MAX];
    if (rec->isError) return Put(w, text, CanAscErrorFormat(offset, channel, rec->errorCode, text, sizeof(text)));
    RxMsg msg = MsgOf(rec, 0);
    return Put(w, text,
               CanAscFrameFormatAs(offset, channel, &msg, rec->extended, rec->direction == 'T', text,
                                   sizeof(text)));
}

}  // namespace

bool TextWriterBegin(CanLogWriter *w) {
    return w->options.format != CanLogFormat::Asc || AscBegin(w);
}

bool TextWriterWrite(CanLogWriter *w, const CanLogRecord *rec) {
    return w->options.format == CanLogFormat::Asc ? AscWrite(w, rec) : CandumpWrite(w, rec);
}

bool TextWriterClose(CanLogWriter *w) {
    if (w->options.format != CanLogFormat::Asc) return true;
    if (!w->originKnown) WriterFixOrigin(w, CanLogWallClockNs());
    return AscBegin(w) && Put(w, CAN_ASC_END_LINE, strlen(CAN_ASC_END_LINE));
}
