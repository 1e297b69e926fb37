// The bounded formatter behind every trace line.
//
// It never writes past the buffer, always terminates it, and stops at the
// first character that does not fit, so a long line is cut rather than
// wrapped. Integer conversions read 32-bit values; %p reads a pointer-sized
// value (a caller naturally passes a pointer there, and reading a narrower
// type would leave the rest of its slot to the next conversion on targets
// where arguments are not 8-byte slots).
#include "trace_internal.h"

#include <stdint.h>
#include <string.h>

namespace {

// Largest width taken from digits: a digit is accepted while the width is
// below this, so the widest field is 32749.
constexpr unsigned WIDTH_DIGIT_LIMIT = 3275;
// Precision digits stop growing here; no buffer can hold that many anyway.
constexpr unsigned PRECISION_LIMIT = 0x7FFFFFFFu / 10u;

constexpr char NO_FLOAT_TEXT[] = "(no float support)";
constexpr char NULL_TEXT[] = "(null)";

struct Output {
    char *buffer;
    DWORD size;
    DWORD count;   // characters stored so far
    bool full;
};

// Stores one character while more than one byte of room is left.
inline bool Put(Output *out, char c) {
    if (out->full) return false;
    if (out->size - out->count <= 1) {
        out->full = true;
        return false;
    }
    out->buffer[out->count++] = c;
    return true;
}

// Characters that still fit: all but the byte kept for the NUL.
inline uint64_t Room(const Output *out) { return out->full ? 0 : out->size - 1 - out->count; }

// Stores what fits of n characters; false (and the output full) when cut.
inline bool PutRepeated(Output *out, char c, uint64_t n) {
    uint64_t fits = n < Room(out) ? n : Room(out);
    memset(out->buffer + out->count, c, (size_t)fits);
    out->count += (DWORD)fits;
    if (fits < n) out->full = true;
    return !out->full;
}

inline bool PutText(Output *out, const char *text, uint64_t n) {
    uint64_t fits = n < Room(out) ? n : Room(out);
    char *to = out->buffer + out->count;
    if (fits <= 8) {   // prefixes and digits: cheaper than a call
        for (uint64_t i = 0; i < fits; ++i) to[i] = text[i];
    } else {
        memcpy(to, text, (size_t)fits);
    }
    out->count += (DWORD)fits;
    if (fits < n) out->full = true;
    return !out->full;
}

struct Conversion {
    bool left, plus, blank, alternate, zero;
    unsigned width;
    bool hasPrecision;
    unsigned precision;
    char size;   // 'h', 'l', 'L' or 0
};

// Lays out prefix, zeros and text in a field of the conversion's width.
// wideText, when set, replaces text: each wide character stored as its low byte.
bool PutField(Output *out, const Conversion &conv, const char *prefix, uint64_t prefixLen,
              uint64_t zeros, const char *text, const wchar_t *wideText, uint64_t textLen) {
    uint64_t used = prefixLen + zeros + textLen;
    uint64_t fill = conv.width > used ? conv.width - used : 0;
    if (!conv.left && !PutRepeated(out, ' ', fill)) return false;
    if (!PutText(out, prefix, prefixLen)) return false;
    if (!PutRepeated(out, '0', zeros)) return false;
    if (wideText == NULL) {
        if (!PutText(out, text, textLen)) return false;
    } else {
        for (uint64_t i = 0; i < textLen; ++i)
            if (!Put(out, (char)(wideText[i] & 0xFF))) return false;
    }
    if (conv.left && !PutRepeated(out, ' ', fill)) return false;
    return true;
}

bool PutInteger(Output *out, const Conversion &conv, uint64_t magnitude, unsigned base, bool upper,
                const char *prefix, uint64_t prefixLen) {
    // Zero printed with precision 0 is no text at all, not even a field.
    if (magnitude == 0 && conv.hasPrecision && conv.precision == 0) return true;
    const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    unsigned n = 0;
    // Constant divisors let the compiler multiply instead of divide.
    if (base == 10) {
        do {
            digits[sizeof digits - 1 - n++] = (char)('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
    } else {
        unsigned shift = base == 16 ? 4 : 3;
        do {
            digits[sizeof digits - 1 - n++] = digitSet[magnitude & (base - 1)];
            magnitude >>= shift;
        } while (magnitude != 0);
    }
    const char *text = digits + sizeof digits - n;
    // The octal alternate form puts a 0 in front unless one is there.
    if (base == 8 && conv.alternate && text[0] != '0') {
        prefix = "0";
        prefixLen = 1;
    }
    uint64_t zeros = 0;
    if (conv.hasPrecision) {
        if (conv.precision > n) zeros = conv.precision - n;
    } else if (conv.zero && !conv.left) {
        uint64_t used = prefixLen + n;
        if (conv.width > used) zeros = conv.width - used;
    }
    return PutField(out, conv, prefix, prefixLen, zeros, text, NULL, n);
}

size_t BoundedLength(const char *s, bool bounded, unsigned limit) {
    size_t n = 0;
    while ((!bounded || n < limit) && s[n] != '\0') ++n;
    return n;
}

size_t BoundedWideLength(const wchar_t *s, bool bounded, unsigned limit) {
    size_t n = 0;
    while ((!bounded || n < limit) && s[n] != L'\0') ++n;
    return n;
}

// Reads flags, width, precision and size letter of a conversion behind its
// "%"; *f is left on the conversion character. * fields take their
// arguments from *ap.
void ParseConversion(const char **f, va_list *ap, Conversion *conv) {
    const char *p = *f;
    for (;; ++p) {
        if (*p == '-') conv->left = true;
        else if (*p == '+') conv->plus = true;
        else if (*p == ' ') conv->blank = true;
        else if (*p == '#') conv->alternate = true;
        else if (*p == '0') conv->zero = true;
        else break;
    }
    if (*p == '*') {
        int w = va_arg(*ap, int);
        if (w < 0) {
            conv->left = true;
            conv->width = 0u - (unsigned)w;
        } else {
            conv->width = (unsigned)w;
        }
        ++p;
    } else {
        for (; *p >= '0' && *p <= '9'; ++p)
            if (conv->width < WIDTH_DIGIT_LIMIT)
                conv->width = conv->width * 10 + (unsigned)(*p - '0');
    }
    if (*p == '.') {
        ++p;
        conv->hasPrecision = true;
        if (*p == '*') {
            int precision = va_arg(*ap, int);
            conv->precision = precision < 0 ? 0u : (unsigned)precision;
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p)
                if (conv->precision < PRECISION_LIMIT)
                    conv->precision = conv->precision * 10 + (unsigned)(*p - '0');
        }
    }
    if (*p == 'h' || *p == 'l' || *p == 'L') conv->size = *p++;
    *f = p;
}

// A string, at most precision characters of it; "(null)" for a null pointer.
void PutString(Output *out, const Conversion &conv, va_list *ap) {
    if (conv.size == 'h') {
        const wchar_t *s = va_arg(*ap, const wchar_t *);
        if (s != NULL) {
            PutField(out, conv, "", 0, 0, "", s,
                     BoundedWideLength(s, conv.hasPrecision, conv.precision));
            return;
        }
        PutField(out, conv, "", 0, 0, NULL_TEXT, NULL,
                 BoundedLength(NULL_TEXT, conv.hasPrecision, conv.precision));
        return;
    }
    const char *s = va_arg(*ap, const char *);
    if (s == NULL) s = NULL_TEXT;
    PutField(out, conv, "", 0, 0, s, NULL, BoundedLength(s, conv.hasPrecision, conv.precision));
}

// Produces the text of one conversion, taking its argument from *ap.
void PutConversion(Output *out, const Conversion &conv, char conversion, va_list *ap) {
    switch (conversion) {
    case 'd':
    case 'i': {
        int value = va_arg(*ap, int);
        uint64_t magnitude = value < 0 ? (uint64_t)(0u - (unsigned)value) : (uint64_t)value;
        const char *prefix = value < 0 ? "-" : conv.plus ? "+" : conv.blank ? " " : "";
        PutInteger(out, conv, magnitude, 10, false, prefix, *prefix ? 1 : 0);
        break;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
        unsigned value = va_arg(*ap, unsigned);
        if (conv.size == 'h') value &= 0xFFFFu;
        unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
        const char *prefix = "";
        if (conv.alternate && value != 0) {
            if (conversion == 'x') prefix = "0x";
            if (conversion == 'X') prefix = "0X";
        }
        PutInteger(out, conv, value, base, conversion == 'X', prefix, *prefix ? 2 : 0);
        break;
    }
    case 'p': {
        uint64_t value = (uintptr_t)va_arg(*ap, void *);
        if (conv.size == 'h') value &= 0xFFFFu;
        const char *prefix = conv.alternate && value != 0 ? "0x" : "";
        PutInteger(out, conv, value, 16, false, prefix, *prefix ? 2 : 0);
        break;
    }
    case 'c': {
        char c = (char)(va_arg(*ap, int) & 0xFF);
        PutField(out, conv, "", 0, 0, &c, NULL, 1);
        break;
    }
    case 's':
        PutString(out, conv, ap);
        break;
    case 'n': {
        void *target = va_arg(*ap, void *);
        if (target == NULL) break;
        if (conv.size == 'h') *(short *)target = (short)out->count;
        else *(int *)target = (int)out->count;
        break;
    }
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
        PutField(out, conv, "", 0, 0, NO_FLOAT_TEXT, NULL,
                 BoundedLength(NO_FLOAT_TEXT, conv.hasPrecision, conv.precision));
        break;
    default:  // "%%" and any other character stand for themselves
        PutField(out, conv, "", 0, 0, &conversion, NULL, 1);
        break;
    }
}

}  // namespace

extern "C" int TraceFormat(char *buffer, DWORD bufferSize, const char *format, va_list args) {
    if (buffer == NULL || format == NULL || bufferSize == 0) return -1;
    Output out = {buffer, bufferSize, 0, false};
    va_list ap;
    va_copy(ap, args);
    const char *f = format;
    while (*f != '\0' && !out.full) {
        if (*f != '%') {
            const char *run = f;
            while (*f != '\0' && *f != '%') ++f;
            PutText(&out, run, (uint64_t)(f - run));
            continue;
        }
        ++f;
        Conversion conv = {};
        ParseConversion(&f, &ap, &conv);
        char conversion = *f;
        if (conversion == '\0') break;  // the format ends inside a specification
        ++f;
        PutConversion(&out, conv, conversion, &ap);
    }
    va_end(ap);
    out.buffer[out.count] = '\0';
    return (int)out.count;
}
