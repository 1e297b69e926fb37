// Object names built from a net name and a client's unique id, and the
// reply-queue wrappers that open and create queues by such names.
//
// Names are heap strings from the process heap; the caller frees them with
// HeapFree(GetProcessHeap(), 0, name).
#pragma once

#include <windows.h>

#include "msgq.h"

// The machine-wide objects of the server's start and its client check:
// the global lock serialises both against every client, the instance
// marker exists while a server runs.
#define RIBEX_GLOBAL_LOCK_NAME L"ribexGlobLockMtx"
#define RIBEX_INSTANCE_MARKER_NAME L"ribexMultInstMtx"

// prefix + high and low as 8 lowercase hex digits each + suffix.
wchar_t *CreateUniqueName(const wchar_t *prefix, DWORD high, DWORD low, const wchar_t *suffix);

// "\\.\" + name.
wchar_t *CreateDevicePath(const wchar_t *name);

// The client's reply queue: baseName + high + low. OpenMsgQ makes one
// attempt; CreateMsgQ succeeds only for a queue it created new (room for
// one message).
MsgQHandle OpenMsgQ(const wchar_t *baseName, DWORD high, DWORD low);
MsgQHandle CreateMsgQ(const wchar_t *baseName, DWORD high, DWORD low, DWORD maxMessageSize);
