// The server watcher: one thread a process while any net is open. It
// tells that the server went away by the handles of each net's reply
// queue (the server holds one of every open client's), wakes the net's
// readers, and opens the net again on a server it starts, under the same
// unique id, with the remote-frame replies the net had enabled.
#include "client_net.h"
#include "msgq_mapping.h"
#include "server_start.h"

#define SERVER_WATCH_PERIOD_MS 250u
#define REOPEN_FIRST_BACKOFF_MS 100u
#define REOPEN_MAX_BACKOFF_MS 1000u

// The layout NtQueryObject fills for ObjectBasicInformation (class 0).
typedef struct ObjectBasicInfo {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG handleCount;
    ULONG pointerCount;
    ULONG reserved[10];
} ObjectBasicInfo;
typedef LONG(NTAPI *NtQueryObjectFn)(HANDLE, int, PVOID, ULONG, PULONG);

static SRWLOCK g_watchLock = SRWLOCK_INIT;  // guards g_watchRunning
static BOOL g_watchRunning;

static NtQueryObjectFn QueryObjectFunction(void) {
    static NtQueryObjectFn s_query;  // ntdll stays loaded: found once
    if (s_query == NULL) {
        HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
        if (hNtdll != NULL)
            s_query = (NtQueryObjectFn)(void *)GetProcAddress(hNtdll, "NtQueryObject");
    }
    return s_query;
}

BOOL ServerLeftReplyQueue(RibexClientNet *pNet) {
    HANDLE hMapping = MsgQGetMappingHandle(pNet->hReplyQueue);
    NtQueryObjectFn query = QueryObjectFunction();
    if (hMapping == NULL || query == NULL) return FALSE;
    ObjectBasicInfo info = {};
    ULONG returned = 0;
    if (query(hMapping, 0, &info, sizeof(info), &returned) < 0) return FALSE;
    return info.handleCount < 2;
}

static BOOL ReconnectServer(RibexClientNet *pNet, RibexOpenFailure *pFailure) {
    MsgQHandle hServerQueue = ConnectRibexServer(pNet->serverQueueName, pNet->serverPath, pFailure);
    if (hServerQueue == NULL) return FALSE;
    MsgQClose(pNet->hServerQueue);
    pNet->hServerQueue = hServerQueue;
    return TRUE;
}

// An entry the new server refuses stays remembered: the net keeps what
// the application asked for, and the next reopen tries it again.
static void EnableRemFramesAgain(RibexClientNet *pNet) {
    DWORD count = 0;
    RemFrameEntry *pEntries = CopyRemFrames(pNet, &count);
    for (DWORD i = 0; i < count; ++i) SendEnableRemFrame(pNet, pEntries[i].canId, pEntries[i].length);
    if (pEntries != NULL) HeapFree(GetProcessHeap(), 0, pEntries);
}

static void ScheduleRetry(RibexClientNet *pNet, DWORD errorCode) {
    InterlockedExchange(&pNet->lastReopenError, (LONG)errorCode);
    DWORD backoff = pNet->reopenBackoffMs * 2;
    if (backoff < REOPEN_FIRST_BACKOFF_MS) backoff = REOPEN_FIRST_BACKOFF_MS;
    if (backoff > REOPEN_MAX_BACKOFF_MS) backoff = REOPEN_MAX_BACKOFF_MS;
    pNet->reopenBackoffMs = backoff;
    pNet->nextReopenTick = GetTickCount() + backoff;
}

// Under the request lock: no request of the application runs meanwhile,
// and a close that comes now waits and then closes the reopened net.
static void ReopenNet(RibexClientNet *pNet) {
    EnterCriticalSection(&pNet->requestLock);
    if (!pNet->closed && pNet->link == LINK_GONE && pNet->autoReopen) {
        RibexOpenFailure failure = {};
        if (ReconnectServer(pNet, &failure) && RequestOpen(pNet, &failure)) {
            EnableRemFramesAgain(pNet);
            InterlockedIncrement(&pNet->reopenCount);
            InterlockedExchange(&pNet->lastReopenError, 0);
            pNet->reopenBackoffMs = 0;
            InterlockedExchange(&pNet->link, LINK_REOPENED);
            SetEvent(pNet->hEvent);
        } else {
            ScheduleRetry(pNet, GetLastError());
        }
    }
    LeaveCriticalSection(&pNet->requestLock);
}

static void WatchNet(RibexClientNet *pNet) {
    if (pNet->closed) return;
    if (pNet->link != LINK_GONE && ServerLeftReplyQueue(pNet)) {
        pNet->reopenBackoffMs = 0;
        pNet->nextReopenTick = GetTickCount();
        InterlockedExchange(&pNet->link, LINK_GONE);
        SetEvent(pNet->hEvent);  // wakes a reader waiting on the net
    }
    if (pNet->link == LINK_GONE && pNet->autoReopen &&
        (LONG)(GetTickCount() - pNet->nextReopenTick) >= 0)
        ReopenNet(pNet);
}

// Decided under the watch lock, after the open that adds a net has added
// it: either this thread sees that net, or the open starts a new watcher.
static BOOL StopWatchIfIdle(void) {
    AcquireSRWLockExclusive(&g_watchLock);
    DWORD count = 0;
    RibexClientNet **pNets = AcquireLiveNets(&count);
    for (DWORD i = 0; i < count; ++i) ReleaseNet(pNets[i]);
    if (pNets != NULL) HeapFree(GetProcessHeap(), 0, pNets);
    if (count == 0) g_watchRunning = FALSE;
    ReleaseSRWLockExclusive(&g_watchLock);
    return count == 0;
}

static DWORD WINAPI ServerWatchThread(LPVOID pModule) {
    for (;;) {
        Sleep(SERVER_WATCH_PERIOD_MS);
        DWORD count = 0;
        RibexClientNet **pNets = AcquireLiveNets(&count);
        for (DWORD i = 0; i < count; ++i) {
            WatchNet(pNets[i]);
            ReleaseNet(pNets[i]);
        }
        if (pNets != NULL) HeapFree(GetProcessHeap(), 0, pNets);
        if (count == 0 && StopWatchIfIdle()) break;
    }
    FreeLibraryAndExitThread((HMODULE)pModule, 0);
    return 0;
}

void EnsureServerWatch(void) {
    AcquireSRWLockExclusive(&g_watchLock);
    if (!g_watchRunning) {
        // The thread's own reference of this module: a FreeLibrary of the
        // application leaves the code mapped until the thread has ended.
        HMODULE hSelf = NULL;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                               (LPCWSTR)(void *)EnsureServerWatch, &hSelf)) {
            HANDLE hThread = CreateThread(NULL, 0, ServerWatchThread, hSelf, 0, NULL);
            if (hThread != NULL) {
                CloseHandle(hThread);
                g_watchRunning = TRUE;
            } else {
                FreeLibrary(hSelf);
            }
        }
    }
    ReleaseSRWLockExclusive(&g_watchLock);
}
