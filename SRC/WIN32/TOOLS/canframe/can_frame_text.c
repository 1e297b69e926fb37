// Parser and printer of the candump line format (see can_frame_text.h).
#include "can_frame_text.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

static const char HEX_DIGITS[] = "0123456789ABCDEF";

static int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static int IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static const char *SkipBlanks(const char *p)
{
    while (IsBlank(*p)) p++;
    return p;
}

static int Fail(const char **error, const char *why)
{
    if (error) *error = why;
    return 0;
}

// Parses [p, end) as a frame; end excludes trailing blanks. With
// allowError an 8-digit identifier may carry CAN_ERR_FLAG (an error frame:
// class bits and 8 data bytes, kept in msg as they stand).
static int ParseFrame(const char *p, const char *end, int allowError, RxMsg *msg,
                      const char **error)
{
    uint32_t id = 0;
    int digits = 0;
    while (p < end && *p != '#') {
        int v = HexValue(*p);
        if (v < 0) return Fail(error, "identifier is not hexadecimal");
        if (++digits > 8) return Fail(error, "identifier has more than 8 digits");
        id = (id << 4) | (uint32_t)v;
        p++;
    }
    if (p == end) return Fail(error, "missing '#' between identifier and data");
    if (digits == 3) {
        if (id > CAN_STANDARD_ID_MAX) return Fail(error, "standard identifier above 7FF");
    } else if (digits == 8) {
        int isError = (id & ~CAN_EXTENDED_ID_MAX) == CAN_ERR_FLAG;
        if (isError && !allowError)
            return Fail(error, "error frame (flag 20000000) where a frame is expected");
        if (id > CAN_EXTENDED_ID_MAX && !isError)
            return Fail(error, "extended identifier above 1FFFFFFF");
    } else {
        return Fail(error, "identifier needs 3 (standard) or 8 (extended) hex digits");
    }
    p++;  // '#'

    RxMsg out;
    memset(&out, 0, sizeof(out));
    out.timeStamp = msg->timeStamp;
    out.can.id = id;
    if (p < end && *p == '#') return Fail(error, "CAN FD frames ('##') are not supported");
    if (p < end && (*p == 'R' || *p == 'r')) {
        if (id & CAN_ERR_FLAG) return Fail(error, "an error frame cannot be a remote frame");
        p++;
        out.can.id |= RX_REMOTE_FRAME_FLAG;
        if (p < end) {
            int v = HexValue(*p);
            if (v < 0 || v > 8 || p + 1 != end) return Fail(error, "remote frame length must be one digit 0..8");
            out.length = (uint32_t)v;
        }
        *msg = out;
        return 1;
    }
    uint32_t n = 0;
    while (p < end) {
        if (*p == '.') {
            p++;
            continue;
        }
        int hi = HexValue(*p);
        int lo = p + 1 < end ? HexValue(p[1]) : -1;
        if (hi < 0) return Fail(error, "data is not hexadecimal");
        if (lo < 0) return Fail(error, "data needs two hex digits per byte");
        if (n == 8) return Fail(error, "more than 8 data bytes");
        out.can.data[n++] = (uint8_t)((hi << 4) | lo);
        p += 2;
    }
    out.length = n;
    *msg = out;
    return 1;
}

int CanFrameParse(const char *text, RxMsg *msg, const char **error)
{
    if (!text || !msg) return Fail(error, "no text or no frame");
    const char *p = SkipBlanks(text);
    const char *end = p + strlen(p);
    while (end > p && IsBlank(end[-1])) end--;
    if (p == end) return Fail(error, "empty frame");
    return ParseFrame(p, end, 0, msg, error);
}

// With allowError, an identifier with CAN_ERR_FLAG prints as an error
// frame (8 digits and its data).
static size_t FormatFrame(const RxMsg *msg, int allowError, char *buffer, size_t size)
{
    if (!msg || !buffer || size == 0) return 0;
    char text[CAN_FRAME_TEXT_MAX];
    size_t at = 0;
    uint32_t id = msg->can.id & ~RX_REMOTE_FRAME_FLAG;
    int remote = (msg->can.id & RX_REMOTE_FRAME_FLAG) != 0;
    int isError = allowError && !remote && (id & ~CAN_EXTENDED_ID_MAX) == CAN_ERR_FLAG;
    if ((id > CAN_EXTENDED_ID_MAX && !isError) || msg->length > 8) return 0;
    int digits = CanIdIsExtended(id) ? 8 : 3;
    for (int i = digits - 1; i >= 0; i--) text[at++] = HEX_DIGITS[(id >> (4 * i)) & 0xF];
    text[at++] = '#';
    if (remote) {
        text[at++] = 'R';
        if (msg->length) text[at++] = HEX_DIGITS[msg->length];
    } else {
        for (uint32_t i = 0; i < msg->length; i++) {
            text[at++] = HEX_DIGITS[msg->can.data[i] >> 4];
            text[at++] = HEX_DIGITS[msg->can.data[i] & 0xF];
        }
    }
    if (at + 1 > size) return 0;
    memcpy(buffer, text, at);
    buffer[at] = 0;
    return at;
}

size_t CanFrameFormat(const RxMsg *msg, char *buffer, size_t size)
{
    return FormatFrame(msg, 0, buffer, size);
}

// "(seconds.fraction)" into 100 ns units.
static const char *ParseTimeStamp(const char *p, uint64_t *stamp, const char **error)
{
    if (*p != '(') {
        Fail(error, "log line must start with '(' and a time stamp");
        return NULL;
    }
    p++;
    uint64_t seconds = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 12) {
            Fail(error, "time stamp seconds out of range");
            return NULL;
        }
        seconds = seconds * 10 + (uint64_t)(*p - '0');
        p++;
    }
    if (digits == 0 || *p != '.') {
        Fail(error, "time stamp must be seconds.fraction");
        return NULL;
    }
    p++;
    uint64_t fraction = 0;
    int fractionDigits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++fractionDigits > 7) {
            Fail(error, "time stamp fraction has more than 7 digits");
            return NULL;
        }
        fraction = fraction * 10 + (uint64_t)(*p - '0');
        p++;
    }
    if (fractionDigits == 0 || *p != ')') {
        Fail(error, "time stamp must be seconds.fraction in parentheses");
        return NULL;
    }
    for (int i = fractionDigits; i < 7; i++) fraction *= 10;
    *stamp = seconds * 10000000ull + fraction;
    return p + 1;
}

// The direction flag python-can writes after the frame: " R" or " T".
static const char *ParseDirection(const char *p, char *direction, const char **error)
{
    *direction = 0;
    p = SkipBlanks(p);
    if (!*p) return p;
    if ((*p == 'R' || *p == 'r' || *p == 'T' || *p == 't') && !*SkipBlanks(p + 1)) {
        *direction = (*p == 'R' || *p == 'r') ? 'R' : 'T';
        return SkipBlanks(p + 1);
    }
    Fail(error, "unexpected text after the frame (only a direction R or T may follow)");
    return NULL;
}

int CanLogEntryParse(const char *line, CanLogEntry *entry, char *iface, size_t ifaceSize,
                     const char **error)
{
    if (!line || !entry) return Fail(error, "no line or no entry");
    uint64_t stamp = 0;
    const char *p = ParseTimeStamp(SkipBlanks(line), &stamp, error);
    if (!p) return 0;
    if (!IsBlank(*p)) return Fail(error, "blank expected after the time stamp");
    p = SkipBlanks(p);
    const char *name = p;
    while (*p && !IsBlank(*p)) p++;
    size_t nameLength = (size_t)(p - name);
    if (nameLength == 0 || !*p) return Fail(error, "interface name and frame expected after the time stamp");
    if (nameLength > CAN_LOG_IFACE_MAX) return Fail(error, "interface name longer than 16 characters");
    if (iface) {
        if (nameLength + 1 > ifaceSize) return Fail(error, "interface name does not fit the caller's buffer");
    }
    p = SkipBlanks(p);
    const char *end = p;
    while (*end && !IsBlank(*end)) end++;
    if (p == end) return Fail(error, "frame expected after the interface name");
    CanLogEntry out;
    memset(&out, 0, sizeof(out));
    if (!ParseDirection(end, &out.direction, error)) return 0;
    out.msg.timeStamp = stamp;
    if (!ParseFrame(p, end, 1, &out.msg, error)) return 0;
    if (out.msg.can.id & CAN_ERR_FLAG) {
        out.isError = 1;
        out.errorCode = CanErrorFrameCode(&out.msg);
    }
    if (iface) {
        memcpy(iface, name, nameLength);
        iface[nameLength] = 0;
    }
    *entry = out;
    return 1;
}

int CanLogLineParse(const char *line, RxMsg *msg, char *iface, size_t ifaceSize, const char **error)
{
    if (!line || !msg) return Fail(error, "no line or no frame");
    CanLogEntry entry;
    if (!CanLogEntryParse(line, &entry, iface, ifaceSize, error)) return 0;
    if (entry.isError) return Fail(error, "error frame (flag 20000000) where a frame is expected");
    *msg = entry.msg;
    return 1;
}

static size_t FormatLogLine(const RxMsg *msg, int allowError, const char *iface, char *buffer,
                            size_t size)
{
    if (!msg || !iface || !buffer || size == 0) return 0;
    char frame[CAN_FRAME_TEXT_MAX];
    if (!FormatFrame(msg, allowError, frame, sizeof(frame))) return 0;
    char stamp[CAN_STAMP_TEXT_MAX];
    CanStampFormat(msg->timeStamp, stamp, sizeof(stamp));
    int n = snprintf(buffer, size, "(%s) %s %s", stamp, iface, frame);
    if (n < 0 || (size_t)n >= size) {
        buffer[0] = 0;
        return 0;
    }
    return (size_t)n;
}

size_t CanLogLineFormat(const RxMsg *msg, const char *iface, char *buffer, size_t size)
{
    return FormatLogLine(msg, 0, iface, buffer, size);
}

size_t CanErrorLogLineFormat(uint64_t timeStamp, uint32_t errorCode, const char *iface,
                             char *buffer, size_t size)
{
    RxMsg msg;
    memset(&msg, 0, sizeof(msg));
    msg.timeStamp = timeStamp;
    CanErrorFrameEncode(errorCode, &msg);
    return FormatLogLine(&msg, 1, iface, buffer, size);
}

size_t CanStampFormat(uint64_t stamp, char *buffer, size_t size)
{
    if (!buffer || size == 0) return 0;
    int n = snprintf(buffer, size, "%llu.%06lu", (unsigned long long)(stamp / 10000000ull),
                     (unsigned long)((stamp % 10000000ull) / 10u));
    if (n < 0 || (size_t)n >= size) {
        buffer[0] = 0;
        return 0;
    }
    return (size_t)n;
}
