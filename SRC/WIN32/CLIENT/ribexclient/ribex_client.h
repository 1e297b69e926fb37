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
//
// Lifetimes of what the library hands out (it owns all of them):
// - RibexClientNet *: from the open that returned it until RibexCloseNet
//   takes it; a closed, foreign or garbage pointer fails with
//   ERROR_INVALID_HANDLE.
// - RibexGetWakeEvent's handle and RibexGetRxBuffer's view: valid, and the
//   same, from the open until RibexCloseNet on the net, also across a
//   reopen after the server went away; RibexCloseNet closes the handle and
//   unmaps the view. No wait on the handle may still run when RibexCloseNet
//   is called (DuplicateHandle it to keep it longer).
// - RibexGetVersion's string: static, while ribexclient.dll is loaded.
// Everything else (options, RibexOpenFailure, frame arrays, texts) is the
// caller's and is not kept past the call.
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

// The step of an open that failed, so that a tool can say what was tried.
typedef enum RibexOpenStep {
    RIBEX_OPEN_DONE = 0,      // the net is open
    RIBEX_OPEN_ARGUMENTS,     // net name empty or too long, no place for the net
    RIBEX_OPEN_SERVER_QUEUE,  // the global lock or the server queue
    RIBEX_OPEN_SERVER_START,  // ribex.exe could not be started (serverPath)
    RIBEX_OPEN_REPLY_QUEUE,   // this client's reply queue
    RIBEX_OPEN_WAKE_EVENT,    // this client's wake-up event
    RIBEX_OPEN_REQUEST,       // the request was not sent or not answered in time
    RIBEX_OPEN_REFUSED,       // the server answered with an error code
    RIBEX_OPEN_RX_BUFFER,     // the net's receive buffer could not be mapped
    RIBEX_OPEN_MEMORY         // this process ran out of memory
} RibexOpenStep;

typedef struct RibexOpenFailure {
    RibexOpenStep step;
    DWORD errorCode;         // the Windows error code of that step
    DWORD uniqueIdHigh;      // the unique id the open used
    DWORD uniqueIdLow;
    DWORD majorVersion;      // the interface version asked for
    DWORD confirmTimeoutMs;  // how long the answer was awaited
    wchar_t serverPath[MAX_PATH];  // RIBEX_OPEN_SERVER_START: the program tried
} RibexOpenFailure;

// RibexOpenNet that also fills *pFailure (may be null): step RIBEX_OPEN_DONE
// on success, otherwise the step that failed and its error code.
BOOL RibexOpenNetEx(const wchar_t *netName, const RibexClientOptions *options,
                    RibexClientNet **ppNet, RibexOpenFailure *pFailure);

// One line for the user: what was tried, what to do about it, and the error
// code with the system's text for it, e.g. for a net nobody serves:
//   no device \\.\NET, and no simulated peer queue named NET appeared in time:
//   start 'canpeer -s NET' or load the driver (error 1460: ...)
// Returns the characters written (the text is cut to fit chars).
DWORD RibexDescribeOpenFailure(const wchar_t *netName, const RibexOpenFailure *pFailure,
                               wchar_t *text, DWORD chars);
BOOL RibexCloseNet(RibexClientNet *pNet);

BOOL RibexEnableRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length);
BOOL RibexDisableRemFrame(RibexClientNet *pNet, DWORD canId);
// FALSE with ERROR_NO_MORE_ITEMS past the last entry.
BOOL RibexEnumRemFrame(RibexClientNet *pNet, DWORD index, DWORD *pCanId);
// Drops every remote-frame reply of this client's process on every net
// (the server sends no confirm for it).
BOOL RibexDisableAllRemFrames(RibexClientNet *pNet);

// The server went away (killed or crashed). A background thread of the
// library sees within about 250 ms that the server no longer holds a net's
// reply queue and wakes the net's readers. A read takes what was published
// before the death, then fails once with this code (ERROR_PROCESS_ABORTED).
// Meanwhile the library starts a server as the first open does and opens
// the net again under the same unique id, enabling again the remote-frame
// replies this net had enabled; the next read after that fails once with
// RIBEX_ERROR_NET_REOPENED and reading goes on from the new server's
// frames. Frames the bus carried in between are lost. Requests made while
// the server is gone fail with RIBEX_ERROR_SERVER_GONE at once.
// With RibexSetAutoReopen(pNet, FALSE) the net stays gone: every read with
// nothing left to take fails with RIBEX_ERROR_SERVER_GONE; close the net.
#define RIBEX_ERROR_SERVER_GONE ERROR_PROCESS_ABORTED
// An application-defined code (bit 29 set, so no system code is taken):
// the net was opened again on a new server; frames in between are lost.
#define RIBEX_ERROR_NET_REOPENED 0x20000001u

typedef enum RibexNetState {
    RIBEX_NET_OPEN = 0,         // the server serves the net
    RIBEX_NET_SERVER_GONE = 1,  // the server went away; reopening (unless turned off)
    RIBEX_NET_REOPENED = 2      // opened again; the next read reports it and the state is OPEN again
} RibexNetState;

typedef struct RibexNetStatus {
    DWORD state;            // RibexNetState
    DWORD reopenCount;      // times the net was opened again since RibexOpenNet
    DWORD lastReopenError;  // the error of the last failed try to open it again, 0 for none
    BOOL autoReopen;        // TRUE unless turned off
} RibexNetStatus;

BOOL RibexGetNetStatus(RibexClientNet *pNet, RibexNetStatus *pStatus);
// On by default. Off: the library leaves a net whose server went away as it is.
BOOL RibexSetAutoReopen(RibexClientNet *pNet, BOOL enable);

// Copies up to maxFrames published entries from the client's read
// position. Waits up to timeoutMs on the wake-up event when none is there
// (TRUE with *pNoFrames 0 after the time-out). *pLostFrames receives the
// entries the writer overwrote before this client read them.
BOOL RibexReadFrames(RibexClientNet *pNet, RibexFrame *frames, DWORD maxFrames,
                     DWORD *pNoFrames, DWORD *pLostFrames, DWORD timeoutMs);

// The net's auto-reset wake-up event, which the server sets after each
// publication: wait on it (alone or with other handles), never close, set
// or reset it. Lifetime above; null with ERROR_INVALID_HANDLE for an
// unknown net.
HANDLE RibexGetWakeEvent(RibexClientNet *pNet);
void RibexGetUniqueId(RibexClientNet *pNet, DWORD *pHigh, DWORD *pLow);
// The client's view of the net's receive buffer, mapped read-only (a write
// faults). Lifetime above; null with ERROR_INVALID_HANDLE for an unknown
// net.
const RxBufferLayout *RibexGetRxBuffer(RibexClientNet *pNet);
// The library's version, e.g. "1.0.0"; the numbers where pointers are given.
// A static string (lifetime above).
const char *RibexGetVersion(DWORD *pMajor, DWORD *pMinor, DWORD *pPatch);

#ifdef __cplusplus
}
#endif
