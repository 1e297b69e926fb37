// Both ends of the small protocol between the main thread and a net's
// receive thread that are not the thread's loop itself: posting a
// request and waiting for its confirm, and handing removed clients' event
// handles to the thread for closing.
#include <windows.h>

#include "net_record.h"

namespace {

// Holds one retired handle on the thread block's list.
typedef struct RetiredEvent {
    SLIST_ENTRY entry;  // first: the list links the entries themselves
    HANDLE hEvent;
} RetiredEvent;

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

BOOL RetireClientEvent(RibexThreadParam *pThreadData, HANDLE hEvent) {
    if (!pThreadData || !hEvent) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto *pRetired = static_cast<RetiredEvent *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RetiredEvent)));
    if (!pRetired) {
        // Closing here could hit the thread's wake pass: better one leaked
        // handle than a signal to a reused one.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    pRetired->hEvent = hEvent;
    InterlockedPushEntrySList(&pThreadData->retiredEvents, &pRetired->entry);
    SetLastError(0);
    return TRUE;
}

DWORD CloseRetiredClientEvents(RibexThreadParam *pThreadData) {
    DWORD firstError = 0;
    SLIST_ENTRY *pEntry = InterlockedFlushSList(&pThreadData->retiredEvents);
    while (pEntry) {
        auto *pRetired = reinterpret_cast<RetiredEvent *>(pEntry);
        pEntry = pEntry->Next;
        if (!CloseHandle(pRetired->hEvent) && firstError == 0)
            firstError = GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE;
        HeapFree(GetProcessHeap(), 0, pRetired);
    }
    return firstError;
}
