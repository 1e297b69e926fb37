// A stand-in for ribex.exe that the client library starts in its tests:
// it keeps the server's start-up, single-instance and client-check rules
// and answers requests from small tables, so that the client side can be
// checked on its own. RIBEX_FAKE_MODE: "serve" (default), "reject" (every
// open is answered with 1306), "silent" (opens get no answer).
// RIBEX_FAKE_LOG names a file that gets one line per event.
//
// An extra request, id 0x100 {id, count, netName[52]}, makes it publish
// count frames into that net's receive buffer and wake its clients.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "msgq.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "rx_test_writer.h"

#define FAKE_WRITE_FRAMES 0x100u
#define FAKE_MAX_CLIENTS 16
#define FAKE_MAX_REPLIES 64
#define FAKE_NO_MSG_PER_READ 2u
#define FAKE_CHECK_MS 250u

struct FakeWriteReq {
    uint32_t id;
    uint32_t count;
    wchar_t netName[RIBEX_NET_NAME_MAX];
};

struct FakeNet {
    wchar_t name[RIBEX_NET_NAME_MAX];
    HANDLE hMapping;
    RxBufferLayout *p;
    uint64_t serial;
};

struct FakeClient {
    bool inUse;
    bool registered;
    DWORD ref, high, low;
    FakeNet *pNet;
    MsgQHandle hReply;
    HANDLE hEvent;
};

struct FakeReply {
    DWORD high;
    DWORD canId;
};

static wchar_t g_logPath[MAX_PATH];
static char g_mode[16] = "serve";
static FakeNet g_nets[FAKE_MAX_CLIENTS];
static FakeClient g_clients[FAKE_MAX_CLIENTS];
static FakeReply g_replies[FAKE_MAX_REPLIES];
static int g_noReplies;
static DWORD g_nextRef = 0x100;

static void Log(const char *format, ...) {
    if (g_logPath[0] == L'\0') return;
    char line[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line) - 2, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > (int)sizeof(line) - 2) n = sizeof(line) - 2;
    line[n++] = '\n';
    HANDLE h = CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(h, line, (DWORD)n, &written, NULL);
    CloseHandle(h);
}

static FakeNet *GetNet(const wchar_t *name) {
    for (FakeNet &net : g_nets)
        if (net.p != NULL && wcscmp(net.name, name) == 0) return &net;
    for (FakeNet &net : g_nets) {
        if (net.p != NULL) continue;
        wchar_t *pMapName = CreateUniqueName(name, 0, 0, L"FMO");
        net.hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE | SEC_COMMIT, 0,
                                          RX_BUFFER_SIZE, pMapName);
        HeapFree(GetProcessHeap(), 0, pMapName);
        if (net.hMapping == NULL) return NULL;
        net.p = (RxBufferLayout *)MapViewOfFile(net.hMapping, FILE_MAP_WRITE, 0, 0, 0);
        if (net.p == NULL) return NULL;
        rx_test::Init(net.p, FAKE_NO_MSG_PER_READ);
        wcscpy(net.name, name);
        net.serial = 0;
        return &net;
    }
    return NULL;
}

static FakeClient *FindClient(DWORD ref) {
    for (FakeClient &c : g_clients)
        if (c.inUse && c.ref == ref) return &c;
    return NULL;
}

static void SendStatus(FakeClient *pClient, DWORD errorCode) {
    canStatusCfmMsg cfm = {RIBEX_CFM_STATUS, errorCode};
    MsgQSend(pClient->hReply, &cfm, sizeof(cfm), 0);
}

static void HandleOpen(const canIfOpenReqMsg *pReq) {
    wchar_t net[RIBEX_NET_NAME_MAX];
    wmemcpy(net, pReq->netName, RIBEX_NET_NAME_MAX);
    net[RIBEX_NET_NAME_MAX - 1] = L'\0';
    DWORD high = pReq->uniqueId.high, low = pReq->uniqueId.low;
    MsgQHandle hReply = OpenMsgQ(net, high, low);
    if (hReply == NULL) {
        Log("open %ls %x %x noreply %lu", net, high, low, GetLastError());
        return;
    }
    // The client must have made its wake-up event before asking.
    wchar_t *pEventName = CreateUniqueName(net, high, low, L"EVT");
    HANDLE hEvent = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, pEventName);
    DWORD errorCode = hEvent == NULL ? GetLastError() : ERROR_SUCCESS;
    HeapFree(GetProcessHeap(), 0, pEventName);
    if (strcmp(g_mode, "silent") == 0) {
        Log("open %ls %x %x %u %u silent", net, high, low, pReq->majorVersion, pReq->minorVersion);
        if (hEvent != NULL) CloseHandle(hEvent);
        MsgQClose(hReply);
        return;
    }
    if (errorCode == ERROR_SUCCESS && strcmp(g_mode, "reject") == 0) errorCode = ERROR_REVISION_MISMATCH;
    FakeNet *pNet = errorCode == ERROR_SUCCESS ? GetNet(net) : NULL;
    if (errorCode == ERROR_SUCCESS && pNet == NULL) errorCode = ERROR_NOT_ENOUGH_MEMORY;

    FakeClient *pClient = NULL;
    for (FakeClient &c : g_clients)
        if (!c.inUse) {
            pClient = &c;
            break;
        }
    if (pClient == NULL) {
        MsgQClose(hReply);
        if (hEvent != NULL) CloseHandle(hEvent);
        return;
    }
    // Like the server, it keeps the reply queue until the client closes.
    *pClient = FakeClient{true, errorCode == ERROR_SUCCESS, g_nextRef++, high, low, pNet, hReply, hEvent};
    // Logged before the answer: a test reads the log once it has it.
    Log("open %ls %x %x %u %u -> %lu %x", net, high, low, pReq->majorVersion, pReq->minorVersion,
        errorCode, pClient->ref);
    canIfOpenCfmMsg cfm = {RIBEX_CFM_IF_OPEN, errorCode, pClient->ref};
    MsgQSend(hReply, &cfm, sizeof(cfm), 0);
}

static void HandleClose(const canIfCloseReqMsg *pReq) {
    FakeClient *pClient = FindClient(pReq->hMsgQRef);
    Log("close %x %x %x%s", pReq->hMsgQRef, pReq->uniqueId.high, pReq->uniqueId.low,
        pClient == NULL ? " unknown" : "");
    if (pClient == NULL) return;
    SendStatus(pClient, pClient->registered ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    MsgQClose(pClient->hReply);
    if (pClient->hEvent != NULL) CloseHandle(pClient->hEvent);
    pClient->inUse = false;
}

static int FindReply(DWORD canId) {
    for (int i = 0; i < g_noReplies; ++i)
        if (g_replies[i].canId == canId) return i;
    return -1;
}

static void HandleRemFrame(const msgReq *pReq) {
    FakeClient *pClient = FindClient(pReq->canEnableRemFrameReq.hMsgQRef);
    if (pClient == NULL) return;
    if (pReq->id == RIBEX_REQ_ENABLE_REM_FRAME) {
        DWORD canId = pReq->canEnableRemFrameReq.can.id;
        Log("enable %x %u", canId, pReq->canEnableRemFrameReq.length);
        if (FindReply(canId) >= 0) return SendStatus(pClient, ERROR_ALREADY_EXISTS);
        if (g_noReplies == FAKE_MAX_REPLIES) return SendStatus(pClient, ERROR_NOT_ENOUGH_MEMORY);
        g_replies[g_noReplies++] = FakeReply{pClient->high, canId};
        SendStatus(pClient, ERROR_SUCCESS);
    } else if (pReq->id == RIBEX_REQ_DISABLE_REM_FRAME) {
        int i = FindReply(pReq->canDisableRemFrameReq.canId);
        Log("disable %x", pReq->canDisableRemFrameReq.canId);
        if (i < 0) return SendStatus(pClient, ERROR_NOT_FOUND);
        g_replies[i] = g_replies[--g_noReplies];
        SendStatus(pClient, ERROR_SUCCESS);
    } else {
        DWORD index = pReq->canEnumRemFrameReq.index;
        canEnumRemFrameCfmMsg cfm = {RIBEX_CFM_ENUM_REM_FRAME, ERROR_NO_MORE_ITEMS, 0};
        if (index < (DWORD)g_noReplies) {
            cfm.errorCode = ERROR_SUCCESS;
            cfm.canId = g_replies[index].canId;
        }
        MsgQSend(pClient->hReply, &cfm, sizeof(cfm), 0);
    }
}

static void HandleDisableAll(const canDisableAllRemFrameReqMsg *pReq) {
    Log("disableall %x", pReq->uniqueIdHigh);
    for (int i = 0; i < g_noReplies;)
        if (g_replies[i].high == pReq->uniqueIdHigh)
            g_replies[i] = g_replies[--g_noReplies];
        else
            ++i;
}

static void HandleWrite(const FakeWriteReq *pReq) {
    wchar_t net[RIBEX_NET_NAME_MAX];
    wmemcpy(net, pReq->netName, RIBEX_NET_NAME_MAX);
    net[RIBEX_NET_NAME_MAX - 1] = L'\0';
    FakeNet *pNet = GetNet(net);
    if (pNet == NULL) return;
    for (uint32_t i = 0; i < pReq->count; ++i) rx_test::WriteFrame(pNet->p, ++pNet->serial, FAKE_NO_MSG_PER_READ);
    for (FakeClient &c : g_clients)
        if (c.inUse && c.registered && c.pNet == pNet) SetEvent(c.hEvent);
    Log("wrote %u", pReq->count);
}

int wmain(int argc, wchar_t **argv) {
    GetEnvironmentVariableW(L"RIBEX_FAKE_LOG", g_logPath, MAX_PATH);
    GetEnvironmentVariableA("RIBEX_FAKE_MODE", g_mode, sizeof(g_mode));
    const wchar_t *queueName = argv[argc - 1];
    Log("start %lu", GetCurrentProcessId());

    HANDLE hGlobalLock = CreateMutexW(NULL, FALSE, L"ribexGlobLockMtx");
    WaitForSingleObject(hGlobalLock, INFINITE);
    HANDLE hMarker = CreateMutexW(NULL, FALSE, L"ribexMultInstMtx");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        ReleaseMutex(hGlobalLock);
        Log("second");
        return ERROR_ALREADY_EXISTS;
    }
    ReleaseMutex(hGlobalLock);
    MsgQHandle hQueue = MsgQOpen(queueName, 0);
    if (hQueue == NULL) return (int)GetLastError();

    for (;;) {
        msgReq request;
        memset(&request, 0, sizeof(request));
        DWORD length = 0;
        if (!MsgQReceive(hQueue, &request, sizeof(request), &length, FAKE_CHECK_MS)) {
            if (GetLastError() != ERROR_TIMEOUT) continue;
            MsgQClose(hQueue);
            Sleep(20);
            WaitForSingleObject(hGlobalLock, INFINITE);
            hQueue = MsgQOpen(queueName, 0);
            if (hQueue == NULL) {
                CloseHandle(hMarker);
                ReleaseMutex(hGlobalLock);
                Log("end");
                return 0;
            }
            ReleaseMutex(hGlobalLock);
            continue;
        }
        switch (request.id) {
        case RIBEX_REQ_IF_OPEN: HandleOpen(&request.canIfOpenReq); break;
        case RIBEX_REQ_IF_CLOSE: HandleClose(&request.canIfCloseReq); break;
        case RIBEX_REQ_DISABLE_ALL_REM_FRAME: HandleDisableAll(&request.canDisableAllRemFrameReq); break;
        case RIBEX_REQ_ENUM_REM_FRAME:
        case RIBEX_REQ_ENABLE_REM_FRAME:
        case RIBEX_REQ_DISABLE_REM_FRAME: HandleRemFrame(&request); break;
        case FAKE_WRITE_FRAMES: HandleWrite((const FakeWriteReq *)&request); break;
        default: Log("id %x", request.id); break;
        }
    }
}
