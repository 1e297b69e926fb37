// Bytes to physical values and back. A frame's 8 bytes are read once as a
// little-endian and a big-endian 64-bit word; an Intel signal is a shift of
// the first, a Motorola signal a shift of the second, so a decode is a few
// operations per signal and allocates nothing.
#include <math.h>
#include <string.h>

#include <algorithm>

#include "candb_internal.h"

static uint64_t MaskOf(unsigned length) {
    return length >= 64 ? ~0ull : ((1ull << length) - 1);
}

static uint64_t LoadLittle(const uint8_t *b) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | b[i];
    return v;
}

static uint64_t LoadBig(const uint8_t *b) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = (v << 8) | b[i];
    return v;
}

static void StoreLittle(uint64_t v, uint8_t *b) {
    for (int i = 0; i < 8; i++, v >>= 8)
        b[i] = (uint8_t)v;
}

static void StoreBig(uint64_t v, uint8_t *b) {
    for (int i = 7; i >= 0; i--, v >>= 8)
        b[i] = (uint8_t)v;
}

// Position of a Motorola signal's LSB as a right shift of the big-endian word.
static unsigned MotorolaShift(const CanDbSignal *s) {
    return 64 - s->bitPos - s->length;
}

static unsigned BitPosition(const CanDbSignal *s) {
    if (s->byteOrder == CANDB_INTEL) return s->startBit;
    // The start bit names the MSB as byte * 8 + bit-in-byte (bit 7 the
    // byte's MSB); counted from the frame's first bit that is
    // byte * 8 + 7 - bit, and the signal runs on to higher numbers.
    return (s->startBit / 8) * 8 + (7 - s->startBit % 8);
}

unsigned CanDbSignalBytes(const CanDbSignal *s) {
    return (BitPosition(s) + s->length - 1) / 8 + 1;
}

BOOL CanDbPrepareMessage(CanDbMessage *msg, std::string *why) {
    msg->decodable = true;
    for (CanDbSignal &s : msg->signals) {
        s.bitPos = BitPosition(&s);
        s.bytesUsed = CanDbSignalBytes(&s);
        if (s.bytesUsed > CANDB_MAX_FRAME_BYTES) {
            if (msg->size <= CANDB_MAX_FRAME_BYTES) {
                *why = "signal \"" + s.name + "\" of " + msg->name + " lies beyond the message's " +
                       std::to_string(msg->size) + " bytes";
                return FALSE;
            }
            msg->decodable = false;  // a CAN FD message: kept for its name, not decoded
        }
    }
    // Multiplexors before the signals they select, so a decode reads each
    // switch's value before it needs it.
    std::vector<bool> placed(msg->signals.size(), false);
    msg->decodeOrder.clear();
    while (msg->decodeOrder.size() < msg->signals.size()) {
        size_t before = msg->decodeOrder.size();
        for (size_t i = 0; i < msg->signals.size(); i++) {
            int sw = msg->signals[i].muxSwitch;
            if (!placed[i] && (sw < 0 || placed[(size_t)sw])) {
                placed[i] = true;
                msg->decodeOrder.push_back((unsigned)i);
            }
        }
        if (msg->decodeOrder.size() == before) {
            *why = "the multiplexors of " + msg->name + " select each other in a circle";
            return FALSE;
        }
    }
    return TRUE;
}

static int64_t SignExtend(uint64_t raw, unsigned length) {
    if (length < 64 && (raw >> (length - 1)) & 1)
        raw |= ~MaskOf(length);
    return (int64_t)raw;
}

double CanDbRawToPhysical(const CanDbSignal *s, uint64_t raw) {
    double v;
    if (s->valueType == CANDB_FLOAT) {
        uint32_t bits = (uint32_t)raw;
        float f;
        memcpy(&f, &bits, sizeof(f));
        v = f;
    } else if (s->valueType == CANDB_DOUBLE) {
        memcpy(&v, &raw, sizeof(v));
    } else if (s->isSigned) {
        v = (double)SignExtend(raw, s->length);
    } else {
        v = (double)raw;
    }
    return v * s->factor + s->offset;
}

const char *CanDbValueLabel(const CanDbSignal *s, int64_t raw) {
    const std::vector<CanDbValueName> &names = s->valueNames;
    auto it = std::lower_bound(names.begin(), names.end(), raw,
                               [](const CanDbValueName &n, int64_t r) { return n.raw < r; });
    return it != names.end() && it->raw == raw ? it->text.c_str() : nullptr;
}

static bool MuxSelects(const CanDbSignal *s, uint64_t switchRaw) {
    for (const CanDbMuxRange &r : s->muxRanges)
        if (switchRaw >= r.low && switchRaw <= r.high)
            return true;
    return false;
}

size_t CanDbDecode(const CanDbMessage *msg, const uint8_t *data, unsigned length, CanDbValue *values,
                   size_t capacity) {
    if (!msg || !values || capacity < msg->signals.size() || (!data && length)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    uint8_t bytes[CANDB_MAX_FRAME_BYTES] = {};
    if (length > CANDB_MAX_FRAME_BYTES)
        length = CANDB_MAX_FRAME_BYTES;
    if (length)
        memcpy(bytes, data, length);
    const uint64_t little = LoadLittle(bytes);
    const uint64_t big = LoadBig(bytes);
    size_t present = 0;
    for (unsigned i : msg->decodeOrder) {
        const CanDbSignal *s = &msg->signals[i];
        CanDbValue *v = &values[i];
        v->present = false;
        v->raw = 0;
        v->physical = 0;
        v->label = nullptr;
        if (!msg->decodable || s->bytesUsed > length)
            continue;
        if (s->isMultiplexed) {
            const CanDbValue *sw = &values[s->muxSwitch];
            if (!sw->present || !MuxSelects(s, sw->raw))
                continue;
        }
        uint64_t raw = s->byteOrder == CANDB_INTEL ? little >> s->bitPos : big >> MotorolaShift(s);
        raw &= MaskOf(s->length);
        v->present = true;
        v->raw = raw;
        v->physical = CanDbRawToPhysical(s, raw);
        if (!s->valueNames.empty())
            v->label = CanDbValueLabel(s, s->isSigned ? SignExtend(raw, s->length) : (int64_t)raw);
        present++;
    }
    return present;
}

static void WriteRaw(const CanDbSignal *s, uint64_t bits, uint8_t *data) {
    const uint64_t mask = MaskOf(s->length);
    bits &= mask;
    if (s->byteOrder == CANDB_INTEL) {
        uint64_t w = LoadLittle(data);
        w = (w & ~(mask << s->bitPos)) | (bits << s->bitPos);
        StoreLittle(w, data);
    } else {
        unsigned shift = MotorolaShift(s);
        uint64_t w = LoadBig(data);
        w = (w & ~(mask << shift)) | (bits << shift);
        StoreBig(w, data);
    }
}

// The raw bits of a raw value, clamped to what the signal's bits hold.
static uint64_t RawBits(const CanDbSignal *s, double raw, bool *clamped) {
    if (s->valueType == CANDB_FLOAT) {
        float f = (float)raw;
        uint32_t bits;
        memcpy(&bits, &f, sizeof(bits));
        return bits;
    }
    if (s->valueType == CANDB_DOUBLE) {
        uint64_t bits;
        memcpy(&bits, &raw, sizeof(bits));
        return bits;
    }
    double r = nearbyint(raw);  // to nearest, ties to even
    double low = s->isSigned ? -ldexp(1.0, (int)s->length - 1) : 0.0;
    double high = s->isSigned ? ldexp(1.0, (int)s->length - 1) - 1 : ldexp(1.0, (int)s->length) - 1;
    if (r < low) {
        r = low;
        *clamped = true;
    } else if (r > high) {
        r = high;
        *clamped = true;
    }
    if (s->isSigned)
        return r >= 9223372036854775807.0 ? (uint64_t)INT64_MAX : (uint64_t)(int64_t)r;
    return r >= 18446744073709551615.0 ? ~0ull : (uint64_t)r;
}

BOOL CanDbEncodeSignal(const CanDbSignal *s, double physical, uint8_t *data, bool *clamped, double *written) {
    if (!s || !data || isnan(physical) || s->bytesUsed > CANDB_MAX_FRAME_BYTES) {
        SetLastError(s && s->bytesUsed > CANDB_MAX_FRAME_BYTES ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool wasClamped = false;
    if (s->minimum < s->maximum) {
        if (physical < s->minimum) {
            physical = s->minimum;
            wasClamped = true;
        } else if (physical > s->maximum) {
            physical = s->maximum;
            wasClamped = true;
        }
    }
    uint64_t bits = RawBits(s, (physical - s->offset) / s->factor, &wasClamped);
    WriteRaw(s, bits, data);
    if (clamped)
        *clamped = wasClamped;
    if (written)
        *written = CanDbRawToPhysical(s, bits & MaskOf(s->length));
    return TRUE;
}

unsigned CanDbStartFrame(const CanDbMessage *msg, uint8_t *data) {
    memset(data, 0, CANDB_MAX_FRAME_BYTES);
    if (!msg || !msg->decodable)
        return 0;
    // The start values as raw values; a multiplexed signal only where the
    // start value of its multiplexor selects it.
    std::vector<bool> written(msg->signals.size(), false);
    std::vector<uint64_t> raws(msg->signals.size(), 0);
    for (unsigned i : msg->decodeOrder) {
        const CanDbSignal *s = &msg->signals[i];
        if (s->isMultiplexed && (!written[(size_t)s->muxSwitch] || !MuxSelects(s, raws[(size_t)s->muxSwitch])))
            continue;
        bool ignored = false;
        uint64_t bits = RawBits(s, s->startRaw, &ignored) & MaskOf(s->length);
        WriteRaw(s, bits, data);
        written[i] = true;
        raws[i] = bits;
    }
    return std::min(msg->size, (unsigned)CANDB_MAX_FRAME_BYTES);
}
