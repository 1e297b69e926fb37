// The record the registry keeps per open net, the block it shares with the
// net's receive thread, the client event table, the remote-frame reply
// table, and the request handshake between the main thread and the
// receive thread.
//
// Who frees what: the registry (net_registry.cpp) makes the record, its
// handshake events, its thread and its receive buffer mapping and view, and
// frees them with the net, together with the remote-frame reply table,
// which the receive thread grows but never frees. The client event table
// and the clients' events in it are the receive thread's while it runs;
// when the thread ends it frees them itself if someone waits for its end
// (an exit request, a failed start-up, a table that could not grow), and
// otherwise leaves them to the registry, which frees them with the net.
#pragma once

#include <windows.h>

#include "rx_buffer_layout.h"
#include "trace.h"

// Requests to a net's receive thread (threadParam.req).
#define CAN_THREAD_EXIT 0u
#define CAN_THREAD_REALLOC_EVENTS 1u
#define CAN_THREAD_REALLOC_REMREPLIES 2u
#define CAN_THREAD_ENABLE_REMREPLY 3u
#define CAN_THREAD_DISABLE_REMREPLY 4u

// Client event table: one heap block, header then maxNoEvents ids then
// maxNoEvents handles. Grown by 8 slots by the receive thread only.
typedef struct RibexEventTable {
    DWORD maxNoEvents;
    volatile DWORD noEvents;  // written last when adding, first when removing
    RxUniqueId *pUniqueId;
    HANDLE *pEventHandle;
} RibexEventTable;

// Remote-frame reply table: grown by 16 by the receive thread only.
typedef struct RemReply {
    DWORD uniqueProcId;  // high half of the enabling client's unique id
    struct {
        DWORD id;
    } can;
} RemReply;

typedef struct RemReplyTable {
    DWORD maxNoReplies;
    volatile DWORD noReplies;
    RemReply reply[1];  // maxNoReplies entries
} RemReplyTable;

#define REM_REPLY_TABLE_SIZE(n) (offsetof(RemReplyTable, reply) + (size_t)(n) * sizeof(RemReply))

typedef struct RibexThreadParam {
    volatile DWORD req;
    volatile DWORD reqIndex;
    volatile DWORD errorCodeCfm;
    HANDLE hEventReq;  // manual reset: set by the requester, reset by the thread
    HANDLE hEventCfm;  // manual reset: reset by the requester, set by the thread
    RxBufferLayout *pRxBuffer;
    RibexEventTable *volatile pEvents;
    RemReplyTable *volatile pRemote;
    // Written by the simulated CAN reader before it signals the thread.
    RxMsg simMsg;
    RxUniqueId simUniqueId;
    volatile DWORD simErrorCode;
    // Odd while the receive thread wakes the clients: the main thread
    // closes a removed client's event only once a pass that may have read
    // the handle is over.
    volatile LONG wakePassSeq;
} RibexThreadParam;

typedef struct RibexNet {
    struct RibexNet *next;
    struct RibexNet *prev;
    HANDLE hFileMappingObject;
    HANDLE hThread;
    RibexThreadParam threadParam;
    wchar_t name[1];  // NUL-terminated, allocated with the record
} RibexNet;

// Requester side of the handshake (main thread), for every code but
// CAN_THREAD_EXIT: stores req/reqIndex, resets hEventCfm, sets hEventReq and
// waits for the confirm or the thread's end, whichever comes first. A
// thread that ended fails the request with its exit code. Failures are
// traced through `module` as "\tribex::<callerName>, ..." lines.
BOOL RequestNetThread(RibexNet *pRibexNet, DWORD req, DWORD reqIndex, TraceModule *module,
                      const char *callerName);

// The waiting half of that: for the start-up confirm of a new thread and
// for every request. A confirm carrying an error fails with it.
BOOL AwaitNetThreadConfirm(RibexNet *pRibexNet, TraceModule *module, const char *callerName);

// Posts CAN_THREAD_EXIT and waits, without time-out, for the thread's
// end. Returns 0 or the error code, with the failure's line written.
DWORD StopNetThread(RibexNet *pRibexNet, TraceModule *module, const char *callerName);

// Main thread, after taking a client out of the table: waits until no wake
// pass that could still hold hEvent runs (or the thread has ended), then
// closes it. FALSE with CloseHandle's error.
BOOL CloseRemovedClientEvent(RibexNet *pRibexNet, HANDLE hEvent);

// Receive thread: bracket every pass that reads the client event table.
void BeginWakePass(RibexThreadParam *pThreadData);
void EndWakePass(RibexThreadParam *pThreadData);

// The receive thread; its parameter is the RibexNet record.
DWORD WINAPI CanReadThread(LPVOID pParam);
