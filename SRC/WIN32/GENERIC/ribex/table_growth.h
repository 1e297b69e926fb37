// Growth of the two tables that hang from a net's thread block. Both run
// on the receive thread, while the main thread waits in the handshake.
#pragma once

#include <windows.h>

#include "net_record.h"

#define RIBEX_EVENT_TABLE_STEP 8u
#define RIBEX_REM_REPLY_TABLE_STEP 16u

// Bytes of a client event table block with room for maxNoEvents clients.
size_t RibexEventTableSize(DWORD maxNoEvents);

// Replaces *ppEvents (null counts as capacity 0) by a table 8 slots
// larger holding the same entries in the same order. FALSE with
// ERROR_NOT_ENOUGH_MEMORY leaves the old table; a failure to free the old
// block is reported after the new one is in place.
BOOL ReAllocEventSpace(RibexEventTable *volatile *ppEvents);

// The same for the remote-frame reply table, 16 entries larger.
BOOL ReAllocRemReplySpace(RemReplyTable *volatile *ppRemote);
