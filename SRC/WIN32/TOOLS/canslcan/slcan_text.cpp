// The slcan line format (see slcan_text.h).
#include "slcan_text.h"

#include <string.h>

#include "can_frame_text.h"

namespace {

const char HEX[] = "0123456789ABCDEF";

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool ParseHex(const char *text, size_t digits, uint32_t *value)
{
    uint32_t v = 0;
    for (size_t i = 0; i < digits; i++) {
        int d = HexValue(text[i]);
        if (d < 0) return false;
        v = (v << 4) | (uint32_t)d;
    }
    *value = v;
    return true;
}

void PutHex(char *out, uint32_t value, size_t digits)
{
    for (size_t i = 0; i < digits; i++) out[i] = HEX[(value >> (4 * (digits - 1 - i))) & 0xF];
}

SlcanLine Malformed()
{
    SlcanLine l = {};
    l.kind = SlcanLineKind::Malformed;
    return l;
}

// t, T, r, R: identifier, length, data for t/T, then nothing or a stamp.
SlcanLine ParseFrame(const char *text, size_t length)
{
    const bool extended = text[0] == 'T' || text[0] == 'R';
    const bool remote = text[0] == 'r' || text[0] == 'R';
    const size_t idDigits = extended ? 8 : 3;
    if (length < 1 + idDigits + 1) return Malformed();
    uint32_t id, dlc;
    if (!ParseHex(text + 1, idDigits, &id) || !ParseHex(text + 1 + idDigits, 1, &dlc)) {
        return Malformed();
    }
    if (id > (extended ? CAN_EXTENDED_ID_MAX : CAN_STANDARD_ID_MAX) || dlc > 8) return Malformed();
    const size_t dataDigits = remote ? 0 : 2 * dlc;
    const size_t base = 1 + idDigits + 1 + dataDigits;
    if (length != base && length != base + 4) return Malformed();

    SlcanLine l = {};
    l.kind = SlcanLineKind::Frame;
    l.msg.length = dlc;
    l.msg.can.id = id | (remote ? RX_REMOTE_FRAME_FLAG : 0);
    for (size_t i = 0; i < dataDigits / 2; i++) {
        uint32_t byte;
        if (!ParseHex(text + 1 + idDigits + 1 + 2 * i, 2, &byte)) return Malformed();
        l.msg.can.data[i] = (uint8_t)byte;
    }
    if (length == base + 4) {
        uint32_t stamp;
        if (!ParseHex(text + base, 4, &stamp)) return Malformed();
        l.hasStamp = stamp < SLCAN_STAMP_WRAP_MS;
        l.stampMs = l.hasStamp ? stamp : 0;
    }
    return l;
}

bool AllHex(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        if (HexValue(text[i]) < 0) return false;
    }
    return true;
}

}  // namespace

void SlcanAssemblerReset(SlcanAssembler *a)
{
    a->length = 0;
    a->overlong = false;
    a->line[0] = 0;
}

bool SlcanAssemblerPending(const SlcanAssembler *a)
{
    return a->length > 0 || a->overlong;
}

SlcanEvent SlcanAssemble(SlcanAssembler *a, const char **p, const char *end, bool *cutLine)
{
    *cutLine = false;
    while (*p < end) {
        const char c = *(*p)++;
        if (c == '\r') {
            a->line[a->length] = 0;
            const bool overlong = a->overlong;
            a->length = 0;
            a->overlong = false;
            return overlong ? SlcanEvent::Overlong : SlcanEvent::Line;
        }
        if (c == '\a') {
            *cutLine = SlcanAssemblerPending(a);
            SlcanAssemblerReset(a);
            return SlcanEvent::Refused;
        }
        // Some adapters end lines with CR LF; a NUL is line noise.
        if ((c == '\n' || c == '\0') && a->length == 0 && !a->overlong) continue;
        if (a->length < SLCAN_LINE_MAX) {
            a->line[a->length++] = c;
        } else {
            a->overlong = true;
        }
    }
    return SlcanEvent::None;
}

SlcanLine SlcanParseLine(const char *text)
{
    const size_t length = strlen(text);
    SlcanLine l = {};
    if (length == 0) {
        l.kind = SlcanLineKind::Ok;
        return l;
    }
    switch (text[0]) {
    case 't':
    case 'T':
    case 'r':
    case 'R': return ParseFrame(text, length);
    case 'z':
    case 'Z':
        if (length != 1) return Malformed();
        l.kind = SlcanLineKind::TxOk;
        return l;
    case 'V':
    case 'N':
    case 'F':
        if (length < 2 || length > 5 || !AllHex(text + 1, length - 1)) return Malformed();
        l.kind = SlcanLineKind::Answer;
        return l;
    default: return Malformed();
    }
}

size_t SlcanFormatCommand(const RxMsg *msg, char *buffer, size_t size)
{
    const bool remote = (msg->can.id & RX_REMOTE_FRAME_FLAG) != 0;
    const uint32_t id = msg->can.id & ~RX_REMOTE_FRAME_FLAG;
    if (msg->length > 8 || id > CAN_EXTENDED_ID_MAX) return 0;
    const bool extended = CanIdIsExtended(id) != 0;
    const size_t idDigits = extended ? 8 : 3;
    const size_t dataDigits = remote ? 0 : 2 * msg->length;
    const size_t total = 1 + idDigits + 1 + dataDigits + 1;
    if (size < total + 1) return 0;
    char *out = buffer;
    *out++ = remote ? (extended ? 'R' : 'r') : (extended ? 'T' : 't');
    PutHex(out, id, idDigits);
    out += idDigits;
    *out++ = HEX[msg->length];
    for (size_t i = 0; i < dataDigits / 2; i++, out += 2) PutHex(out, msg->can.data[i], 2);
    *out++ = '\r';
    *out = 0;
    return total;
}

void SlcanClockReset(SlcanClock *c)
{
    memset(c, 0, sizeof(*c));
}

uint64_t SlcanClockUnwrap(SlcanClock *c, uint32_t stampMs, uint64_t hostMs)
{
    stampMs %= SLCAN_STAMP_WRAP_MS;
    if (!c->started) {
        c->started = true;
        c->unwrappedMs = stampMs;
    } else {
        uint64_t step = (stampMs + SLCAN_STAMP_WRAP_MS - c->lastStampMs) % SLCAN_STAMP_WRAP_MS;
        uint64_t hostStep = hostMs > c->lastHostMs ? hostMs - c->lastHostMs : 0;
        // Whole periods the host saw pass beyond the step the stamps show.
        if (hostStep > step + SLCAN_STAMP_WRAP_MS / 2) {
            step += (hostStep - step + SLCAN_STAMP_WRAP_MS / 2) / SLCAN_STAMP_WRAP_MS *
                    SLCAN_STAMP_WRAP_MS;
        }
        c->unwrappedMs += step;
    }
    c->lastStampMs = stampMs;
    c->lastHostMs = hostMs;
    return c->unwrappedMs;
}
