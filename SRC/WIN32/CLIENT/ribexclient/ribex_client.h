// Our client library: what a client program links to use the ribex
// server. It starts the server on demand, opens and closes nets, manages
// remote-frame identifiers and reads frames from a net's shared receive
// buffer with a read position and lap number of its own.
//
// Results: non-zero on success; on failure zero with the cause as the
// thread's last-error value (the server's error code where it answered).
//
// ribexclient.dll exports these functions with C linkage and the x64
// calling convention, so C, C++, C#, Python ctypes or LabVIEW can call
// them; its import library is libribexclient.dll.a (ribexclient.lib for
// Microsoft's linker names alike). Link the static variant with
// RIBEX_CLIENT_STATIC defined.
#pragma once

#include <windows.h>

#include "rx_buffer_layout.h"

#if defined(RIBEX_CLIENT_STATIC)
#define RIBEX_CLIENT_API
#elif defined(RIBEX_CLIENT_BUILD)
#define RIBEX_CLIENT_API __declspec(dllexport)
#else
#define RIBEX_CLIENT_API __declspec(dllimport)
#endif

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

// The records cross the DLL boundary: their layout is part of the interface.
RIBEX_STATIC_ASSERT(sizeof(RibexFrame) == 40, "RibexFrame is 40 bytes");
RIBEX_STATIC_ASSERT(offsetof(RibexFrame, errorCode) == 24, "RibexFrame.errorCode at 24");
RIBEX_STATIC_ASSERT(offsetof(RibexFrame, simUniqueId) == 28, "RibexFrame.simUniqueId at 28");
RIBEX_STATIC_ASSERT(sizeof(RibexClientOptions) == 40, "RibexClientOptions is 40 bytes");
RIBEX_STATIC_ASSERT(offsetof(RibexClientOptions, serverPath) == 8, "serverPath at 8");
RIBEX_STATIC_ASSERT(offsetof(RibexClientOptions, haveUniqueId) == 16, "haveUniqueId at 16");
RIBEX_STATIC_ASSERT(offsetof(RibexClientOptions, majorVersion) == 28, "majorVersion at 28");
RIBEX_STATIC_ASSERT(offsetof(RibexClientOptions, confirmTimeoutMs) == 36,
                    "confirmTimeoutMs at 36");

RIBEX_CLIENT_API BOOL RibexOpenNet(const wchar_t *netName, const RibexClientOptions *options,
                  RibexClientNet **ppNet);
RIBEX_CLIENT_API BOOL RibexCloseNet(RibexClientNet *pNet);

RIBEX_CLIENT_API BOOL RibexEnableRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length);
RIBEX_CLIENT_API BOOL RibexDisableRemFrame(RibexClientNet *pNet, DWORD canId);
// FALSE with ERROR_NO_MORE_ITEMS past the last entry.
RIBEX_CLIENT_API BOOL RibexEnumRemFrame(RibexClientNet *pNet, DWORD index, DWORD *pCanId);
// Drops every remote-frame reply of this client's process on every net
// (the server sends no confirm for it).
RIBEX_CLIENT_API BOOL RibexDisableAllRemFrames(RibexClientNet *pNet);

// Copies up to maxFrames published entries from the client's read
// position. Waits up to timeoutMs on the wake-up event when none is there
// (TRUE with *pNoFrames 0 after the time-out). *pLostFrames receives the
// entries the writer overwrote before this client read them.
RIBEX_CLIENT_API BOOL RibexReadFrames(RibexClientNet *pNet, RibexFrame *frames, DWORD maxFrames,
                     DWORD *pNoFrames, DWORD *pLostFrames, DWORD timeoutMs);

RIBEX_CLIENT_API HANDLE RibexGetWakeEvent(RibexClientNet *pNet);
RIBEX_CLIENT_API void RibexGetUniqueId(RibexClientNet *pNet, DWORD *pHigh, DWORD *pLow);
// The client's view of the net's receive buffer (read only by contract).
RIBEX_CLIENT_API const RxBufferLayout *RibexGetRxBuffer(RibexClientNet *pNet);

// The library's version (the project's one number, e.g. 1.0.0). Any
// pointer may be null. Returns the version as text.
RIBEX_CLIENT_API const char *RibexGetVersion(DWORD *pMajor, DWORD *pMinor, DWORD *pPatch);

#ifdef __cplusplus
}
#endif
