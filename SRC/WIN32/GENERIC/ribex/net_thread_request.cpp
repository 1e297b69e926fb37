// Both ends of the small protocol between the main thread and a net's
// receive thread that are not the thread's loop itself: posting a
// request and waiting for its confirm, and closing a removed client's
// event handle only when no wake pass can still set it.
#include <windows.h>

#include "net_record.h"

namespace {

// A thread that ended with 0 still did not confirm this request.
DWORD ExitCodeAsError(HANDLE hThread) {
    DWORD exitCode = 0;
    if (!GetExitCodeThread(hThread, &exitCode)) return GetLastError();
    return exitCode != 0 ? exitCode : ERROR_OPERATION_ABORTED;
}

}  // namespace

BOOL RequestNetThread(RibexNet *pRibexNet, DWORD req, DWORD reqIndex, TraceModule *module,
                      const char *callerName) {
    if (!pRibexNet || req == CAN_THREAD_EXIT || req > CAN_THREAD_DISABLE_REMREPLY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RibexThreadParam *p = &pRibexNet->threadParam;
    p->req = req;
    p->reqIndex = reqIndex;
    if (!ResetEvent(p->hEventCfm)) {
        DWORD error = GetLastError();
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::%s, !ResetEvent( pRibexNet->threadParam.hEventCfm ), errorCode == %lu\n",
                   callerName, error);
        SetLastError(error);
        return FALSE;
    }
    if (!SetEvent(p->hEventReq)) {
        DWORD error = GetLastError();
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::%s, !SetEvent( ... )\n", callerName);
        SetLastError(error);
        return FALSE;
    }
    // The thread can end on its own; then no confirm will ever come, and
    // its exit code tells why.
    HANDLE waitHandles[2] = {p->hEventCfm, pRibexNet->hThread};
    DWORD count = pRibexNet->hThread ? 2 : 1;
    DWORD result = WaitForMultipleObjects(count, waitHandles, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0) {
        DWORD error;
        if (result == WAIT_OBJECT_0 + 1)
            error = ExitCodeAsError(pRibexNet->hThread);
        else if (result == WAIT_TIMEOUT)
            error = ERROR_TIMEOUT;
        else
            error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::%s, (result = WaitForSingleObject( ... )) != WAIT_OBJECT_0\n",
                   callerName);
        SetLastError(error);
        return FALSE;
    }
    DWORD error = p->errorCodeCfm;
    if (error != 0) {
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::%s, pRibexNet->threadParam.errorCodeCfm == %lu\n",
                   callerName, error);
        SetLastError(error);
        return FALSE;
    }
    SetLastError(0);
    return TRUE;
}

BOOL CloseRemovedClientEvent(RibexNet *pRibexNet, HANDLE hEvent) {
    if (!pRibexNet || !hEvent) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RibexThreadParam *p = &pRibexNet->threadParam;
    // The entry is gone from the table. A pass that begins after this
    // fence reads the table as it is now; only one already running may
    // hold the handle, and it ends within a few SetEvent calls.
    MemoryBarrier();
    LONG seq = p->wakePassSeq;
    while ((seq & 1) != 0 && p->wakePassSeq == seq) {
        if (!pRibexNet->hThread) {
            Sleep(1);
        } else if (WaitForSingleObject(pRibexNet->hThread, 1) == WAIT_OBJECT_0) {
            break;
        }
    }
    return CloseHandle(hEvent);
}

void BeginWakePass(RibexThreadParam *pThreadData) {
    InterlockedIncrement(&pThreadData->wakePassSeq);
}

void EndWakePass(RibexThreadParam *pThreadData) {
    InterlockedIncrement(&pThreadData->wakePassSeq);
}
