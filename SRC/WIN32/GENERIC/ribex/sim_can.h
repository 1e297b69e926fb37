// The simulated CAN connection of a net: a peer process writes 32-byte
// SimCanMsg messages into a queue named after the net; a reader thread
// hands them to the receive thread one at a time, each time it is armed.
#pragma once

#include <windows.h>

#include "msgq.h"
#include "sim_can_message.h"

typedef struct SimCan {
    MsgQHandle hMsgQ;
    HANDLE hThread;             // the reader; null until the first arm
    volatile LONG stop;         // set by SimCanClose
    HANDLE hEventArm;           // manual reset; set to ask for one frame
    volatile DWORD readerError; // the error that ended the reader; stays
    RxMsg *pFrame;              // destinations, stored by each arm
    RxUniqueId *pUniqueId;
    HANDLE hEventDone;
    volatile DWORD *pErrorCode;
    // Set once the reader's ending error has been handed over, so that the
    // receive thread gets it exactly once instead of at every arm.
    volatile LONG errorDelivered;
} SimCan;

// Opens the peer's queue (one attempt). Null with the queue's error
// (ERROR_TIMEOUT, 1460, when there is no peer) or ERROR_NOT_ENOUGH_MEMORY.
SimCan *SimCanOpen(const wchar_t *netName);

// Asks for the next frame. The outcome arrives through *pErrorCode and
// hEventDone: 0 with a frame, ERROR_BAD_LENGTH (24) or ERROR_INVALID_DATA
// (13) for a malformed message (the reader goes on), or once the error
// that ended the connection.
void SimCanArm(SimCan *hSimCan, RxMsg *pFrame, RxUniqueId *pUniqueId, HANDLE hEventDone,
               volatile DWORD *pErrorCode);

// Stops the reader (within one receive time-out), closes the queue and
// frees the state.
BOOL SimCanClose(SimCan *hSimCan);

// One receive. TRUE with the frame and the peer's unique id; FALSE with
// the queue's error, or ERROR_INVALID_DATA for a message shorter than 32
// bytes or with more than 8 data bytes (frame and id are then zeroed).
BOOL SimCanReceive(SimCan *hSimCan, RxMsg *pFrame, RxUniqueId *pUniqueId, DWORD timeout);

// Receive time-out of the reader, after which it looks at the stop flag.
// Closing a net waits for it on the main thread, where a dead client's net
// must stop within a few seconds even when several stop at once.
#define SIM_CAN_RECEIVE_TIMEOUT_MS 100u
