// The list of process-local queues of this process, found by name.
//
// Every handle of a process-local queue copies the list entry's handles and
// block; only the entry closes and frees them, when its last handle goes.
// Each operation returns ERROR_SUCCESS or the error that stopped it.
#pragma once

#include <windows.h>

#include "msgq_record.h"

// Registers a just-created queue (the record holds its three new objects and
// its new heap block) under key, or under no key when key is null. If a queue
// with that key exists already, the record's new objects and block are closed
// and freed, the record takes the existing queue's, and the result is
// ERROR_ALREADY_EXISTS.
DWORD MsgQLocalRegister(MsgQHandleRecord *record, const wchar_t *key);

// Looks key up; when found, the record shares that queue. ERROR_SUCCESS
// whether found or not (*found tells), else the error of the list lock.
DWORD MsgQLocalAttach(MsgQHandleRecord *record, const wchar_t *key, BOOL *found);

// Drops the record's share of its queue (found by block); the last share
// destroys the queue. ERROR_INVALID_HANDLE when no queue has that block.
DWORD MsgQLocalRelease(MsgQHandleRecord *record);
