// What the server does for each client request, and the confirm it sends
// back on the client's reply queue.
#include <stddef.h>
#include <wchar.h>

#include "client_liveness.h"
#include "msgq.h"
#include "msgq_ref_table.h"
#include "net_registry.h"
#include "rem_frame_requests.h"
#include "ribex_names.h"
#include "ribex_requests.h"
#include "ribex_trace_modules.h"
#include "version_check.h"

namespace {

TraceModule *MainTrace() { return g_ribexTrace[TM_MAIN]; }

const DWORD kClientMajorVersions[] = {RIBEX_CLIENT_MAJOR_VERSION};

// A request shorter than its layout would be read from stale bytes of the
// receive buffer: it is dropped.
BOOL HasLength(const msgReq *pMsgReq, DWORD receivedLength, DWORD layoutLength) {
    if (receivedLength >= layoutLength) return TRUE;
    TracePrint(
        MainTrace(), TRACE_LEVEL_EVENT,
        "ribex::main, receivedLength < sizeof( layout ), msgReq.id == %#x, receivedLength == %lu\n",
        pMsgReq->id, receivedLength);
    return FALSE;
}

// The reply queue behind a client's hMsgQRef. Values that were never issued
// or are already closed are refused without touching any queue.
MsgQHandle ReplyQueueOf(DWORD hMsgQRef) {
    MsgQHandle hMsgQ = LookupMsgQRef(hMsgQRef);
    if (hMsgQ == NULL)
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, (hMsgQ = LookupMsgQRef( %#x )) == NULL, errorCode == %lu\n",
                   hMsgQRef, GetLastError());
    return hMsgQ;
}

// The reply queue for a request of client (high, low) through hMsgQRef, or
// null when the request is to be dropped: a reference never issued, or one
// that is another registered client's. For a unique id the server does not
// know the reference is taken as given, as the answer (6) goes nowhere else.
MsgQHandle ReplyQueueFor(const msgReq *pMsgReq, DWORD hMsgQRef, DWORD high, DWORD low) {
    MsgQHandle hMsgQ = ReplyQueueOf(hMsgQRef);
    if (hMsgQ == NULL || MsgQRefIsOf(hMsgQRef, high, low)) return hMsgQ;
    // Nets whose thread ended have freed their client tables: gone first.
    ReapEndedRibexNets(MainTrace(), "main");
    DWORD index = 0;
    if (GetRibexUniqueId(high, low, &index) == NULL) return hMsgQ;
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, !MsgQRefIsOf( %#x, %#x:%#x ), msgReq.id == %#x\n", hMsgQRef, high,
               low, pMsgReq->id);
    return NULL;
}

void SendConfirm(MsgQHandle hMsgQ, const void *cfm, DWORD length) {
    if (!MsgQSend(hMsgQ, cfm, length, 0))
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, !MsgQSend( ... ), errorCode == %lu\n", GetLastError());
}

// The status confirm of a request whose work returned ok: 0, or the
// work's error after its failure line (which shows it).
void SendStatusConfirm(MsgQHandle hMsgQ, BOOL ok, const char *failureLine) {
    canStatusCfmMsg cfm = {RIBEX_CFM_STATUS, ok ? 0 : GetLastError()};
    if (!ok) TracePrint(MainTrace(), TRACE_LEVEL_EVENT, failureLine, cfm.errorCode);
    SendConfirm(hMsgQ, &cfm, RIBEX_STATUS_CFM_SIZE);
}

}  // namespace

void HandleIfOpenReq(const msgReq *pMsgReq, DWORD receivedLength) {
    const canIfOpenReqMsg *pReq = &pMsgReq->canIfOpenReq;
    if (!HasLength(pMsgReq, receivedLength, offsetof(canIfOpenReqMsg, netName) + sizeof(wchar_t)))
        return;
    // The name must end inside what was received (and inside the buffer).
    DWORD received =
        receivedLength < RIBEX_MAX_REQUEST_SIZE ? receivedLength : RIBEX_MAX_REQUEST_SIZE;
    DWORD nameUnits = (received - (DWORD)offsetof(canIfOpenReqMsg, netName)) / sizeof(wchar_t);
    if (wmemchr(pReq->netName, L'\0', nameUnits) == NULL) {
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, canIfOpenReq.netName has no terminator, receivedLength == %lu\n",
                   receivedLength);
        return;
    }
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %lu\n\t%s == %lu\n\t%s "
               "== %#x:%#x\n\t%s == %hs\n",
               "id", pReq->id, "canIfOpenReq.majorVersion", pReq->majorVersion,
               "canIfOpenReq.minorVersion", pReq->minorVersion, "canIfOpenReq.uniqueId",
               pReq->uniqueId.high, pReq->uniqueId.low, "canIfOpenReq.netName", pReq->netName);

    canIfOpenCfmMsg cfm = {RIBEX_CFM_IF_OPEN, 0, 0};
    MsgQHandle hMsgQ = OpenMsgQ(pReq->netName, pReq->uniqueId.high, pReq->uniqueId.low);
    if (hMsgQ == NULL) {
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, msgCfm.hMsgQRef = OpenMsgQ( ... )) == %x, errorCode == %lu\n", 0u,
                   GetLastError());
        return;
    }
    cfm.hMsgQRef = IssueMsgQRef(hMsgQ, pReq->uniqueId.high, pReq->uniqueId.low);
    if (cfm.hMsgQRef == 0) {
        // Without a reference the client could never close this queue:
        // tell it and let the queue go at once.
        cfm.errorCode = GetLastError();
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, (msgCfm.hMsgQRef = IssueMsgQRef( ... )) == 0, errorCode == %lu\n",
                   cfm.errorCode);
        SendConfirm(hMsgQ, &cfm, RIBEX_IF_OPEN_CFM_SIZE);
        if (!MsgQClose(hMsgQ))
            TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                       "ribex::main, !MsgQClose( ... ), errorCode == %lu\n", GetLastError());
        return;
    }
    // From here the server holds the client's reply queue: should the
    // client go without a close, liveness gives it back.
    if (!WatchReplyQueue(cfm.hMsgQRef, pReq->netName, pReq->uniqueId.high, pReq->uniqueId.low))
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, !WatchReplyQueue( ... ), errorCode == %lu\n", GetLastError());

    if (!CheckVersion(NULL, L"bus.dll or busdbg.dll", 1, kClientMajorVersions, pReq->majorVersion,
                      pReq->minorVersion)) {
        cfm.errorCode = GetLastError();
    } else if (!RegisterRibexClient(pReq->netName, pReq->uniqueId.high, pReq->uniqueId.low)) {
        cfm.errorCode = GetLastError();
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, !RegisterRibexClient( ... ), errorCode == %lu\n", cfm.errorCode);
    }

    if (!MsgQSend(hMsgQ, &cfm, RIBEX_IF_OPEN_CFM_SIZE, 0)) {
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, !MsgQSend( ... ), errorCode == %lu\n", GetLastError());
        // The client never learns of this registration: take it back, and
        // only this one (the same id may be registered on another net).
        if (cfm.errorCode == 0)
            UndoRegisterRibexClient(pReq->netName, pReq->uniqueId.high, pReq->uniqueId.low);
    }
    // The reply queue stays open whatever happened; only a close request
    // closes it.
}

void HandleIfCloseReq(const msgReq *pMsgReq, DWORD receivedLength) {
    const canIfCloseReqMsg *pReq = &pMsgReq->canIfCloseReq;
    if (!HasLength(pMsgReq, receivedLength, sizeof(canIfCloseReqMsg))) return;
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == %#x:%#x\n",
               "id", pReq->id, "canIfCloseReq.hMsgQRef", pReq->hMsgQRef, "canIfCloseReq.uniqueId",
               pReq->uniqueId.high, pReq->uniqueId.low);
    MsgQHandle hMsgQ =
        ReplyQueueFor(pMsgReq, pReq->hMsgQRef, pReq->uniqueId.high, pReq->uniqueId.low);
    if (hMsgQ == NULL) return;

    SendStatusConfirm(hMsgQ, UnRegisterRibexClient(pReq->uniqueId.high, pReq->uniqueId.low),
                      "ribex::main, !UnRegisterRibexClient( ... ), errorCode == %lu\n");
    RetireMsgQRef(pReq->hMsgQRef);
    ForgetReplyQueue(pReq->hMsgQRef);
    if (!MsgQClose(hMsgQ))
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, !MsgQClose( ... ), errorCode == %lu\n", GetLastError());
}

void HandleDisableAllRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    const canDisableAllRemFrameReqMsg *pReq = &pMsgReq->canDisableAllRemFrameReq;
    if (!HasLength(pMsgReq, receivedLength, sizeof(canDisableAllRemFrameReqMsg))) return;
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n", "id", pReq->id,
               "canDisableAllRemFrameReq.uniqueIdHigh", pReq->uniqueIdHigh);
    if (!DisableAllRemFrames(pReq->uniqueIdHigh))
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
                   "ribex::main, !DisableAllRemFrames( ... ), errorCode == %lu\n", GetLastError());
}

void HandleEnumRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    const canEnumRemFrameReqMsg *pReq = &pMsgReq->canEnumRemFrameReq;
    if (!HasLength(pMsgReq, receivedLength, sizeof(canEnumRemFrameReqMsg))) return;
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == "
               "%#x:%#x\n\t%s == %#x\n",
               "id", pReq->id, "canEnumRemFrameReq.hMsgQRef", pReq->hMsgQRef,
               "canEnumRemFrameReq.uniqueId", pReq->uniqueId.high, pReq->uniqueId.low,
               "canEnumRemFrameReq.index", pReq->index);
    MsgQHandle hMsgQ =
        ReplyQueueFor(pMsgReq, pReq->hMsgQRef, pReq->uniqueId.high, pReq->uniqueId.low);
    if (hMsgQ == NULL) return;

    canEnumRemFrameCfmMsg cfm = {RIBEX_CFM_ENUM_REM_FRAME, 0, 0};
    DWORD canId = 0;
    cfm.errorCode = EnumRemFrame(pReq->uniqueId.high, pReq->uniqueId.low, pReq->index, &canId);
    cfm.canId = canId;
    if (cfm.errorCode != 0)
        TracePrint(MainTrace(), TRACE_LEVEL_EVENT, "ribex::main, EnumRemFrame( ... ) == %lu\n",
                   cfm.errorCode);
    SendConfirm(hMsgQ, &cfm, RIBEX_ENUM_REM_FRAME_CFM_SIZE);
}

void HandleEnableRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    const canEnableRemFrameReqMsg *pReq = &pMsgReq->canEnableRemFrameReq;
    if (!HasLength(pMsgReq, receivedLength, sizeof(canEnableRemFrameReqMsg))) return;
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == "
               "%#x:%#x\n\t%s == %#x\n\t%s == %lu\n",
               "id", pReq->id, "canEnableRemFrameReq.hMsgQRef", pReq->hMsgQRef,
               "canEnableRemFrameReq.uniqueId", pReq->uniqueId.high, pReq->uniqueId.low,
               "canEnableRemFrameReq.can.id", pReq->can.id, "canEnableRemFrameReq.length",
               pReq->length);
    MsgQHandle hMsgQ =
        ReplyQueueFor(pMsgReq, pReq->hMsgQRef, pReq->uniqueId.high, pReq->uniqueId.low);
    if (hMsgQ == NULL) return;

    SendStatusConfirm(hMsgQ, EnableRemFrame(pReq->uniqueId.high, pReq->uniqueId.low, pReq->can.id),
                      "ribex::main, !EnableRemFrame( ... ), errorCode == %lu\n");
}

void HandleDisableRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    const canDisableRemFrameReqMsg *pReq = &pMsgReq->canDisableRemFrameReq;
    if (!HasLength(pMsgReq, receivedLength, sizeof(canDisableRemFrameReqMsg))) return;
    TracePrint(MainTrace(), TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == "
               "%#x:%#x\n\t%s == %#x\n",
               "id", pReq->id, "canDisableRemFrameReq.hMsgQRef", pReq->hMsgQRef,
               "canDisableRemFrameReq.uniqueId", pReq->uniqueId.high, pReq->uniqueId.low,
               "canDisableRemFrameReq.canId", pReq->canId);
    MsgQHandle hMsgQ =
        ReplyQueueFor(pMsgReq, pReq->hMsgQRef, pReq->uniqueId.high, pReq->uniqueId.low);
    if (hMsgQ == NULL) return;

    SendStatusConfirm(hMsgQ, DisableRemFrame(pReq->uniqueId.high, pReq->uniqueId.low, pReq->canId),
                      "ribex::main, !DisableRemFrame( ... ), errorCode == %lu\n");
}
