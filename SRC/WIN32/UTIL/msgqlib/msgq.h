// Message queue library: bounded queues of length-prefixed messages,
// named (between processes) or process-local, that repair themselves after
// a peer was killed in the middle of an operation.
//
// Results: a handle or null, non-zero or zero; the cause is always the
// thread's last-error value.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MSGQ_NAMED 0x1

typedef struct MsgQHandleRecord *MsgQHandle;

MsgQHandle MsgQCreate(const wchar_t *name, DWORD maxMsgs, DWORD maxMessageSize, DWORD flags);
MsgQHandle MsgQOpen(const wchar_t *name, DWORD timeout);
BOOL MsgQSend(MsgQHandle hMsgQ, const void *message, DWORD length, DWORD timeout);
BOOL MsgQReceive(MsgQHandle hMsgQ, void *buffer, DWORD bufferSize, DWORD *receivedLength,
                 DWORD timeout);
BOOL MsgQClose(MsgQHandle hMsgQ);

#ifdef __cplusplus
}
#endif
