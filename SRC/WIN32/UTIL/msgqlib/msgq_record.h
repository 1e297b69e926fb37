// The record behind a MsgQHandle. Private to the library.
#pragma once

#include <windows.h>

#include "msgq_block.h"

// Marks a record as a live queue handle; cleared before the record is freed,
// so that a stale pointer to a freed record no longer passes for a handle.
constexpr DWORD MSGQ_RECORD_CHECK = 0x5147734Du;  // "MsgQ"

struct MsgQHandleRecord {
    HANDLE hMsgSem;     // one count per queued message
    HANDLE hFreeSem;    // one count per free slot
    HANDLE hMutex;      // serialises senders
    HANDLE hMap;        // file mapping of a named queue; null for a process-local one
    MsgQBlock *pShared; // mapped view, or the heap block of a process-local queue
    DWORD checkValue;   // MSGQ_RECORD_CHECK while the handle is open
    DWORD viewSize;     // bytes of pShared that are ours to touch
};
