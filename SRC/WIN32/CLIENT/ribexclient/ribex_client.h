// Our client library: what a client program links to use the ribex
// server. It starts the server on demand, opens and closes nets, manages
// remote-frame identifiers and reads frames from a net's shared receive
// buffer with a read position and lap number of its own.
//
// Results: non-zero on success; on failure zero with the cause as the
// thread's last-error value (the server's error code where it answered).
//
// ribexclient.dll exports these functions by name (ribexclient.def) with C
// linkage, for C, C++, C#, Python ctypes or LabVIEW; link ribexclient.lib.
#pragma once

#include <windows.h>

#include "rx_buffer_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RIBEX_DEFAULT_SERVER_QUEUE L"ribexServerQueue"

typedef struct RibexClientOptions {
    const wchar_t *serverQueueName;  // null: RIBEX_DEFAULT_SERVER_QUEUE
    const wchar_t *serverPath;       // null: ribex.exe beside the client executable
    BOOL haveUniqueId;               // FALSE: high = process id, low = per-process counter
    DWORD uniqueIdHigh;
    DWORD uniqueIdLow;
    DWORD majorVersion;              // 0: the server's version (6)
    DWORD minorVersion;
    DWORD confirmTimeoutMs;          // 0: 10000
} RibexClientOptions;

typedef struct RibexClientNet RibexClientNet;

// One entry of the receive buffer as a client sees it.
typedef struct RibexFrame {
    RxMsg msg;
    DWORD errorCode;         // 0: msg is a frame; otherwise an error entry
    RxUniqueId simUniqueId;  // {0, 0} for device frames
} RibexFrame;

BOOL RibexOpenNet(const wchar_t *netName, const RibexClientOptions *options,
                  RibexClientNet **ppNet);
BOOL RibexCloseNet(RibexClientNet *pNet);

BOOL RibexEnableRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length);
BOOL RibexDisableRemFrame(RibexClientNet *pNet, DWORD canId);
// FALSE with ERROR_NO_MORE_ITEMS past the last entry.
BOOL RibexEnumRemFrame(RibexClientNet *pNet, DWORD index, DWORD *pCanId);
// Drops every remote-frame reply of this client's process on every net
// (the server sends no confirm for it).
BOOL RibexDisableAllRemFrames(RibexClientNet *pNet);

// Copies up to maxFrames published entries from the client's read
// position. Waits up to timeoutMs on the wake-up event when none is there
// (TRUE with *pNoFrames 0 after the time-out). *pLostFrames receives the
// entries the writer overwrote before this client read them.
BOOL RibexReadFrames(RibexClientNet *pNet, RibexFrame *frames, DWORD maxFrames,
                     DWORD *pNoFrames, DWORD *pLostFrames, DWORD timeoutMs);

HANDLE RibexGetWakeEvent(RibexClientNet *pNet);
void RibexGetUniqueId(RibexClientNet *pNet, DWORD *pHigh, DWORD *pLow);
// The client's view of the net's receive buffer (read only by contract).
const RxBufferLayout *RibexGetRxBuffer(RibexClientNet *pNet);
// The library's version, e.g. "1.0.0"; the numbers where pointers are given.
const char *RibexGetVersion(DWORD *pMajor, DWORD *pMinor, DWORD *pPatch);

#ifdef __cplusplus
}
#endif
