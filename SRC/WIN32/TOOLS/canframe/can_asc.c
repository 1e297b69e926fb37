// Reader and writer of Vector ASC logs (see can_asc.h).
#include "can_asc.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

static const char *const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char *const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static int Fail(const char **error, const char *why)
{
    if (error) *error = why;
    return 0;
}

static const char *SkipBlanks(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    return p;
}

// The next blank-separated word: [*start, return value).
static const char *NextWord(const char *p, const char **start)
{
    p = SkipBlanks(p);
    *start = p;
    while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') p++;
    return p;
}

static int WordIs(const char *start, const char *end, const char *word)
{
    size_t n = strlen(word);
    if ((size_t)(end - start) != n) return 0;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)start[i]) != tolower((unsigned char)word[i])) return 0;
    return 1;
}

static int StartsWith(const char *line, const char *prefix)
{
    for (; *prefix; prefix++, line++)
        if (tolower((unsigned char)*line) != tolower((unsigned char)*prefix)) return 0;
    return 1;
}

// [start, end) as a number in base; FALSE when empty, not a number or above max.
static int ParseNumber(const char *start, const char *end, uint32_t base, uint32_t max,
                       uint32_t *value)
{
    if (start == end) return 0;
    uint64_t v = 0;
    for (const char *p = start; p < end; p++) {
        int d = isdigit((unsigned char)*p) ? *p - '0'
                : (base == 16 && isxdigit((unsigned char)*p))
                    ? tolower((unsigned char)*p) - 'a' + 10
                    : -1;
        if (d < 0) return 0;
        v = v * base + (uint64_t)d;
        if (v > max) return 0;
    }
    *value = (uint32_t)v;
    return 1;
}

// "seconds.fraction" into 100 ns units (digits past the seventh dropped).
static int ParseSeconds(const char *start, const char *end, uint64_t *stamp)
{
    const char *p = start;
    uint64_t seconds = 0, fraction = 0;
    int digits = 0, fractionDigits = 0;
    for (; p < end && isdigit((unsigned char)*p); p++) {
        if (++digits > 12) return 0;
        seconds = seconds * 10 + (uint64_t)(*p - '0');
    }
    if (digits == 0 || p == end || *p != '.') return 0;
    for (p++; p < end && isdigit((unsigned char)*p); p++) {
        if (++fractionDigits > 9) return 0;
        if (fractionDigits <= 7) fraction = fraction * 10 + (uint64_t)(*p - '0');
    }
    if (fractionDigits == 0 || p != end) return 0;
    for (int i = fractionDigits; i < 7; i++) fraction *= 10;
    *stamp = seconds * 10000000ull + fraction;
    return 1;
}

void CanAscReaderInit(CanAscReader *reader)
{
    reader->base = 16;
    reader->relative = 0;
    reader->previous = 0;
}

// "base hex|dec [timestamps absolute|relative]"
static int ParseBase(CanAscReader *reader, const char *line, const char **error)
{
    const char *w, *end = NextWord(line + 4, &w);
    if (WordIs(w, end, "hex"))
        reader->base = 16;
    else if (WordIs(w, end, "dec"))
        reader->base = 10;
    else
        return Fail(error, "base must be hex or dec");
    end = NextWord(end, &w);
    if (w == end) return 1;
    if (!WordIs(w, end, "timestamps")) return Fail(error, "only 'timestamps' may follow the base");
    end = NextWord(end, &w);
    if (WordIs(w, end, "absolute"))
        reader->relative = 0;
    else if (WordIs(w, end, "relative"))
        reader->relative = 1;
    else
        return Fail(error, "timestamps must be absolute or relative");
    return 1;
}

static int IsHeaderLine(const char *p)
{
    return *p == 0 || StartsWith(p, "//") || StartsWith(p, "date ") ||
           StartsWith(p, "internal events logged") || StartsWith(p, "no internal events logged") ||
           StartsWith(p, "begin triggerblock") || StartsWith(p, "end triggerblock");
}

// "d LEN B0 B1 ..." or "r [LEN]" after the direction; extra words after the
// data (bit counts, names) are ignored as python-can ignores them.
static int ParseFrameBody(const CanAscReader *reader, const char *p, RxMsg *msg, const char **error)
{
    const char *w, *end = NextWord(p, &w);
    int remote = WordIs(w, end, "r");
    if (!remote && !WordIs(w, end, "d"))
        return Fail(error, "frame type must be d (data) or r (remote)");
    uint32_t length = 0;
    end = NextWord(end, &w);
    if (w != end && !ParseNumber(w, end, reader->base, 8, &length)) {
        if (!remote) return Fail(error, "length must be 0..8 (CAN FD is not supported)");
        end = w;  // a remote frame's length is optional
    } else if (w == end && !remote) {
        return Fail(error, "data frame without a length");
    }
    msg->length = length;
    if (remote) {
        msg->can.id |= RX_REMOTE_FRAME_FLAG;
        return 1;
    }
    for (uint32_t i = 0; i < length; i++) {
        uint32_t byte;
        end = NextWord(end, &w);
        if (!ParseNumber(w, end, reader->base, 0xFF, &byte))
            return Fail(error, "fewer data bytes than the length");
        msg->can.data[i] = (uint8_t)byte;
    }
    return 1;
}

// "ID[x] Rx|Tx d|r ..." after the channel. *isFrame 0: not a frame line.
static int ParseFrameLine(const CanAscReader *reader, const char *p, CanLogEntry *entry,
                          int *isFrame, const char **error)
{
    const char *idStart, *idEnd = NextWord(p, &idStart);
    const char *dir, *dirEnd = NextWord(idEnd, &dir);
    *isFrame = WordIs(dir, dirEnd, "Rx") || WordIs(dir, dirEnd, "Tx");
    if (!*isFrame) return 1;
    int extended = idEnd > idStart && (idEnd[-1] == 'x' || idEnd[-1] == 'X');
    uint32_t id;
    if (!ParseNumber(idStart, idEnd - extended, reader->base,
                     extended ? CAN_EXTENDED_ID_MAX : CAN_STANDARD_ID_MAX, &id))
        return Fail(error, "identifier must be a number up to 7FF, or up to 1FFFFFFF with x");
    entry->msg.can.id = id;
    entry->direction = (dir[0] == 'R' || dir[0] == 'r') ? 'R' : 'T';
    return ParseFrameBody(reader, dirEnd, &entry->msg, error);
}

int CanAscLineParse(CanAscReader *reader, const char *line, CanLogEntry *entry,
                    CanAscLineKind *kind, const char **error)
{
    if (!reader || !line || !entry || !kind) return Fail(error, "no reader, line, entry or kind");
    const char *p = SkipBlanks(line);
    *kind = CAN_ASC_HEADER;
    if (IsHeaderLine(p)) return 1;
    if (StartsWith(p, "base ")) return ParseBase(reader, p, error);
    *kind = CAN_ASC_OTHER;
    const char *w, *end = NextWord(p, &w);
    uint64_t stamp;
    if (!ParseSeconds(w, end, &stamp)) return 1;
    if (reader->relative) stamp += reader->previous;
    reader->previous = stamp;

    CanLogEntry out;
    memset(&out, 0, sizeof(out));
    out.msg.timeStamp = stamp;
    end = NextWord(end, &w);
    uint32_t channel;
    if (WordIs(w, end, "Start")) {
        *kind = CAN_ASC_HEADER;  // "Start of measurement"
        return 1;
    }
    if (!ParseNumber(w, end, 10, 0xFFFF, &channel)) return 1;
    const char *rest = end;
    end = NextWord(rest, &w);
    if (end - w >= 10 && StartsWith(w, "ErrorFrame")) {
        out.isError = 1;
        *entry = out;
        *kind = CAN_ASC_ERROR;
        return 1;
    }
    int isFrame = 0;
    if (!ParseFrameLine(reader, rest, &out, &isFrame, error)) return 0;
    if (!isFrame) return 1;
    *entry = out;
    *kind = CAN_ASC_FRAME;
    return 1;
}

static size_t Finish(int n, char *buffer, size_t size)
{
    if (n < 0 || (size_t)n >= size) {
        if (size) buffer[0] = 0;
        return 0;
    }
    return (size_t)n;
}

// "Thu Dec 10 09:42:13.123 AM 2026", the form python-can writes and reads.
static int FormatDate(const CanAscDate *d, char *buffer, size_t size)
{
    if (d->weekday < 0 || d->weekday > 6 || d->month < 1 || d->month > 12) return -1;
    int hour12 = d->hour % 12 == 0 ? 12 : d->hour % 12;
    return snprintf(buffer, size, "%s %s %02d %02d:%02d:%02d.%03d %s %d", WEEKDAYS[d->weekday],
                    MONTHS[d->month - 1], d->day, hour12, d->minute, d->second, d->millisecond,
                    d->hour < 12 ? "AM" : "PM", d->year);
}

size_t CanAscHeaderFormat(const CanAscDate *date, char *buffer, size_t size)
{
    char text[48];
    if (!buffer || !date || FormatDate(date, text, sizeof(text)) < 0) return 0;
    int n = snprintf(buffer, size,
                     "date %s\nbase hex  timestamps absolute\ninternal events logged\n", text);
    return Finish(n, buffer, size);
}

size_t CanAscBeginFormat(const CanAscDate *date, char *buffer, size_t size)
{
    char text[48];
    if (!buffer || !date || FormatDate(date, text, sizeof(text)) < 0) return 0;
    int n =
        snprintf(buffer, size, "Begin Triggerblock %s\n   0.000000 Start of measurement\n", text);
    return Finish(n, buffer, size);
}

static int FormatOffset(uint64_t offset, char *buffer, size_t size)
{
    char stamp[CAN_STAMP_TEXT_MAX];
    CanStampFormat(offset, stamp, sizeof(stamp));
    return snprintf(buffer, size, "%11s", stamp);  // seconds right-aligned in four places
}

size_t CanAscFrameFormat(uint64_t offset, uint32_t channel, const RxMsg *msg, char *buffer,
                         size_t size)
{
    return CanAscFrameFormatAs(offset, channel, msg, 0, 0, buffer, size);
}

size_t CanAscFrameFormatAs(uint64_t offset, uint32_t channel, const RxMsg *msg, int extended,
                           int sent, char *buffer, size_t size)
{
    if (!msg || !buffer || size == 0) return 0;
    uint32_t id = msg->can.id & ~RX_REMOTE_FRAME_FLAG;
    int remote = (msg->can.id & RX_REMOTE_FRAME_FLAG) != 0;
    if (id > CAN_EXTENDED_ID_MAX || msg->length > 8) return Finish(-1, buffer, size);
    char time[32], idText[16], body[32];
    FormatOffset(offset, time, sizeof(time));
    snprintf(idText, sizeof(idText), extended || id > CAN_STANDARD_ID_MAX ? "%lXx" : "%lX",
             (unsigned long)id);
    int at = snprintf(body, sizeof(body), "%c %lX", remote ? 'r' : 'd', (unsigned long)msg->length);
    for (uint32_t i = 0; !remote && i < msg->length; i++)
        at += snprintf(body + at, sizeof(body) - (size_t)at, " %02X", msg->can.data[i]);
    int n = snprintf(buffer, size, "%s %lu  %-15s %s   %s\n", time, (unsigned long)channel, idText,
                     sent ? "Tx" : "Rx", body);
    return Finish(n, buffer, size);
}

size_t CanAscErrorFormat(uint64_t offset, uint32_t channel, uint32_t errorCode, char *buffer,
                         size_t size)
{
    if (!buffer || size == 0) return 0;
    char time[32];
    FormatOffset(offset, time, sizeof(time));
    int n = snprintf(buffer, size, "%s %lu  ErrorFrame\n// error entry %lu on channel %lu: %s\n",
                     time, (unsigned long)channel, (unsigned long)errorCode, (unsigned long)channel,
                     CanErrorCodeText(errorCode));
    return Finish(n, buffer, size);
}
