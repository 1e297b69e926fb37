#include "can_id_filter.h"

#include "toolargs.h"

BOOL ParseCanIdFilter(const wchar_t *text, CanIdFilter *pFilter) {
    // ID:MASK reads like a unique id: two hex DWORDs, untouched when refused.
    if (pFilter == NULL) return FALSE;
    return ParseArgHexPair(text, &pFilter->id, &pFilter->mask);
}

BOOL CanIdPassesFilters(const CanIdFilter *filters, DWORD noFilters, DWORD canId) {
    if (noFilters == 0) return TRUE;
    for (DWORD i = 0; i < noFilters; ++i)
        if ((canId & filters[i].mask) == (filters[i].id & filters[i].mask)) return TRUE;
    return FALSE;
}
