// Process-wide table of the queue handles that are open in this process.
//
// Every operation checks its handle here before it touches the record, so a
// bad, closed or foreign handle value is refused instead of dereferenced.
// The check is a lock-free probe of a hash table: no kernel call and no lock
// on the send and receive path.
#pragma once

#include "msgq_record.h"

// Adds an open record. FALSE (out of memory) when the table cannot grow.
BOOL MsgQAddLiveHandle(MsgQHandleRecord *record);

// Removes a record; FALSE when it was not in the table.
BOOL MsgQRemoveLiveHandle(MsgQHandleRecord *record);

// TRUE when the value is an open record of this process.
BOOL MsgQIsLiveHandle(const MsgQHandleRecord *record);
