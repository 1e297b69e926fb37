#include "event_table.h"

#include <stdio.h>

#include "last_error.h"

namespace {

constexpr DWORD kMaxDumpedEvents = 10;

}  // namespace

DWORD EventTableCount(const RibexEventTable *pEvents) {
    if (pEvents == nullptr) return 0;
    DWORD noEvents = pEvents->noEvents;
    return noEvents < pEvents->maxNoEvents ? noEvents : pEvents->maxNoEvents;
}

void TraceEventTable(TraceModule *module, const char *headFormat, const RibexEventTable *pEvents) {
    if (module == nullptr || (module->levelMask & TRACE_LEVEL_DETAIL) == 0) return;
    DWORD noEvents = EventTableCount(pEvents);
    DWORD shown = noEvents < kMaxDumpedEvents ? noEvents : kMaxDumpedEvents;
    // The format grows with the entries shown, so that the dump is one
    // line; surplus arguments are never read.
    char format[512];
    int used = snprintf(format, sizeof(format), "%s", headFormat);
    for (DWORD i = 0; i < shown && used > 0 && (size_t)used < sizeof(format); ++i)
        used += snprintf(format + used, sizeof(format) - used, "\t\t%%#x:%%#x\n\t\t%%#x\n");
    unsigned v[3 * kMaxDumpedEvents] = {};
    for (DWORD i = 0; i < shown; ++i) {
        v[3 * i] = pEvents->pUniqueId[i].high;
        v[3 * i + 1] = pEvents->pUniqueId[i].low;
        v[3 * i + 2] = static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pEvents->pEventHandle[i]));
    }
    TracePrint(module, TRACE_LEVEL_DETAIL, format, noEvents, v[0], v[1], v[2], v[3], v[4], v[5],
               v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14], v[15], v[16], v[17],
               v[18], v[19], v[20], v[21], v[22], v[23], v[24], v[25], v[26], v[27], v[28], v[29]);
}

DWORD ReleaseEventTable(RibexEventTable *volatile *ppEvents, TraceModule *module) {
    RibexEventTable *pEvents = *ppEvents;
    if (pEvents == nullptr) return 0;
    DWORD firstError = 0;
    DWORD noEvents = EventTableCount(pEvents);
    for (DWORD i = 0; i < noEvents; i++) {
        if (CloseHandle(pEvents->pEventHandle[i])) continue;
        DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
        if (firstError == 0) firstError = error;
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !CloseHandle( pThreadData->pEvents->pEventHandle[i] ), "
                   "errorCode == %lu\n",
                   error);
    }
    // Cleared first, so that nobody mistakes the freed block for a table.
    *ppEvents = nullptr;
    if (!HeapFree(GetProcessHeap(), 0, pEvents)) {
        DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
        if (firstError == 0) firstError = error;
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "ribex::CanReadThread, !HeapFree( ..., pThreadData->pEvents ), errorCode == %lu\n",
            error);
    }
    return firstError;
}
