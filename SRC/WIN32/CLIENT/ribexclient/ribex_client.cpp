// Opening and closing nets, the remote-frame requests and reading frames:
// the client side of the server's request/confirm contract.
#include "ribex_client.h"

#include <string.h>
#include <wchar.h>

#include "client_net.h"
#include "msgq.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "rx_reader.h"
#include "server_start.h"

#define DEFAULT_CONFIRM_TIMEOUT_MS 10000u
#define REPLY_QUEUE_MSG_SIZE 12u
#define LIVE_TABLE_GROWTH 16u
#define REUSED_ID_GRACE_MS 1000u
#define REUSED_ID_RETRY_MS 10u

// Nets handed out and not yet closed. Every call looks its net up here
// first, so a stale or foreign pointer fails with ERROR_INVALID_HANDLE
// instead of being used.
static SRWLOCK g_liveLock = SRWLOCK_INIT;
static RibexClientNet **g_pLiveNets;
static DWORD g_noLiveNets, g_maxLiveNets;
static volatile LONG g_uniqueLowCounter;

static void FreeNet(RibexClientNet *pNet) {
    if (pNet->pRxBuffer != NULL) UnmapViewOfFile((LPCVOID)pNet->pRxBuffer);
    if (pNet->hMapping != NULL) CloseHandle(pNet->hMapping);
    if (pNet->hEvent != NULL) CloseHandle(pNet->hEvent);
    if (pNet->hReplyQueue != NULL) MsgQClose(pNet->hReplyQueue);
    if (pNet->hServerQueue != NULL) MsgQClose(pNet->hServerQueue);
    if (pNet->serverQueueName != NULL) HeapFree(GetProcessHeap(), 0, pNet->serverQueueName);
    if (pNet->serverPath != NULL) HeapFree(GetProcessHeap(), 0, pNet->serverPath);
    if (pNet->remFrames != NULL) HeapFree(GetProcessHeap(), 0, pNet->remFrames);
    DeleteCriticalSection(&pNet->requestLock);
    DeleteCriticalSection(&pNet->readLock);
    HeapFree(GetProcessHeap(), 0, pNet);
}

void ReleaseNet(RibexClientNet *pNet) {
    if (InterlockedDecrement(&pNet->refCount) == 0) FreeNet(pNet);
}

static BOOL AddLiveNet(RibexClientNet *pNet) {
    AcquireSRWLockExclusive(&g_liveLock);
    if (g_noLiveNets == g_maxLiveNets) {
        DWORD newMax = g_maxLiveNets + LIVE_TABLE_GROWTH;
        RibexClientNet **pNew = (RibexClientNet **)HeapAlloc(GetProcessHeap(), 0,
                                                             newMax * sizeof(RibexClientNet *));
        if (pNew == NULL) {
            ReleaseSRWLockExclusive(&g_liveLock);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        for (DWORD i = 0; i < g_noLiveNets; ++i) pNew[i] = g_pLiveNets[i];
        if (g_pLiveNets != NULL) HeapFree(GetProcessHeap(), 0, g_pLiveNets);
        g_pLiveNets = pNew;
        g_maxLiveNets = newMax;
    }
    g_pLiveNets[g_noLiveNets++] = pNet;
    ReleaseSRWLockExclusive(&g_liveLock);
    return TRUE;
}

BOOL AcquireNet(RibexClientNet *pNet, BOOL remove) {
    BOOL found = FALSE;
    AcquireSRWLockExclusive(&g_liveLock);
    for (DWORD i = 0; i < g_noLiveNets; ++i) {
        if (g_pLiveNets[i] != pNet) continue;
        found = TRUE;
        if (remove)
            g_pLiveNets[i] = g_pLiveNets[--g_noLiveNets];
        else
            InterlockedIncrement(&pNet->refCount);
        break;
    }
    ReleaseSRWLockExclusive(&g_liveLock);
    if (!found) SetLastError(ERROR_INVALID_HANDLE);
    return found;
}

RibexClientNet **AcquireLiveNets(DWORD *pCount) {
    *pCount = 0;
    AcquireSRWLockExclusive(&g_liveLock);
    RibexClientNet **pNets = NULL;
    if (g_noLiveNets != 0)
        pNets = (RibexClientNet **)HeapAlloc(GetProcessHeap(), 0,
                                             g_noLiveNets * sizeof(RibexClientNet *));
    if (pNets != NULL) {
        for (DWORD i = 0; i < g_noLiveNets; ++i) {
            pNets[i] = g_pLiveNets[i];
            InterlockedIncrement(&pNets[i]->refCount);
        }
        *pCount = g_noLiveNets;
    }
    ReleaseSRWLockExclusive(&g_liveLock);
    return pNets;
}

// How often a wait for a confirm looks whether the server is still there.
#define CONFIRM_WATCH_SLICE_MS 250u

// Waits for the confirm with the given id, the whole time-out at most.
// With watchServer (the server holds our reply queue: the net is open or
// its open was answered) a server that dies holding the request ends the
// wait within a slice, with RIBEX_ERROR_SERVER_GONE: its confirm will
// never come.
static BOOL AwaitConfirm(RibexClientNet *pNet, DWORD confirmId, BOOL watchServer,
                         msgCfm *pConfirm) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        DWORD left = elapsed < pNet->confirmTimeoutMs ? pNet->confirmTimeoutMs - elapsed : 0;
        DWORD wait = watchServer && left > CONFIRM_WATCH_SLICE_MS ? CONFIRM_WATCH_SLICE_MS : left;
        DWORD length = 0;
        memset(pConfirm, 0, sizeof(*pConfirm));
        if (MsgQReceive(pNet->hReplyQueue, pConfirm, sizeof(*pConfirm), &length, wait)) {
            if (length >= RIBEX_STATUS_CFM_SIZE && pConfirm->id == confirmId) return TRUE;
            continue;
        }
        DWORD errorCode = GetLastError();
        if (errorCode == ERROR_BAD_LENGTH) continue;  // not a confirm of ours
        if (errorCode != ERROR_TIMEOUT || wait == left) return FALSE;
        if (ServerLeftReplyQueue(pNet)) {
            // A confirm sent just before the server went is still taken.
            if (MsgQReceive(pNet->hReplyQueue, pConfirm, sizeof(*pConfirm), &length, 0) &&
                length >= RIBEX_STATUS_CFM_SIZE && pConfirm->id == confirmId)
                return TRUE;
            SetLastError(RIBEX_ERROR_SERVER_GONE);
            return FALSE;
        }
    }
}

// Sends a request and waits for the confirm with the given id. Confirms
// left over from an exchange that timed out are thrown away first: the
// reply queue holds one message, and a stale one would also be taken for
// this request's answer.
static BOOL ExchangeRequest(RibexClientNet *pNet, const void *pRequest, DWORD requestLength,
                            DWORD confirmId, BOOL watchServer, msgCfm *pConfirm) {
    EnterCriticalSection(&pNet->requestLock);
    msgCfm stale;
    DWORD length = 0;
    for (;;) {
        if (MsgQReceive(pNet->hReplyQueue, &stale, sizeof(stale), &length, 0)) continue;
        if (GetLastError() != ERROR_BAD_LENGTH) break;
    }
    BOOL ok = MsgQSend(pNet->hServerQueue, pRequest, requestLength, pNet->confirmTimeoutMs) &&
              AwaitConfirm(pNet, confirmId, watchServer, pConfirm);
    DWORD errorCode = ok ? ERROR_SUCCESS : GetLastError();
    LeaveCriticalSection(&pNet->requestLock);
    SetLastError(errorCode);
    return ok;
}

// The close request; the server unregisters the unique id and closes its
// handle of our reply queue.
static BOOL SendClose(RibexClientNet *pNet, DWORD *pErrorCode) {
    canIfCloseReqMsg request = {};
    request.id = RIBEX_REQ_IF_CLOSE;
    request.hMsgQRef = pNet->hMsgQRef;
    request.uniqueId.high = pNet->high;
    request.uniqueId.low = pNet->low;
    msgCfm confirm;
    if (!ExchangeRequest(pNet, &request, sizeof(request), RIBEX_CFM_STATUS, TRUE, &confirm))
        return FALSE;
    *pErrorCode = confirm.canStatusCfm.errorCode;
    return TRUE;
}

static BOOL MapRxBuffer(RibexClientNet *pNet) {
    wchar_t *pName = CreateUniqueName(pNet->netName, 0, 0, L"FMO");
    if (pName == NULL) return FALSE;
    pNet->hMapping = OpenFileMappingW(FILE_MAP_READ, FALSE, pName);
    DWORD errorCode = GetLastError();
    HeapFree(GetProcessHeap(), 0, pName);
    if (pNet->hMapping == NULL) {
        SetLastError(errorCode);
        return FALSE;
    }
    pNet->pRxBuffer = (const RxBufferLayout *)MapViewOfFile(pNet->hMapping, FILE_MAP_READ, 0, 0,
                                                            RX_BUFFER_SIZE);
    if (pNet->pRxBuffer == NULL) return FALSE;
    return RxReaderStart(&pNet->reader, pNet->pRxBuffer);
}

static BOOL CreateWakeEvent(RibexClientNet *pNet) {
    wchar_t *pName = CreateUniqueName(pNet->netName, pNet->high, pNet->low, L"EVT");
    if (pName == NULL) return FALSE;
    // Auto-reset: one wake-up per publication is enough, the reader takes
    // everything published so far.
    pNet->hEvent = CreateEventW(NULL, FALSE, FALSE, pName);
    DWORD errorCode = GetLastError();
    HeapFree(GetProcessHeap(), 0, pName);
    if (pNet->hEvent != NULL && errorCode == ERROR_ALREADY_EXISTS) {
        // Another client uses this unique id on this net.
        CloseHandle(pNet->hEvent);
        pNet->hEvent = NULL;
    }
    SetLastError(errorCode);
    return pNet->hEvent != NULL;
}

// The open request and its confirm. On any answer other than success the
// server still holds our reply queue, so a close request gives it back.
BOOL RequestOpen(RibexClientNet *pNet, RibexOpenFailure *pFailure) {
    pFailure->step = RIBEX_OPEN_REQUEST;
    canIfOpenReqMsg request = {};
    request.id = RIBEX_REQ_IF_OPEN;
    request.majorVersion = pNet->majorVersion;
    request.minorVersion = pNet->minorVersion;
    request.uniqueId.high = pNet->high;
    request.uniqueId.low = pNet->low;
    size_t nameChars = wcslen(pNet->netName);
    wmemcpy(request.netName, pNet->netName, nameChars + 1);
    DWORD length = (DWORD)(offsetof(canIfOpenReqMsg, netName) + (nameChars + 1) * sizeof(wchar_t));

    msgCfm confirm;
    // The server opens our reply queue only when it takes the request.
    if (!ExchangeRequest(pNet, &request, length, RIBEX_CFM_IF_OPEN, FALSE, &confirm)) {
        DWORD errorCode = GetLastError();
        if (errorCode == ERROR_TIMEOUT) {
            // The server may still act on the open later; a close behind it
            // in the queue undoes that. Its confirm is not awaited.
            canIfCloseReqMsg close = {};
            close.id = RIBEX_REQ_IF_CLOSE;
            close.uniqueId.high = pNet->high;
            close.uniqueId.low = pNet->low;
            MsgQSend(pNet->hServerQueue, &close, sizeof(close), 0);
        }
        SetLastError(errorCode);
        return FALSE;
    }
    pNet->hMsgQRef = confirm.canIfOpenCfm.hMsgQRef;
    DWORD errorCode = confirm.canIfOpenCfm.errorCode;
    if (errorCode != ERROR_SUCCESS) {
        pFailure->step = RIBEX_OPEN_REFUSED;
        DWORD ignored;
        SendClose(pNet, &ignored);
        SetLastError(errorCode);
        return FALSE;
    }
    return TRUE;
}

static wchar_t *CopyText(const wchar_t *text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t *pCopy = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, bytes);
    if (pCopy != NULL) memcpy(pCopy, text, bytes);
    return pCopy;
}

// What a reopen needs again of the open's options.
static BOOL KeepOptions(RibexClientNet *pNet, const RibexClientOptions *options) {
    pNet->serverQueueName = CopyText(options->serverQueueName != NULL ? options->serverQueueName
                                                                      : RIBEX_DEFAULT_SERVER_QUEUE);
    if (options->serverPath != NULL) pNet->serverPath = CopyText(options->serverPath);
    if (pNet->serverQueueName == NULL || (options->serverPath != NULL && pNet->serverPath == NULL)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    pNet->majorVersion =
        options->majorVersion != 0 ? options->majorVersion : RIBEX_CLIENT_MAJOR_VERSION;
    pNet->minorVersion = options->minorVersion;
    return TRUE;
}

// A net record with its unique id and time-out, not yet connected.
static RibexClientNet *NewNet(const wchar_t *netName, const RibexClientOptions *options) {
    RibexClientNet *pNet =
        (RibexClientNet *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RibexClientNet));
    if (pNet == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    pNet->refCount = 1;
    InitializeCriticalSection(&pNet->requestLock);
    InitializeCriticalSection(&pNet->readLock);
    InitializeSRWLock(&pNet->remLock);
    pNet->autoReopen = 1;
    wcscpy(pNet->netName, netName);
    if (options->haveUniqueId) {
        pNet->high = options->uniqueIdHigh;
        pNet->low = options->uniqueIdLow;
    } else {
        pNet->high = GetCurrentProcessId();
        pNet->low = (DWORD)InterlockedIncrement(&g_uniqueLowCounter);
    }
    pNet->confirmTimeoutMs =
        options->confirmTimeoutMs != 0 ? options->confirmTimeoutMs : DEFAULT_CONFIRM_TIMEOUT_MS;
    if (!KeepOptions(pNet, options)) {
        FreeNet(pNet);
        return NULL;
    }
    return pNet;
}

// The server closes its handle of a client's reply queue just after it
// sent the close confirm, so a unique id that was closed a moment ago may
// still name a queue for that moment. Taking the id again waits it out; a
// client that really holds the id keeps it, and the open fails with
// ERROR_ALREADY_EXISTS once the grace has passed.
static BOOL CreateReplyQueue(RibexClientNet *pNet) {
    DWORD start = GetTickCount();
    for (;;) {
        pNet->hReplyQueue =
            CreateMsgQ(pNet->netName, pNet->high, pNet->low, REPLY_QUEUE_MSG_SIZE);
        if (pNet->hReplyQueue != NULL) return TRUE;
        if (GetLastError() != ERROR_ALREADY_EXISTS ||
            GetTickCount() - start >= REUSED_ID_GRACE_MS)
            return FALSE;
        Sleep(REUSED_ID_RETRY_MS);
    }
}

// Server, reply queue, wake-up event, open request, receive buffer, in this
// order; pFailure->step follows, so that on failure it names the step.
static BOOL ConnectNet(RibexClientNet *pNet, RibexOpenFailure *pFailure) {
    pNet->hServerQueue = ConnectRibexServer(pNet->serverQueueName, pNet->serverPath, pFailure);
    if (pNet->hServerQueue == NULL) return FALSE;
    // The reply queue and the wake-up event must exist before the server
    // sees the open request: it opens both by name while handling it.
    pFailure->step = RIBEX_OPEN_REPLY_QUEUE;
    if (!CreateReplyQueue(pNet)) return FALSE;
    pFailure->step = RIBEX_OPEN_WAKE_EVENT;
    if (!CreateWakeEvent(pNet)) return FALSE;
    if (!RequestOpen(pNet, pFailure)) return FALSE;
    pFailure->step = RIBEX_OPEN_RX_BUFFER;
    if (!MapRxBuffer(pNet)) {
        DWORD errorCode = GetLastError();
        DWORD ignored;
        SendClose(pNet, &ignored);
        SetLastError(errorCode);
        return FALSE;
    }
    return TRUE;
}

static BOOL OpenNet(const wchar_t *netName, const RibexClientOptions *options,
                    RibexClientNet **ppNet, RibexOpenFailure *pFailure) {
    pFailure->step = RIBEX_OPEN_ARGUMENTS;
    if (ppNet != NULL) *ppNet = NULL;
    if (netName == NULL || ppNet == NULL || netName[0] == L'\0' ||
        wcslen(netName) >= RIBEX_NET_NAME_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RibexClientOptions defaults = {};
    if (options == NULL) options = &defaults;

    pFailure->step = RIBEX_OPEN_MEMORY;
    RibexClientNet *pNet = NewNet(netName, options);
    if (pNet == NULL) return FALSE;
    pFailure->uniqueIdHigh = pNet->high;
    pFailure->uniqueIdLow = pNet->low;
    pFailure->majorVersion = pNet->majorVersion;
    pFailure->confirmTimeoutMs = pNet->confirmTimeoutMs;

    BOOL ok = ConnectNet(pNet, pFailure);
    if (ok) {
        pFailure->step = RIBEX_OPEN_MEMORY;
        ok = AddLiveNet(pNet);
    }
    if (!ok) {
        DWORD errorCode = GetLastError();
        FreeNet(pNet);
        SetLastError(errorCode != ERROR_SUCCESS ? errorCode : ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    EnsureServerWatch();
    *ppNet = pNet;
    pFailure->step = RIBEX_OPEN_DONE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL RibexOpenNetEx(const wchar_t *netName, const RibexClientOptions *options,
                    RibexClientNet **ppNet, RibexOpenFailure *pFailure) {
    RibexOpenFailure failure;
    memset(&failure, 0, sizeof(failure));
    BOOL ok = OpenNet(netName, options, ppNet, &failure);
    DWORD errorCode = GetLastError();
    failure.errorCode = ok ? ERROR_SUCCESS : errorCode;
    if (pFailure != NULL) *pFailure = failure;
    SetLastError(errorCode);
    return ok;
}

BOOL RibexOpenNet(const wchar_t *netName, const RibexClientOptions *options,
                  RibexClientNet **ppNet) {
    return RibexOpenNetEx(netName, options, ppNet, NULL);
}

BOOL RibexCloseNet(RibexClientNet *pNet) {
    if (!AcquireNet(pNet, TRUE)) return FALSE;
    DWORD errorCode = ERROR_SUCCESS;
    // Nobody would answer a close to a server that has gone.
    EnterCriticalSection(&pNet->requestLock);  // a reopen in progress ends first
    InterlockedExchange(&pNet->closed, 1);
    if (pNet->link != LINK_GONE && !SendClose(pNet, &errorCode)) errorCode = GetLastError();
    // A server that died holding the close took the net's registration with it.
    if (errorCode == RIBEX_ERROR_SERVER_GONE) errorCode = ERROR_SUCCESS;
    LeaveCriticalSection(&pNet->requestLock);
    // The handles go with the last reference: a call still running on
    // another thread finishes with them first.
    ReleaseNet(pNet);
    SetLastError(errorCode);
    return errorCode == ERROR_SUCCESS;
}

// The call ends before its request was sent: only the reference goes.
static BOOL LeaveNetOnly(RibexClientNet *pNet) {
    DWORD errorCode = GetLastError();
    ReleaseNet(pNet);
    SetLastError(errorCode);
    return FALSE;
}

BOOL StatusRequest(RibexClientNet *pNet, const void *pRequest, DWORD length) {
    msgCfm confirm;
    BOOL ok = ExchangeRequest(pNet, pRequest, length, RIBEX_CFM_STATUS, TRUE, &confirm);
    DWORD errorCode = ok ? confirm.canStatusCfm.errorCode : GetLastError();
    SetLastError(errorCode);
    return errorCode == ERROR_SUCCESS;
}

// Requests are built and sent under the request lock, so that a reopen
// never changes hMsgQRef or the server queue under them. A gone server
// would answer nothing: fail at once instead of after the time-out.
static BOOL EnterServerRequest(RibexClientNet *pNet) {
    EnterCriticalSection(&pNet->requestLock);
    if (pNet->link != LINK_GONE) return TRUE;
    LeaveCriticalSection(&pNet->requestLock);
    SetLastError(RIBEX_ERROR_SERVER_GONE);
    return FALSE;
}

static BOOL LeaveServerRequest(RibexClientNet *pNet, BOOL ok) {
    DWORD errorCode = GetLastError();
    LeaveCriticalSection(&pNet->requestLock);
    ReleaseNet(pNet);
    SetLastError(errorCode);
    return ok;
}

BOOL SendEnableRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length) {
    canEnableRemFrameReqMsg request = {};
    request.id = RIBEX_REQ_ENABLE_REM_FRAME;
    request.hMsgQRef = pNet->hMsgQRef;
    request.uniqueId.high = pNet->high;
    request.uniqueId.low = pNet->low;
    request.can.id = canId;
    request.length = length;
    return StatusRequest(pNet, &request, sizeof(request));
}

BOOL RibexEnableRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length) {
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    if (!EnterServerRequest(pNet)) return LeaveNetOnly(pNet);
    BOOL ok = SendEnableRemFrame(pNet, canId, length);
    if (ok) RememberRemFrame(pNet, canId, length);
    return LeaveServerRequest(pNet, ok);
}

BOOL RibexDisableRemFrame(RibexClientNet *pNet, DWORD canId) {
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    if (!EnterServerRequest(pNet)) return LeaveNetOnly(pNet);
    canDisableRemFrameReqMsg request = {};
    request.id = RIBEX_REQ_DISABLE_REM_FRAME;
    request.hMsgQRef = pNet->hMsgQRef;
    request.uniqueId.high = pNet->high;
    request.uniqueId.low = pNet->low;
    request.canId = canId;
    BOOL ok = StatusRequest(pNet, &request, sizeof(request));
    if (ok) ForgetRemFrame(pNet, canId);
    return LeaveServerRequest(pNet, ok);
}

BOOL RibexEnumRemFrame(RibexClientNet *pNet, DWORD index, DWORD *pCanId) {
    if (pCanId == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    if (!EnterServerRequest(pNet)) return LeaveNetOnly(pNet);
    canEnumRemFrameReqMsg request = {};
    request.id = RIBEX_REQ_ENUM_REM_FRAME;
    request.hMsgQRef = pNet->hMsgQRef;
    request.uniqueId.high = pNet->high;
    request.uniqueId.low = pNet->low;
    request.index = index;
    msgCfm confirm;
    BOOL ok = ExchangeRequest(pNet, &request, sizeof(request), RIBEX_CFM_ENUM_REM_FRAME, TRUE,
                              &confirm);
    DWORD errorCode = ok ? confirm.canEnumRemFrameCfm.errorCode : GetLastError();
    if (errorCode == ERROR_SUCCESS) *pCanId = confirm.canEnumRemFrameCfm.canId;
    SetLastError(errorCode);
    return LeaveServerRequest(pNet, errorCode == ERROR_SUCCESS);
}

// The server drops the process's replies on every net, so the library
// forgets them on every net too.
static void ForgetRemFramesOfProcess(void) {
    DWORD count = 0;
    RibexClientNet **pNets = AcquireLiveNets(&count);
    for (DWORD i = 0; i < count; ++i) {
        ForgetAllRemFrames(pNets[i]);
        ReleaseNet(pNets[i]);
    }
    if (pNets != NULL) HeapFree(GetProcessHeap(), 0, pNets);
}

BOOL RibexDisableAllRemFrames(RibexClientNet *pNet) {
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    if (!EnterServerRequest(pNet)) return LeaveNetOnly(pNet);
    canDisableAllRemFrameReqMsg request = {};
    request.id = RIBEX_REQ_DISABLE_ALL_REM_FRAME;
    request.uniqueIdHigh = pNet->high;
    BOOL ok = MsgQSend(pNet->hServerQueue, &request, sizeof(request), pNet->confirmTimeoutMs);
    if (ok) {
        ForgetRemFramesOfProcess();
        SetLastError(ERROR_SUCCESS);
    }
    return LeaveServerRequest(pNet, ok);
}

// Tells the caller once that the net is open again and that frames in
// between are lost.
static BOOL ReportReopen(RibexClientNet *pNet, DWORD *pErrorCode) {
    pNet->goneReported = FALSE;
    InterlockedCompareExchange(&pNet->link, LINK_UP, LINK_REOPENED);
    *pErrorCode = RIBEX_ERROR_NET_REOPENED;
    return FALSE;
}

BOOL RibexReadFrames(RibexClientNet *pNet, RibexFrame *frames, DWORD maxFrames,
                     DWORD *pNoFrames, DWORD *pLostFrames, DWORD timeoutMs) {
    if (pNoFrames == NULL || pLostFrames == NULL || (frames == NULL && maxFrames != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pNoFrames = 0;
    *pLostFrames = 0;
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    EnterCriticalSection(&pNet->readLock);
    DWORD start = GetTickCount();
    BOOL ok = TRUE;
    DWORD errorCode = ERROR_SUCCESS;
    for (;;) {
        LONG link = pNet->link;
        if (link == LINK_REOPENED) {
            ok = ReportReopen(pNet, &errorCode);
            break;
        }
        // The new server writes on where the old one stopped, so the read
        // position stays valid across a reopen.
        ok = RxReaderRead(&pNet->reader, pNet->pRxBuffer, frames, maxFrames, pNoFrames,
                          pLostFrames);
        if (!ok) {
            errorCode = GetLastError();
            break;
        }
        if (*pNoFrames != 0 || *pLostFrames != 0 || maxFrames == 0) break;
        if (link == LINK_GONE && (!pNet->goneReported || !pNet->autoReopen)) {
            // What was published before the death has been read.
            pNet->goneReported = TRUE;
            errorCode = RIBEX_ERROR_SERVER_GONE;
            ok = FALSE;
            break;
        }
        DWORD elapsed = GetTickCount() - start;
        if (timeoutMs != INFINITE && elapsed >= timeoutMs) break;
        // A wake-up may be left from frames read already; then wait again.
        DWORD left = timeoutMs == INFINITE ? INFINITE : timeoutMs - elapsed;
        DWORD result = WaitForSingleObject(pNet->hEvent, left);
        if (result == WAIT_FAILED) {
            errorCode = GetLastError();
            ok = FALSE;
            break;
        }
    }
    LeaveCriticalSection(&pNet->readLock);
    ReleaseNet(pNet);
    SetLastError(errorCode);
    return ok;
}

HANDLE RibexGetWakeEvent(RibexClientNet *pNet) {
    if (!AcquireNet(pNet, FALSE)) return NULL;
    HANDLE hEvent = pNet->hEvent;
    ReleaseNet(pNet);
    SetLastError(ERROR_SUCCESS);
    return hEvent;
}

void RibexGetUniqueId(RibexClientNet *pNet, DWORD *pHigh, DWORD *pLow) {
    if (!AcquireNet(pNet, FALSE)) return;
    if (pHigh != NULL) *pHigh = pNet->high;
    if (pLow != NULL) *pLow = pNet->low;
    ReleaseNet(pNet);
    SetLastError(ERROR_SUCCESS);
}

const RxBufferLayout *RibexGetRxBuffer(RibexClientNet *pNet) {
    if (!AcquireNet(pNet, FALSE)) return NULL;
    const RxBufferLayout *pBuffer = pNet->pRxBuffer;
    ReleaseNet(pNet);
    SetLastError(ERROR_SUCCESS);
    return pBuffer;
}

BOOL RibexGetNetStatus(RibexClientNet *pNet, RibexNetStatus *pStatus) {
    if (pStatus == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    pStatus->state = (DWORD)pNet->link;
    pStatus->reopenCount = (DWORD)pNet->reopenCount;
    pStatus->lastReopenError = (DWORD)pNet->lastReopenError;
    pStatus->autoReopen = pNet->autoReopen != 0;
    ReleaseNet(pNet);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL RibexSetAutoReopen(RibexClientNet *pNet, BOOL enable) {
    if (!AcquireNet(pNet, FALSE)) return FALSE;
    InterlockedExchange(&pNet->autoReopen, enable ? 1 : 0);
    SetEvent(pNet->hEvent);  // a reader waiting for the reopen looks again
    ReleaseNet(pNet);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
