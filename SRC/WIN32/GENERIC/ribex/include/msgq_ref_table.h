// The reply-queue handles that the server hands to clients as 32-bit
// hMsgQRef values. Handles are pointer-size; the wire carries 32 bits, so
// the server issues small values from a table and looks every value a
// client sends back up before it touches the queue.
#pragma once

#include <windows.h>

#include "msgq.h"

// Issues a non-zero reference for hMsgQ, the reply queue of the client
// with unique id (high, low); 0 (ERROR_NOT_ENOUGH_MEMORY) when the table
// cannot grow.
DWORD IssueMsgQRef(MsgQHandle hMsgQ, DWORD high, DWORD low);

// The handle behind ref, or null (ERROR_INVALID_HANDLE) for a value never
// issued or already retired.
MsgQHandle LookupMsgQRef(DWORD ref);

// Whether ref is live and was issued for the reply queue of unique id
// (high, low).
BOOL MsgQRefIsOf(DWORD ref, DWORD high, DWORD low);

// Forgets ref; FALSE (ERROR_INVALID_HANDLE) when it is not issued.
BOOL RetireMsgQRef(DWORD ref);
