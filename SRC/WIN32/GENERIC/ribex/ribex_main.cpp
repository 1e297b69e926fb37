// ribex.exe: the process entry and the request loop. One thread serves
// every client on the server queue named by the last argument, one request
// at a time, and the process ends by itself once no process holds that
// queue any more.
#include <windows.h>
#include <shellapi.h>

#include <string.h>

#include "client_liveness.h"
#include "msgq.h"
#include "net_registry.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "ribex_requests.h"
#include "ribex_trace_modules.h"

#define REQUEST_WAIT_MS 3000u
#define CLIENT_CHECK_PAUSE_MS 100u

struct MainState {
    DWORD errorCode;
    BOOL run;
    HANDLE hGlobalLock;
    HANDLE hMultipleInstances;
    LPWSTR *argvW;
    int argc;
    const wchar_t *pQueueName;
    MsgQHandle hMsgQ;
};

// A client that died inside its lock window leaves the lock abandoned;
// the wait then still hands it to us, and the state it guards (queue
// objects, the instance marker) is consistent on its own.
static BOOL TakeGlobalLock(HANDLE hGlobalLock) {
    return WaitForSingleObject(hGlobalLock, INFINITE) != WAIT_FAILED;
}

static void CloseInstanceMarker(MainState *pState) {
    if (pState->hMultipleInstances != NULL) {
        CloseHandle(pState->hMultipleInstances);
        pState->hMultipleInstances = NULL;
    }
}

// Keeps the error that ends the server; a server that stops gives up its
// instance marker.
static void StopOnError(MainState *pState, DWORD errorCode) {
    CloseInstanceMarker(pState);
    pState->errorCode = errorCode;
}

static void TraceArguments(const MainState *pState) {
    TraceModule *pTrace = g_ribexTrace[TM_MAIN];
    if (pState->argc == 1) {
        TracePrint(pTrace, TRACE_LEVEL_DETAIL, "ribex::main, argvW[] == %hs\n", pState->argvW[0]);
    } else if (pState->argc == 2) {
        TracePrint(pTrace, TRACE_LEVEL_DETAIL, "ribex::main, argvW[] == %hs %hs\n",
                   pState->argvW[0], pState->argvW[1]);
    } else if (pState->argc >= 3) {
        TracePrint(pTrace, TRACE_LEVEL_DETAIL, "ribex::main, argvW[] == %hs %hs %hs\n",
                   pState->argvW[0], pState->argvW[1], pState->argvW[2]);
    }
}

// Command line, single-instance test and the first open of the queue.
// Leaves errorCode 0 when the server is ready to serve.
static void StartUp(MainState *pState) {
    TraceModule *pTrace = g_ribexTrace[TM_MAIN];

    LPWSTR pCommandLineW = GetCommandLineW();
    if (pCommandLineW == NULL) {
        pState->errorCode = GetLastError();
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, ( pCommandLineW = GetCommandLine( )) == NULL, errorCode == %lu\n",
                   pState->errorCode);
        return;
    }
    pState->argvW = CommandLineToArgvW(pCommandLineW, &pState->argc);
    if (pState->argvW == NULL || pState->argc < 1) {
        pState->errorCode = pState->argvW == NULL ? GetLastError() : ERROR_INVALID_PARAMETER;
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, ( argvW = CommandLineToArgvW( ... )) == NULL, errorCode == %lu\n",
                   pState->errorCode);
        return;
    }
    TraceArguments(pState);
    pState->pQueueName = pState->argvW[pState->argc - 1];

    pState->hGlobalLock = CreateMutexW(NULL, FALSE, RIBEX_GLOBAL_LOCK_NAME);
    if (pState->hGlobalLock == NULL) {
        pState->errorCode = GetLastError();
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, ( hGlobalLock = CreateMutex( ... )) == NULL, errorCode == %lu\n",
                   pState->errorCode);
        return;
    }
    if (!TakeGlobalLock(pState->hGlobalLock)) {
        pState->errorCode = GetLastError();
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, WaitForSingleObject( hGlobalLock, ... ) == WAIT_FAILED, errorCode "
                   "== %lu\n",
                   pState->errorCode);
        return;
    }

    // Only the marker's existence counts: a running server holds it.
    SetLastError(ERROR_SUCCESS);
    pState->hMultipleInstances = CreateMutexW(NULL, FALSE, RIBEX_INSTANCE_MARKER_NAME);
    DWORD markerError = GetLastError();
    if (pState->hMultipleInstances == NULL && markerError == ERROR_SUCCESS)
        markerError = ERROR_INVALID_HANDLE;
    if (markerError != ERROR_SUCCESS) {
        CloseInstanceMarker(pState);
        pState->errorCode = markerError;
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, hMultipleInstances = CreateMutex( ... ), errorCode == %lu\n",
                   pState->errorCode);
    }

    if (!ReleaseMutex(pState->hGlobalLock)) {
        DWORD errorCode = GetLastError();
        StopOnError(pState, errorCode);
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, !ReleaseMutex( hGlobalLock ), errorCode == %lu\n",
                   pState->errorCode);
    }
    if (pState->errorCode != ERROR_SUCCESS) return;

    pState->hMsgQ = MsgQOpen(pState->pQueueName, 0);
    if (pState->hMsgQ == NULL) {
        pState->errorCode = GetLastError();
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, ( hMsgQ = MsgQOpen( ... )) == NULL, errorCode == %lu\n",
                   pState->errorCode);
    }
}

// Closes the queue and tries to reopen it: the queue's objects live only
// while some process holds them, so a failed reopen means that every
// client has gone.
static void ClientCheck(MainState *pState) {
    TraceModule *pTrace = g_ribexTrace[TM_MAIN];

    if (!MsgQClose(pState->hMsgQ)) {
        DWORD errorCode = GetLastError();
        StopOnError(pState, errorCode);
        TracePrint(pTrace, TRACE_LEVEL_EVENT, "ribex::main, !MsgQClose( ... ), errorCode == %lu\n",
                   errorCode);
        return;
    }
    pState->hMsgQ = NULL;
    Sleep(CLIENT_CHECK_PAUSE_MS);

    if (!TakeGlobalLock(pState->hGlobalLock)) {
        DWORD errorCode = GetLastError();
        StopOnError(pState, errorCode);
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, WaitForSingleObject( hGlobalLock, ... ) == WAIT_FAILED, errorCode "
                   "== %lu\n",
                   errorCode);
        return;
    }
    pState->hMsgQ = MsgQOpen(pState->pQueueName, 0);
    if (pState->hMsgQ != NULL) {
        if (!ReleaseMutex(pState->hGlobalLock)) {
            DWORD errorCode = GetLastError();
            StopOnError(pState, errorCode);
            TracePrint(pTrace, TRACE_LEVEL_EVENT,
                       "ribex::main, !ReleaseMutex( hGlobalLock ), errorCode == %lu\n", errorCode);
        }
        return;
    }

    // Still under the lock: a client that creates the queue after this
    // point finds no marker and starts a new server.
    CloseInstanceMarker(pState);
    if (!ReleaseMutex(pState->hGlobalLock)) {
        pState->errorCode = GetLastError();
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, !ReleaseMutex( hGlobalLock ), errorCode == %lu\n",
                   pState->errorCode);
        return;
    }
    TracePrint(pTrace, TRACE_LEVEL_EVENT, "ribex::main, NO CLIENTS LEFT\n");
    pState->run = FALSE;
    if (!UnRegisterAllRibexClients()) {
        pState->errorCode = GetLastError();
        TracePrint(pTrace, TRACE_LEVEL_EVENT,
                   "ribex::main, !UnRegisterAllRibexClients( ... ), errorCode == %lu\n",
                   pState->errorCode);
    }
}

static void Dispatch(MainState *pState, const msgReq *pMsgReq, DWORD receivedLength,
                     BOOL fromTimeout) {
    switch (pMsgReq->id) {
    case RIBEX_REQ_CLIENT_CHECK:
        if (!fromTimeout)
            TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
                       "ribex::main, MESSAGE RECEVIED msgReq.id == %#x\n", pMsgReq->id);
        ClientCheck(pState);
        break;
    case RIBEX_REQ_IF_OPEN:
        HandleIfOpenReq(pMsgReq, receivedLength);
        break;
    case RIBEX_REQ_IF_CLOSE:
        HandleIfCloseReq(pMsgReq, receivedLength);
        break;
    case RIBEX_REQ_DISABLE_ALL_REM_FRAME:
        HandleDisableAllRemFrameReq(pMsgReq, receivedLength);
        break;
    case RIBEX_REQ_ENUM_REM_FRAME:
        HandleEnumRemFrameReq(pMsgReq, receivedLength);
        break;
    case RIBEX_REQ_ENABLE_REM_FRAME:
        HandleEnableRemFrameReq(pMsgReq, receivedLength);
        break;
    case RIBEX_REQ_DISABLE_REM_FRAME:
        HandleDisableRemFrameReq(pMsgReq, receivedLength);
        break;
    default:
        break;  // not a request of ours: no answer, no line
    }
}

// How long the next receive may wait: until the client check is due
// (3000 ms without a request) or the next liveness check, whichever is
// first.
static DWORD NextReceiveWaitMs(DWORD lastActivity) {
    DWORD idle = GetTickCount() - lastActivity;
    DWORD untilClientCheck = idle >= REQUEST_WAIT_MS ? 0 : REQUEST_WAIT_MS - idle;
    DWORD untilLiveness = ClientLivenessDueInMs();
    return untilLiveness < untilClientCheck ? untilLiveness : untilClientCheck;
}

static void ServeRequests(MainState *pState) {
    msgReq request;
    DWORD lastActivity = GetTickCount();
    while (pState->errorCode == ERROR_SUCCESS && pState->run) {
        // Also while requests keep coming: a dead client must not wait for
        // an idle moment.
        CheckClientLiveness();
        // Fields beyond a short request read as 0, never as an earlier
        // client's data (an empty message would otherwise repeat the
        // previous request).
        memset(&request, 0, sizeof(request));
        DWORD receivedLength = 0;
        BOOL fromTimeout = FALSE;
        if (!MsgQReceive(pState->hMsgQ, &request, RIBEX_MAX_REQUEST_SIZE, &receivedLength,
                         NextReceiveWaitMs(lastActivity))) {
            DWORD errorCode = GetLastError();
            if (errorCode == ERROR_TIMEOUT) {
                // Only a wait of the whole 3000 ms checks for clients.
                if (GetTickCount() - lastActivity < REQUEST_WAIT_MS) continue;
                lastActivity = GetTickCount();
                request.id = RIBEX_REQ_CLIENT_CHECK;
                fromTimeout = TRUE;
            } else if (errorCode == ERROR_BAD_LENGTH) {
                // One client's oversized request must not stop the service
                // for all others; the queue has consumed it already.
                TracePrint(
                    g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
                    "ribex::main, MsgQReceive( ... ) == ERROR_BAD_LENGTH, request dropped\n");
                continue;
            } else {
                StopOnError(pState, errorCode);
                break;
            }
        }
        // Without a whole id there is no request to act on.
        if (!fromTimeout && receivedLength < sizeof(request.id)) continue;
        Dispatch(pState, &request, receivedLength, fromTimeout);
        lastActivity = GetTickCount();
    }
}

int main(void) {
    RegisterRibexTraceModules();
    TraceEntry(g_ribexTrace[TM_MAIN], "\nribex::main Entry\n");

    MainState state = {};
    state.run = TRUE;
    StartUp(&state);
    if (state.errorCode == ERROR_SUCCESS) ServeRequests(&state);

    if (state.hGlobalLock != NULL) CloseHandle(state.hGlobalLock);
    if (state.argvW != NULL) LocalFree(state.argvW);
    if (state.hMsgQ != NULL) MsgQClose(state.hMsgQ);
    TraceExit(g_ribexTrace[TM_MAIN], "ribex::main Exit (%lu)\n\n", state.errorCode);
    ReleaseRibexTraceModules();
    // Whatever is still open (nets after an error) goes with the process.
    ExitProcess(state.errorCode);
}
