#include "can_id_filter.h"

#include <wchar.h>

static BOOL ParseHexPart(const wchar_t *text, size_t chars, DWORD *pValue) {
    if (chars > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        text += 2;
        chars -= 2;
    }
    if (chars == 0 || chars > 8) return FALSE;
    DWORD value = 0;
    for (size_t i = 0; i < chars; ++i) {
        wchar_t c = text[i];
        DWORD digit;
        if (c >= L'0' && c <= L'9')
            digit = (DWORD)(c - L'0');
        else if (c >= L'a' && c <= L'f')
            digit = (DWORD)(c - L'a' + 10);
        else if (c >= L'A' && c <= L'F')
            digit = (DWORD)(c - L'A' + 10);
        else
            return FALSE;
        value = value << 4 | digit;
    }
    *pValue = value;
    return TRUE;
}

BOOL ParseCanIdFilter(const wchar_t *text, CanIdFilter *pFilter) {
    if (text == NULL || pFilter == NULL) return FALSE;
    const wchar_t *colon = wcschr(text, L':');
    if (colon == NULL) return FALSE;
    CanIdFilter filter;
    if (!ParseHexPart(text, (size_t)(colon - text), &filter.id) ||
        !ParseHexPart(colon + 1, wcslen(colon + 1), &filter.mask))
        return FALSE;
    *pFilter = filter;
    return TRUE;
}

BOOL CanIdPassesFilters(const CanIdFilter *filters, DWORD noFilters, DWORD canId) {
    if (noFilters == 0) return TRUE;
    for (DWORD i = 0; i < noFilters; ++i)
        if ((canId & filters[i].mask) == (filters[i].id & filters[i].mask)) return TRUE;
    return FALSE;
}
