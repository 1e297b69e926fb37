// Enable, disable, disable-all and enumerate of remote-frame replies.
#include "rem_frame_requests.h"

#include "last_error.h"
#include "net_registry.h"
#include "rem_reply_table.h"
#include "ribex_trace_modules.h"

namespace {

const DWORD kNotFound = REM_FRAME_INDEX_NONE;

// A handshake failed. Growth failures end the net's thread, and any failure
// may come from a thread that died: such a net is removed at once. Returns
// TRUE when the net is gone.
BOOL DropNetIfThreadEnded(RibexNet *pRibexNet, DWORD req, TraceModule *module,
                          const char *callerName) {
    DWORD waitMs = req == CAN_THREAD_REALLOC_REMREPLIES ? 1000 : 0;
    return ReapIfThreadEnded(pRibexNet, waitMs, module, callerName);
}

// The net of client (high, low); null with ERROR_INVALID_HANDLE, its line
// written, for an unknown client. The identifier is kept exactly as given:
// one with bit 31 set is an entry like any other, which no remote frame
// ever matches (the lookups clear bit 31 of the frame's id first).
RibexNet *NetForRemFrame(DWORD high, DWORD low, TraceModule *module, const char *callerName,
                         DWORD *pErr) {
    DWORD clientIndex = 0;
    RibexNet *pRibexNet = FindClientNet(high, low, &clientIndex, module, callerName);
    *pErr = pRibexNet == NULL ? ERROR_INVALID_HANDLE : 0;
    return pRibexNet;
}

// Fills entry index from the last one and drops the last; the receive
// thread reads without a lock, so the entry is complete before the count
// shrinks.
void RemoveReplyAt(RemReplyTable *pRemote, DWORD index) {
    DWORD last = pRemote->noReplies - 1;
    pRemote->reply[index] = pRemote->reply[last];
    MemoryBarrier();
    pRemote->noReplies = last;
}

// Adds canId for the process part high, growing the table when full, and
// passes it to the driver; an entry the driver refused is taken back.
DWORD AddRemReply(RibexNet *pRibexNet, DWORD high, DWORD canId, TraceModule *module) {
    RibexThreadParam *tp = &pRibexNet->threadParam;
    if (GetRemFrameIndex(tp->pRemote, canId) != kNotFound) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::EnableRemFrame, (index = GetRemFrameIndex( ... )) != -1\n");
        return ERROR_ALREADY_EXISTS;
    }
    if (tp->pRemote == NULL || tp->pRemote->noReplies == tp->pRemote->maxNoReplies) {
        if (!RequestNetThread(pRibexNet, CAN_THREAD_REALLOC_REMREPLIES, 0, module,
                              "EnableRemFrame")) {
            DWORD err = GetLastError();
            DropNetIfThreadEnded(pRibexNet, CAN_THREAD_REALLOC_REMREPLIES, module,
                                 "EnableRemFrame");
            return err;
        }
    }
    RemReplyTable *pRemote = tp->pRemote;
    DWORD slot = pRemote->noReplies;
    pRemote->reply[slot].uniqueProcId = high;
    pRemote->reply[slot].can.id = canId;
    // Complete before counted: the receive thread reads without a lock.
    MemoryBarrier();
    pRemote->noReplies = slot + 1;
    if (!RequestNetThread(pRibexNet, CAN_THREAD_ENABLE_REMREPLY, slot, module, "EnableRemFrame")) {
        DWORD err = GetLastError();
        // Taken back before the net may go with its thread.
        pRemote->noReplies = slot;
        DropNetIfThreadEnded(pRibexNet, CAN_THREAD_ENABLE_REMREPLY, module, "EnableRemFrame");
        return err;
    }
    return 0;
}

// Takes canId back from the driver and out of the table, for its owner
// only; the entry stays while the driver may still answer for it.
DWORD RemoveRemReply(RibexNet *pRibexNet, DWORD high, DWORD canId, TraceModule *module) {
    RemReplyTable *pRemote = pRibexNet->threadParam.pRemote;
    DWORD index = GetRemFrameIndex(pRemote, canId);
    if (index == kNotFound) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::DisableRemFrame, (index = GetRemFrameIndex( ... )) == -1\n");
        return ERROR_NOT_FOUND;
    }
    if (pRemote->reply[index].uniqueProcId != high) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::DisableRemFrame, uniqueId.high != "
                   "pRibexNet->threadParam.pRemote->reply[index].uniqueProcId\n");
        return ERROR_ACCESS_DENIED;
    }
    if (!RequestNetThread(pRibexNet, CAN_THREAD_DISABLE_REMREPLY, index, module,
                          "DisableRemFrame")) {
        DWORD err = GetLastError();
        DropNetIfThreadEnded(pRibexNet, CAN_THREAD_DISABLE_REMREPLY, module, "DisableRemFrame");
        return err;
    }
    RemoveReplyAt(pRemote, index);
    return 0;
}

}  // namespace

BOOL EnableRemFrame(DWORD high, DWORD low, DWORD canId) {
    TraceModule *module = g_ribexTrace[TM_ENABLE_REM_FRAME];
    TraceEntry(module, "\nribex::EnableRemFrame Entry\n");
    DWORD err = 0;
    RibexNet *pRibexNet = NetForRemFrame(high, low, module, "EnableRemFrame", &err);
    if (pRibexNet != NULL) err = AddRemReply(pRibexNet, high, canId, module);
    return ExitWith(module, "ribex::EnableRemFrame Exit (%s), errorCode == %lu\n\n", err);
}

BOOL DisableRemFrame(DWORD high, DWORD low, DWORD canId) {
    TraceModule *module = g_ribexTrace[TM_DISABLE_REM_FRAME];
    TraceEntry(module, "\nribex::DisableRemFrame Entry\n");
    DWORD err = 0;
    RibexNet *pRibexNet = NetForRemFrame(high, low, module, "DisableRemFrame", &err);
    if (pRibexNet != NULL) err = RemoveRemReply(pRibexNet, high, canId, module);
    return ExitWith(module, "ribex::DisableRemFrame Exit (%s), errorCode == %lu\n\n", err);
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
        RemoveReplyAt(pRemote, i);
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
    DWORD clientIndex = 0;
    RibexNet *pRibexNet = FindClientNet(high, low, &clientIndex, module, "EnumRemFrame");
    if (pRibexNet == NULL) {
        result = ERROR_INVALID_HANDLE;
    } else {
        const RemReplyTable *pRemote = pRibexNet->threadParam.pRemote;
        if (pRemote != NULL && index < pRemote->noReplies) {
            *pCanId = pRemote->reply[index].can.id;
        } else {
            result = ERROR_NO_MORE_ITEMS;
            TracePrint(
                module, TRACE_LEVEL_EVENT,
                "\tribex::EnumRemFrame, index >= pRibexNet->threadParam.pRemote->noReplies\n");
        }
    }
    TraceExit(module, "ribex::EnumRemFrame Exit (%lu)\n\n", result);
    return result;
}
