#include "table_growth.h"

#include <string.h>

#include "ribex_trace_modules.h"

size_t RibexEventTableSize(DWORD maxNoEvents) {
    return sizeof(RibexEventTable) +
           static_cast<size_t>(maxNoEvents) * (sizeof(RxUniqueId) + sizeof(HANDLE));
}

BOOL ReAllocEventSpace(RibexEventTable *volatile *ppEvents) {
    TraceModule *trace = g_ribexTrace[TM_REALLOC_EVENT_SPACE];
    TraceEntry(trace, "\nribex::ReAllocEventSpace Entry\n");
    RibexEventTable *pOld = *ppEvents;
    DWORD oldMax = pOld ? pOld->maxNoEvents : 0;
    DWORD noEvents = pOld ? pOld->noEvents : 0;
    if (noEvents > oldMax) noEvents = oldMax;
    DWORD error = 0;
    RibexEventTable *pNew = nullptr;
    if (oldMax > MAXDWORD - RIBEX_EVENT_TABLE_STEP) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        DWORD newMax = oldMax + RIBEX_EVENT_TABLE_STEP;
        size_t size = RibexEventTableSize(newMax);
        TracePrint(trace, TRACE_LEVEL_DETAIL, "\tribex::ReAllocEventSpace, allocated space == %lu\n",
                   static_cast<DWORD>(size));
        // Zeroed: the dump below shows the first id even of an empty table.
        pNew = static_cast<RibexEventTable *>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
        if (!pNew) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            // The handles follow the ids; 8-byte ids keep them aligned.
            pNew->maxNoEvents = newMax;
            pNew->pUniqueId = reinterpret_cast<RxUniqueId *>(pNew + 1);
            pNew->pEventHandle = reinterpret_cast<HANDLE *>(pNew->pUniqueId + newMax);
            if (noEvents) {
                memcpy(pNew->pUniqueId, pOld->pUniqueId, noEvents * sizeof(RxUniqueId));
                memcpy(pNew->pEventHandle, pOld->pEventHandle, noEvents * sizeof(HANDLE));
            }
            pNew->noEvents = noEvents;
            TracePrint(trace, TRACE_LEVEL_DETAIL,
                       "\tribex::ReAllocEventSpace, pEvents->\n\t\t%s == %lu\n\t\t%s == %lu\n\t\t%s "
                       "== %#x:%#x\n\t\t%s == %#x\n",
                       "maxNoEvents", pNew->maxNoEvents, "noEvents", pNew->noEvents, "pUniqueId",
                       pNew->pUniqueId[0].high, pNew->pUniqueId[0].low, "pEventHandle",
                       static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pNew->pEventHandle)));
            *ppEvents = pNew;
            if (pOld && !HeapFree(GetProcessHeap(), 0, pOld)) {
                error = GetLastError();
                if (error == 0) error = ERROR_INVALID_HANDLE;
            }
        }
    }
    TraceExit(trace, "ribex::ReAllocEventSpace Exit (%s), errorCode == %lu\n\n",
              error ? "FALSE" : "TRUE", error);
    SetLastError(error);
    return error == 0;
}

BOOL ReAllocRemReplySpace(RemReplyTable *volatile *ppRemote) {
    TraceModule *trace = g_ribexTrace[TM_REALLOC_REM_REPLY_SPACE];
    TraceEntry(trace, "\nribex::ReAllocRemReplySpace Entry\n");
    RemReplyTable *pOld = *ppRemote;
    DWORD oldMax = pOld ? pOld->maxNoReplies : 0;
    DWORD noReplies = pOld ? pOld->noReplies : 0;
    if (noReplies > oldMax) noReplies = oldMax;
    DWORD error = 0;
    if (oldMax > MAXDWORD - RIBEX_REM_REPLY_TABLE_STEP) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        DWORD newMax = oldMax + RIBEX_REM_REPLY_TABLE_STEP;
        size_t size = REM_REPLY_TABLE_SIZE(newMax);
        TracePrint(trace, TRACE_LEVEL_DETAIL,
                   "\tribex::ReAllocRemReplySpace, allocated space == %lu\n",
                   static_cast<DWORD>(size));
        auto *pNew = static_cast<RemReplyTable *>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
        if (!pNew) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
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
            *ppRemote = pNew;
            if (pOld && !HeapFree(GetProcessHeap(), 0, pOld)) {
                error = GetLastError();
                if (error == 0) error = ERROR_INVALID_HANDLE;
            }
        }
    }
    TraceExit(trace, "ribex::ReAllocRemReplySpace Exit (%s), errorCode == %lu\n\n",
              error ? "FALSE" : "TRUE", error);
    SetLastError(error);
    return error == 0;
}
