// Enable, disable, disable-all and enumerate of remote-frame replies.
#include "rem_frame_requests.h"

#include "net_registry.h"
#include "rem_reply_table.h"
#include "ribex_trace_modules.h"

namespace {

const DWORD kNotFound = REM_FRAME_INDEX_NONE;

// Bit 31 marks a frame as remote; it is no part of an identifier. The driver
// refuses it too, so both keep one entry per identifier and a disable always
// removes what the driver answers for.
BOOL IsRemFrameId(DWORD canId) { return (canId & RX_REMOTE_FRAME_FLAG) == 0; }

// A handshake failed. Growth failures end the net's thread, and any failure
// may come from a thread that died: such a net is removed at once. Returns
// TRUE when the net is gone.
BOOL DropNetIfThreadEnded(RibexNet *pRibexNet, DWORD req, TraceModule *module, const char *callerName) {
    DWORD waitMs = req == CAN_THREAD_REALLOC_REMREPLIES ? 1000 : 0;
    return ReapIfThreadEnded(pRibexNet, waitMs, module, callerName);
}

}  // namespace

BOOL EnableRemFrame(DWORD high, DWORD low, DWORD canId) {
    TraceModule *module = g_ribexTrace[TM_ENABLE_REM_FRAME];
    TraceEntry(module, "\nribex::EnableRemFrame Entry\n");
    DWORD err = 0;
    ReapEndedRibexNets(module, "EnableRemFrame");
    DWORD clientIndex = 0;
    RibexNet *pRibexNet = GetRibexUniqueId(high, low, &clientIndex);
    if (pRibexNet == NULL) {
        err = ERROR_INVALID_HANDLE;
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::EnableRemFrame, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n");
    } else if (!IsRemFrameId(canId)) {
        err = ERROR_INVALID_PARAMETER;
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::EnableRemFrame, (canId & RX_REMOTE_FRAME_FLAG) != 0\n");
    } else if (GetRemFrameIndex(pRibexNet->threadParam.pRemote, canId) != kNotFound) {
        err = ERROR_ALREADY_EXISTS;
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::EnableRemFrame, (index = GetRemFrameIndex( ... )) != -1\n");
    } else {
        RibexThreadParam *tp = &pRibexNet->threadParam;
        if (tp->pRemote == NULL || tp->pRemote->noReplies == tp->pRemote->maxNoReplies) {
            if (!RequestNetThread(pRibexNet, CAN_THREAD_REALLOC_REMREPLIES, 0, module, "EnableRemFrame")) {
                err = GetLastError();
                DropNetIfThreadEnded(pRibexNet, CAN_THREAD_REALLOC_REMREPLIES, module, "EnableRemFrame");
            }
        }
        if (err == 0) {
            RemReplyTable *pRemote = tp->pRemote;
            DWORD slot = pRemote->noReplies;
            pRemote->reply[slot].uniqueProcId = high;
            pRemote->reply[slot].can.id = canId;
            // Complete before counted: the receive thread reads without a lock.
            MemoryBarrier();
            pRemote->noReplies = slot + 1;
            if (!RequestNetThread(pRibexNet, CAN_THREAD_ENABLE_REMREPLY, slot, module, "EnableRemFrame")) {
                err = GetLastError();
                pRemote->noReplies = slot;
                DropNetIfThreadEnded(pRibexNet, CAN_THREAD_ENABLE_REMREPLY, module, "EnableRemFrame");
            }
        }
    }
    TraceExit(module, "ribex::EnableRemFrame Exit (%s), errorCode == %lu\n\n", err == 0 ? "TRUE" : "FALSE", err);
    SetLastError(err);
    return err == 0;
}

BOOL DisableRemFrame(DWORD high, DWORD low, DWORD canId) {
    TraceModule *module = g_ribexTrace[TM_DISABLE_REM_FRAME];
    TraceEntry(module, "\nribex::DisableRemFrame Entry\n");
    DWORD err = 0;
    ReapEndedRibexNets(module, "DisableRemFrame");
    DWORD clientIndex = 0;
    RibexNet *pRibexNet = GetRibexUniqueId(high, low, &clientIndex);
    DWORD index = kNotFound;
    if (pRibexNet == NULL) {
        err = ERROR_INVALID_HANDLE;
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::DisableRemFrame, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n");
    } else if (!IsRemFrameId(canId)) {
        err = ERROR_INVALID_PARAMETER;
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::DisableRemFrame, (canId & RX_REMOTE_FRAME_FLAG) != 0\n");
    } else if ((index = GetRemFrameIndex(pRibexNet->threadParam.pRemote, canId)) == kNotFound) {
        err = ERROR_NOT_FOUND;
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::DisableRemFrame, (index = GetRemFrameIndex( ... )) == -1\n");
    } else if (pRibexNet->threadParam.pRemote->reply[index].uniqueProcId != high) {
        err = ERROR_ACCESS_DENIED;
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::DisableRemFrame, uniqueId.high != pRibexNet->threadParam.pRemote->reply[index].uniqueProcId\n");
    } else if (!RequestNetThread(pRibexNet, CAN_THREAD_DISABLE_REMREPLY, index, module,
                                 "DisableRemFrame")) {
        // The entry stays while the driver may still answer for it.
        err = GetLastError();
        DropNetIfThreadEnded(pRibexNet, CAN_THREAD_DISABLE_REMREPLY, module, "DisableRemFrame");
    } else {
        RemReplyTable *pRemote = pRibexNet->threadParam.pRemote;
        DWORD last = pRemote->noReplies - 1;
        pRemote->reply[index] = pRemote->reply[last];
        MemoryBarrier();
        pRemote->noReplies = last;
    }
    TraceExit(module, "ribex::DisableRemFrame Exit (%s), errorCode == %lu\n\n", err == 0 ? "TRUE" : "FALSE", err);
    SetLastError(err);
    return err == 0;
}

// An entry whose disable fails stays, and the walk goes on with the next
// one, unless the net went with its thread. Fails with the first error.
BOOL DisableRemFramesOnNet(RibexNet *pRibexNet, DWORD high, TraceModule *module,
                           const char *callerName, BOOL *pNetGone) {
    *pNetGone = FALSE;
    DWORD firstErr = 0;
    RemReplyTable *pRemote = pRibexNet->threadParam.pRemote;
    DWORD i = 0;
    while (pRemote != NULL && i < pRemote->noReplies) {
        if (pRemote->reply[i].uniqueProcId != high) {
            ++i;
            continue;
        }
        if (!RequestNetThread(pRibexNet, CAN_THREAD_DISABLE_REMREPLY, i, module, callerName)) {
            if (firstErr == 0) firstErr = GetLastError();
            *pNetGone =
                DropNetIfThreadEnded(pRibexNet, CAN_THREAD_DISABLE_REMREPLY, module, callerName);
            if (*pNetGone) break;
            ++i;
            continue;
        }
        DWORD last = pRemote->noReplies - 1;
        pRemote->reply[i] = pRemote->reply[last];
        MemoryBarrier();
        pRemote->noReplies = last;
    }
    SetLastError(firstErr);
    return firstErr == 0;
}

BOOL DisableAllRemFrames(DWORD high) {
    TraceModule *module = g_ribexTrace[TM_DISABLE_ALL_REM_FRAMES];
    TraceEntry(module, "\nribex::DisableAllRemFrames Entry\n");
    DWORD err = 0;
    ReapEndedRibexNets(module, "DisableAllRemFrames");
    RibexNet *next = NULL;
    // A failing entry does not hold up the rest: every net is visited, and
    // the first error is reported.
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = next) {
        // Taken first: a failed handshake may remove this net.
        next = GetNextRibexNet(p);
        BOOL netGone = FALSE;
        if (!DisableRemFramesOnNet(p, high, module, "DisableAllRemFrames", &netGone) && err == 0)
            err = GetLastError();
    }
    TraceExit(module, "ribex::DisableAllRemFrames Exit\n\n");
    SetLastError(err);
    return err == 0;
}

DWORD EnumRemFrame(DWORD high, DWORD low, DWORD index, DWORD *pCanId) {
    TraceModule *module = g_ribexTrace[TM_ENUM_REM_FRAME];
    TraceEntry(module, "\nribex::EnumRemFrame Entry\n");
    DWORD result = 0;
    ReapEndedRibexNets(module, "EnumRemFrame");
    DWORD clientIndex = 0;
    RibexNet *pRibexNet = GetRibexUniqueId(high, low, &clientIndex);
    if (pRibexNet == NULL) {
        result = ERROR_INVALID_HANDLE;
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::EnumRemFrame, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n");
    } else {
        const RemReplyTable *pRemote = pRibexNet->threadParam.pRemote;
        if (pRemote != NULL && index < pRemote->noReplies) {
            *pCanId = pRemote->reply[index].can.id;
        } else {
            result = ERROR_NO_MORE_ITEMS;
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::EnumRemFrame, index >= pRibexNet->threadParam.pRemote->noReplies\n");
        }
    }
    TraceExit(module, "ribex::EnumRemFrame Exit (%lu)\n\n", result);
    return result;
}
