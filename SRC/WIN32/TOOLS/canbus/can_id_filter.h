// Identifier filters as the tools take them on the command line, "ID:MASK"
// in hex: a frame passes when (id & MASK) == (ID & MASK). Bit 31 of the
// identifier marks a remote frame, so a mask with bit 31 set tells data and
// remote frames apart. With several filters a frame passes any of them.
#pragma once

#include <windows.h>

#define CAN_ID_FILTER_MAX 32u

typedef struct CanIdFilter {
    DWORD id;
    DWORD mask;
} CanIdFilter;

// "100:7F0" -> {0x100, 0x7F0}. FALSE for anything else (no colon, a value
// that is not hex or does not fit 32 bits, blanks).
BOOL ParseCanIdFilter(const wchar_t *text, CanIdFilter *pFilter);

// TRUE when no filter is given or canId passes one of them.
BOOL CanIdPassesFilters(const CanIdFilter *filters, DWORD noFilters, DWORD canId);

#ifdef __cplusplus
#include <vector>

#include "tool_options.h"

// -f ID:MASK, repeatable up to CAN_ID_FILTER_MAX, into *filters.
ToolOption CanIdFilterOption(const wchar_t *help, std::vector<CanIdFilter> *filters);
#endif
