// The running server's instance marker, as tests wait for it: a server
// started by an earlier test must have ended before the next one starts
// its own (the marker is machine-wide, whatever the queue name).
#pragma once

#include <windows.h>

#include "ribex_names.h"
#include "wait_until.h"

namespace ribex_test {

inline bool ServerMarkerExists() {
    HANDLE hMarker = OpenMutexW(SYNCHRONIZE, FALSE, RIBEX_INSTANCE_MARKER_NAME);
    if (hMarker != nullptr) CloseHandle(hMarker);
    return hMarker != nullptr;
}

// The server ends a few seconds after its last client has gone.
inline bool WaitForServerEnd(DWORD timeoutMs) {
    return WaitUntil([] { return !ServerMarkerExists(); }, timeoutMs, 50);
}

}  // namespace ribex_test
