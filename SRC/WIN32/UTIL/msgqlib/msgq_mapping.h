// A look at what a queue handle holds, for callers that watch who else
// holds the same queue (the kernel's handle count of its objects).
#pragma once

#include <windows.h>

#include "msgq.h"

#ifdef __cplusplus
extern "C" {
#endif

// The file mapping of a named queue as this handle holds it: one handle
// per MsgQCreate/MsgQOpen. Borrowed: valid while hMsgQ is open, never to
// be closed by the caller. Null with ERROR_INVALID_HANDLE for a handle
// that is not open, ERROR_NOT_SUPPORTED for a process-local queue.
HANDLE MsgQGetMappingHandle(MsgQHandle hMsgQ);

#ifdef __cplusplus
}
#endif
