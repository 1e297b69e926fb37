// How a failure becomes the caller's last-error value.
#pragma once

#include <windows.h>

#include "trace.h"

inline DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

// The exit line of an operation that reports "TRUE" or "FALSE" and its
// error code (exitFormat takes both), which it leaves as the last-error
// value; non-zero for success.
inline BOOL ExitWith(TraceModule *module, const char *exitFormat, DWORD err) {
    TraceExit(module, exitFormat, err == 0 ? "TRUE" : "FALSE", err);
    SetLastError(err);
    return err == 0;
}

// The error of a wait that did not return the object waited for.
inline DWORD WaitFailureError(DWORD result) {
    return result == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastErrorOr(ERROR_GEN_FAILURE);
}
