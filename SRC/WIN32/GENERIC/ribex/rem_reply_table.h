// Lookups in a net's remote-frame reply table: which entry holds a CAN
// identifier, and whether a frame from the simulated connection reaches
// the clients (a remote frame only when its identifier is enabled).
#pragma once

#include <windows.h>

#include "net_record.h"

#define REM_FRAME_INDEX_NONE 0xFFFFFFFFu

// Index of the entry whose can.id equals canId in all 32 bits, or
// REM_FRAME_INDEX_NONE (also for a null table).
DWORD GetRemFrameIndex(const RemReplyTable *pRemote, DWORD canId);

// Non-zero: store the simulated frame; 0: drop it. Data frames always
// pass; a remote frame (bit 31) passes only while its identifier with
// bit 31 clear is in the table.
BOOL CheckSimCanBufferStore(const RemReplyTable *pRemote, DWORD id);
