#include "can_id_filter.h"

#include "tool_number.h"

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

ToolOption CanIdFilterOption(const wchar_t *help, std::vector<CanIdFilter> *filters) {
    return {L'f', NULL, L"ID:MASK", help, [filters](const wchar_t *v, std::wstring *error) {
                CanIdFilter filter;
                if (filters->size() == CAN_ID_FILTER_MAX) return ToolBad(error, L"too many filters", v);
                if (!ParseCanIdFilter(v, &filter)) return ToolBad(error, L"filter must be ID:MASK in hex", v);
                filters->push_back(filter);
                return true;
            }};
}
