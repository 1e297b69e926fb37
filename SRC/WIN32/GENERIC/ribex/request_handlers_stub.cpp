// Request handlers for a server built without the net registry: every
// request is traced on arrival as the full server traces it and otherwise
// left alone (no net, no confirm). The shutdown then has no net to free.
#include <wchar.h>

#include "ribex_requests.h"
#include "ribex_trace_modules.h"

void HandleIfOpenReq(const msgReq *pMsgReq, DWORD receivedLength) {
    (void)receivedLength;
    const canIfOpenReqMsg *pReq = &pMsgReq->canIfOpenReq;
    // The name may lack its terminator inside the request.
    wchar_t netName[RIBEX_NET_NAME_MAX];
    wmemcpy(netName, pReq->netName, RIBEX_NET_NAME_MAX);
    netName[RIBEX_NET_NAME_MAX - 1] = L'\0';
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %lu\n\t%s == %lu\n\t%s == %#x:%#x\n\t%s == %hs\n",
               "id", pReq->id, "canIfOpenReq.majorVersion", pReq->majorVersion,
               "canIfOpenReq.minorVersion", pReq->minorVersion, "canIfOpenReq.uniqueId",
               pReq->uniqueId.high, pReq->uniqueId.low, "canIfOpenReq.netName", netName);
}

void HandleIfCloseReq(const msgReq *pMsgReq, DWORD receivedLength) {
    (void)receivedLength;
    const canIfCloseReqMsg *pReq = &pMsgReq->canIfCloseReq;
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == %#x:%#x\n",
               "id", pReq->id, "canIfCloseReq.hMsgQRef", pReq->hMsgQRef, "canIfCloseReq.uniqueId",
               pReq->uniqueId.high, pReq->uniqueId.low);
}

void HandleDisableAllRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    (void)receivedLength;
    const canDisableAllRemFrameReqMsg *pReq = &pMsgReq->canDisableAllRemFrameReq;
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n", "id", pReq->id,
               "canDisableAllRemFrameReq.uniqueIdHigh", pReq->uniqueIdHigh);
}

void HandleEnumRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    (void)receivedLength;
    const canEnumRemFrameReqMsg *pReq = &pMsgReq->canEnumRemFrameReq;
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == %#x:%#x\n\t%s == %#x\n",
               "id", pReq->id, "canEnumRemFrameReq.hMsgQRef", pReq->hMsgQRef,
               "canEnumRemFrameReq.uniqueId", pReq->uniqueId.high, pReq->uniqueId.low,
               "canEnumRemFrameReq.index", pReq->index);
}

void HandleEnableRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    (void)receivedLength;
    const canEnableRemFrameReqMsg *pReq = &pMsgReq->canEnableRemFrameReq;
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == %#x:%#x\n\t%s == %#x\n\t%s == %lu\n",
               "id", pReq->id, "canEnableRemFrameReq.hMsgQRef", pReq->hMsgQRef,
               "canEnableRemFrameReq.uniqueId", pReq->uniqueId.high, pReq->uniqueId.low,
               "canEnableRemFrameReq.can.id", pReq->can.id, "canEnableRemFrameReq.length",
               pReq->length);
}

void HandleDisableRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength) {
    (void)receivedLength;
    const canDisableRemFrameReqMsg *pReq = &pMsgReq->canDisableRemFrameReq;
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::main, MESSAGE RECEVIED msgReq.\n\t%s == %#x\n\t%s == %#x\n\t%s == %#x:%#x\n\t%s == %#x\n",
               "id", pReq->id, "canDisableRemFrameReq.hMsgQRef", pReq->hMsgQRef,
               "canDisableRemFrameReq.uniqueId", pReq->uniqueId.high, pReq->uniqueId.low,
               "canDisableRemFrameReq.canId", pReq->canId);
}

// Nothing is ever registered here, so there is nothing to tear down.
BOOL UnRegisterAllRibexClients(void) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
