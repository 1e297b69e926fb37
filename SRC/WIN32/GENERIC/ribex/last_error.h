// The last-error value of a call that failed, never 0: a failure must not
// read as success to the caller.
#pragma once

#include <windows.h>

inline DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

// The error of a wait that did not return the object waited for.
inline DWORD WaitFailureError(DWORD result) {
    return result == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastErrorOr(ERROR_GEN_FAILURE);
}
