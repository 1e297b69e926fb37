// Proof that a server went through a client check while nobody asked it
// to: an idle server writes no trace line, but its check lets go of its
// handle on the server queue for 100 ms and opens it again, and the dip in
// the queue's handle count shows from outside.
#pragma once

#include <windows.h>

#include "msgq.h"

namespace ribex_test {

// The handles open on the queue's shared block in every process (0 when
// it cannot be told).
DWORD QueueHandleCount(MsgQHandle hQueue);

// Waits (up to limitMs) until the handle count of the server queue, which
// the caller holds open, has dipped and come back: one client check went
// by, and with it the client-liveness checks of the seconds before it.
bool WaitForIdleClientCheck(MsgQHandle hServerQueue, DWORD limitMs);

}  // namespace ribex_test
