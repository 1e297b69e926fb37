#include "table_growth.h"

#include <string.h>

#include "event_table.h"
#include "last_error.h"
#include "ribex_trace_modules.h"

namespace {

// Both tables grow alike: a zeroed block with room for step more entries,
// filled by fill(pNew, newMax) with the old entries, put in place, and only
// then the old block freed. Returns the error code: ERROR_NOT_ENOUGH_MEMORY
// leaves the old table; a failure to free the old block is reported after
// the new one is in place.
template <typename Table, typename Fill>
DWORD Grow(Table *volatile *ppTable, DWORD oldMax, DWORD step, size_t (*sizeFor)(DWORD),
           TraceModule *trace, const char *spaceLine, Fill fill) {
    if (oldMax > MAXDWORD - step) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD newMax = oldMax + step;
    size_t size = sizeFor(newMax);
    TracePrint(trace, TRACE_LEVEL_DETAIL, spaceLine, static_cast<DWORD>(size));
    auto *pNew = static_cast<Table *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!pNew) return ERROR_NOT_ENOUGH_MEMORY;
    Table *pOld = *ppTable;
    fill(pNew, newMax);
    *ppTable = pNew;
    if (pOld && !HeapFree(GetProcessHeap(), 0, pOld)) return LastErrorOr(ERROR_INVALID_HANDLE);
    return 0;
}

size_t RemReplyTableSize(DWORD maxNoReplies) { return REM_REPLY_TABLE_SIZE(maxNoReplies); }

}  // namespace

size_t RibexEventTableSize(DWORD maxNoEvents) {
    return sizeof(RibexEventTable) +
           static_cast<size_t>(maxNoEvents) * (sizeof(RxUniqueId) + sizeof(HANDLE));
}

BOOL ReAllocEventSpace(RibexEventTable *volatile *ppEvents) {
    TraceModule *trace = g_ribexTrace[TM_REALLOC_EVENT_SPACE];
    TraceEntry(trace, "\nribex::ReAllocEventSpace Entry\n");
    const RibexEventTable *pOld = *ppEvents;
    DWORD noEvents = EventTableCount(pOld);
    DWORD error =
        Grow(ppEvents, pOld ? pOld->maxNoEvents : 0, RIBEX_EVENT_TABLE_STEP, RibexEventTableSize,
             trace, "\tribex::ReAllocEventSpace, allocated space == %lu\n",
             [&](RibexEventTable *pNew, DWORD newMax) {
                 // The handles follow the ids; 8-byte ids keep them aligned.
                 pNew->maxNoEvents = newMax;
                 pNew->pUniqueId = reinterpret_cast<RxUniqueId *>(pNew + 1);
                 pNew->pEventHandle = reinterpret_cast<HANDLE *>(pNew->pUniqueId + newMax);
                 if (noEvents) {
                     memcpy(pNew->pUniqueId, pOld->pUniqueId, noEvents * sizeof(RxUniqueId));
                     memcpy(pNew->pEventHandle, pOld->pEventHandle, noEvents * sizeof(HANDLE));
                 }
                 pNew->noEvents = noEvents;
                 // The block is zeroed: this shows the first id even of an empty table.
                 TracePrint(
                     trace, TRACE_LEVEL_DETAIL,
                     "\tribex::ReAllocEventSpace, pEvents->\n\t\t%s == %lu\n\t\t%s == %lu\n\t\t%s "
                     "== %#x:%#x\n\t\t%s == %#x\n",
                     "maxNoEvents", pNew->maxNoEvents, "noEvents", pNew->noEvents, "pUniqueId",
                     pNew->pUniqueId[0].high, pNew->pUniqueId[0].low, "pEventHandle",
                     static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pNew->pEventHandle)));
             });
    return ExitWith(trace, "ribex::ReAllocEventSpace Exit (%s), errorCode == %lu\n\n", error);
}

BOOL ReAllocRemReplySpace(RemReplyTable *volatile *ppRemote) {
    TraceModule *trace = g_ribexTrace[TM_REALLOC_REM_REPLY_SPACE];
    TraceEntry(trace, "\nribex::ReAllocRemReplySpace Entry\n");
    const RemReplyTable *pOld = *ppRemote;
    DWORD oldMax = pOld ? pOld->maxNoReplies : 0;
    DWORD noReplies = pOld && pOld->noReplies < oldMax ? pOld->noReplies : oldMax;
    DWORD error = Grow(
        ppRemote, oldMax, RIBEX_REM_REPLY_TABLE_STEP, RemReplyTableSize, trace,
        "\tribex::ReAllocRemReplySpace, allocated space == %lu\n",
        [&](RemReplyTable *pNew, DWORD newMax) {
            pNew->maxNoReplies = newMax;
            if (noReplies) memcpy(pNew->reply, pOld->reply, noReplies * sizeof(RemReply));
            pNew->noReplies = noReplies;
            TracePrint(trace, TRACE_LEVEL_DETAIL,
                       "\tribex::ReAllocRemReplySpace, pRemote->\n\t\t%s == %lu\n\t\t%s == %lu\n",
                       "maxNoReplies", pNew->maxNoReplies, "noReplies", pNew->noReplies);
            for (DWORD i = 0; i < noReplies; i++)
                TracePrint(trace, TRACE_LEVEL_DETAIL,
                           "\tribex::ReAllocRemReplySpace, pRemote->reply[%lu].\n\t\t%s == %#x %s "
                           "== %#x\n",
                           i, "uniqueProcId", pNew->reply[i].uniqueProcId, "can.id",
                           pNew->reply[i].can.id & ~RX_REMOTE_FRAME_FLAG);
        });
    return ExitWith(trace, "ribex::ReAllocRemReplySpace Exit (%s), errorCode == %lu\n\n", error);
}
