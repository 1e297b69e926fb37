// The remote-frame identifiers that clients ask the driver to answer: the
// per-net reply table is edited here, on the main thread, and every change
// is passed to the net's receive thread (and from there to the driver)
// through the request handshake.
#pragma once

#include <windows.h>

#include "net_record.h"

// Non-zero on success, the error code as last error: 6 no net has this
// client, 183 the identifier is enabled on that net already (by anyone),
// or the error of the receive thread's confirm.
BOOL EnableRemFrame(DWORD high, DWORD low, DWORD canId);

// 6 no such client, 1168 not enabled, 5 enabled by another process part.
BOOL DisableRemFrame(DWORD high, DWORD low, DWORD canId);

// Removes every entry whose owner is the process part `high`, on every net.
BOOL DisableAllRemFrames(DWORD high);

// The same on one listed net, the driver told of each. An entry whose
// handshake fails stays and the walk goes on (fails with the first error);
// *pNetGone says whether the net was removed because its thread had died. Lines go through module as "\tribex::<callerName>".
BOOL DisableRemFramesOnNet(RibexNet *pRibexNet, DWORD high, TraceModule *module,
                           const char *callerName, BOOL *pNetGone);

// Returns the error code itself: 0 and *pCanId, 6 no such client, 259
// index past the last entry.
DWORD EnumRemFrame(DWORD high, DWORD low, DWORD index, DWORD *pCanId);
