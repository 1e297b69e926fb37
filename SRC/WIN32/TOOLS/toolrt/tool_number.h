// Numbers on the tools' command lines, read strictly: digits only, the whole
// text, within the range the option allows. Every tool reads its counts,
// times, identifiers and unique ids with these, so that "+5", " 5", "5x" and
// an overflowing value are refused alike everywhere.
#pragma once

#include <windows.h>

// An unsigned number in base 10 or 16 that is all of text: no sign, no blank,
// nothing after the digits, at most max. A hex number may start with 0x or 0X
// (at least one digit must follow); a decimal one may not. FALSE with
// ERROR_INVALID_PARAMETER for anything else, *value untouched.
BOOL ParseArgNumber(const wchar_t *text, int base, unsigned long long max,
                    unsigned long long *value);

// The same, into a DWORD.
BOOL ParseArgDword(const wchar_t *text, int base, DWORD max, DWORD *value);

// A DWORD in hex when it starts with 0x or 0X, else in decimal (a leading 0
// is no octal: "010" is ten), for the numbers a tool documents so.
BOOL ParseArgDwordOrHex(const wchar_t *text, DWORD max, DWORD *value);

// A rate or a ratio: decimal digits with at most one '.' among or after
// them ("7600", "0.5", "12."), no sign, no blank, no exponent, within
// 0..max. FALSE with ERROR_INVALID_PARAMETER otherwise, *value untouched.
BOOL ParseArgDecimal(const wchar_t *text, double max, double *value);

// "HIGH:LOW", two hex DWORDs as above around one colon (a unique id, an
// ID:MASK filter). FALSE with ERROR_INVALID_PARAMETER, *high and *low
// untouched, when either half is wrong or the colon is missing.
BOOL ParseArgHexPair(const wchar_t *text, DWORD *high, DWORD *low);
