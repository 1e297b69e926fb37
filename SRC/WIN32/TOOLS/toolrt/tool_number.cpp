// Strict command-line numbers (see tool_number.h).
#include "tool_number.h"

#include <wchar.h>

namespace {

// The value of one digit in base, or -1 when c is not one.
int DigitValue(wchar_t c, int base) {
    int v = -1;
    if (c >= L'0' && c <= L'9')
        v = c - L'0';
    else if (c >= L'a' && c <= L'f')
        v = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F')
        v = c - L'A' + 10;
    return v < base ? v : -1;
}

BOOL Refuse() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// The first chars characters of text as a number (the half of a pair is not
// terminated where it ends).
BOOL ParseDigits(const wchar_t *text, size_t chars, int base, unsigned long long max,
                 unsigned long long *value) {
    if (text == NULL || (base != 10 && base != 16)) return Refuse();
    if (base == 16 && chars > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        text += 2;
        chars -= 2;
    }
    if (chars == 0) return Refuse();
    unsigned long long v = 0;
    for (size_t i = 0; i < chars; ++i) {
        int digit = DigitValue(text[i], base);
        if (digit < 0 || (unsigned long long)digit > max) return Refuse();
        // v * base + digit <= max, asked without overflowing.
        if (v > (max - (unsigned long long)digit) / (unsigned long long)base) return Refuse();
        v = v * (unsigned long long)base + (unsigned long long)digit;
    }
    *value = v;
    return TRUE;
}

}  // namespace

BOOL ParseArgNumber(const wchar_t *text, int base, unsigned long long max,
                    unsigned long long *value) {
    return ParseDigits(text, text ? wcslen(text) : 0, base, max, value);
}

BOOL ParseArgDword(const wchar_t *text, int base, DWORD max, DWORD *value) {
    unsigned long long v;
    if (!ParseArgNumber(text, base, max, &v)) return FALSE;
    *value = (DWORD)v;
    return TRUE;
}

BOOL ParseArgDwordOrHex(const wchar_t *text, DWORD max, DWORD *value) {
    bool hex = text != NULL && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    return ParseArgDword(text, hex ? 16 : 10, max, value);
}

BOOL ParseArgDecimal(const wchar_t *text, double max, double *value) {
    if (text == NULL) return Refuse();
    double v = 0, scale = 1;
    bool point = false, digits = false;
    for (const wchar_t *p = text; *p; ++p) {
        if (*p == L'.' && !point) {
            point = true;
        } else if (*p >= L'0' && *p <= L'9') {
            digits = true;
            if (point) {
                scale /= 10;
                v += (*p - L'0') * scale;
            } else {
                v = v * 10 + (*p - L'0');
            }
        } else {
            return Refuse();
        }
    }
    if (!digits || v > max) return Refuse();
    *value = v;
    return TRUE;
}

BOOL ParseArgHexPair(const wchar_t *text, DWORD *high, DWORD *low) {
    const wchar_t *colon = text ? wcschr(text, L':') : NULL;
    if (colon == NULL) return Refuse();
    unsigned long long h, l;
    if (!ParseDigits(text, (size_t)(colon - text), 16, 0xFFFFFFFFull, &h) ||
        !ParseArgNumber(colon + 1, 16, 0xFFFFFFFFull, &l))
        return FALSE;
    *high = (DWORD)h;
    *low = (DWORD)l;
    return TRUE;
}
