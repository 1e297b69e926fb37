// A net as the client library holds it, shared by the request code, the
// server watcher and the remote-frame memory of the library.
#pragma once

#include <windows.h>

#include "msgq.h"
#include "ribex_client.h"
#include "ribex_messages.h"
#include "rx_reader.h"

// Where the net stands with its server. The watcher moves UP to GONE and
// GONE to REOPENED; the reader moves REOPENED back to UP once it has
// reported the reopen. Values are RibexNetState's.
enum NetLink { LINK_UP = RIBEX_NET_OPEN, LINK_GONE = RIBEX_NET_SERVER_GONE, LINK_REOPENED = RIBEX_NET_REOPENED };

// A remote-frame reply this net enabled, to enable again on a new server.
struct RemFrameEntry {
    DWORD canId;
    DWORD length;
};

struct RibexClientNet {
    volatile LONG refCount;        // the live table's reference + calls in progress
    CRITICAL_SECTION requestLock;  // one request/confirm exchange at a time; held by a reopen
    CRITICAL_SECTION readLock;     // one reader of the ring at a time
    wchar_t netName[RIBEX_NET_NAME_MAX];
    DWORD high, low;
    DWORD hMsgQRef;
    DWORD confirmTimeoutMs;
    DWORD majorVersion, minorVersion;
    wchar_t *serverQueueName;  // heap copies of the open's options, for a reopen
    wchar_t *serverPath;       // null: beside the client executable
    MsgQHandle hServerQueue;   // held while the net is open: keeps the server alive
    MsgQHandle hReplyQueue;
    HANDLE hEvent;
    HANDLE hMapping;
    const RxBufferLayout *pRxBuffer;
    RxReader reader;

    volatile LONG link;         // NetLink
    volatile LONG autoReopen;   // 0: leave a gone net as it is
    volatile LONG reopenCount;
    volatile LONG lastReopenError;
    DWORD nextReopenTick;       // watcher only: when to try again after a failure
    DWORD reopenBackoffMs;      // watcher only
    volatile LONG closed;       // set by the close, under the request lock
    BOOL goneReported;          // reader only (readLock): the read reported the death

    SRWLOCK remLock;  // guards remFrames, noRemFrames, maxRemFrames
    RemFrameEntry *remFrames;
    DWORD noRemFrames, maxRemFrames;
};

// Takes a reference for the length of one call; with remove, also takes
// the net out of the live table (its reference passes to the caller).
// FALSE (ERROR_INVALID_HANDLE) for a net that is not open.
BOOL AcquireNet(RibexClientNet *pNet, BOOL remove);
void ReleaseNet(RibexClientNet *pNet);
// References to every open net (each to be released), in a heap block.
RibexClientNet **AcquireLiveNets(DWORD *pCount);

// The open request and its confirm (sets hMsgQRef).
BOOL RequestOpen(RibexClientNet *pNet, RibexOpenFailure *pFailure);
// A request answered by a status confirm; FALSE with the server's code.
BOOL StatusRequest(RibexClientNet *pNet, const void *pRequest, DWORD length);
BOOL SendEnableRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length);

// TRUE when the server no longer holds this net's reply queue (it holds a
// handle of every open client's): the server has gone. FALSE when it
// cannot be told. One kernel call.
BOOL ServerLeftReplyQueue(RibexClientNet *pNet);

// The server watcher: started with the first open net, it ends by itself
// when no net is open. It holds a reference of the module while it runs,
// so unloading the DLL never pulls the code from under it.
void EnsureServerWatch(void);

// The remote-frame replies a net has enabled (rem_frame_memory.cpp).
void RememberRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length);
void ForgetRemFrame(RibexClientNet *pNet, DWORD canId);
void ForgetAllRemFrames(RibexClientNet *pNet);
// A copy of the entries, in a heap block (null when there are none).
RemFrameEntry *CopyRemFrames(RibexClientNet *pNet, DWORD *pCount);
