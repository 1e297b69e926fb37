// Stopping points inside MsgQOpen, MsgQSend and MsgQReceive, for tests that
// kill a process in the middle of an operation or count what it does. Only
// the msgq_testhooks build of the library passes them (msgq_testpoint.h).
#pragma once

enum MsgQTestPoint {
    MSGQ_POINT_SEND_LOCKED = 1,    // sender holds the mutex, no free slot taken yet
    MSGQ_POINT_SEND_SLOT_TAKEN,    // sender holds the mutex and a free-slot count
    MSGQ_POINT_SEND_WRITTEN,       // slot and writeOffset written, message count not released
    MSGQ_POINT_RECV_BEFORE_CLAIM,  // receiver read readOffset, about to claim
    MSGQ_POINT_RECV_COPIED,        // receiver claimed and copied, free slot not given back
    MSGQ_POINT_OPEN_RETRY,         // an open attempt missed the queue; about to sleep and retry
};

typedef void (*MsgQTestHook)(int point);

// Sets the function every point calls (null: none).
void MsgQSetTestHook(MsgQTestHook hook);

// Called by the library at each point.
void MsgQRunTestHook(int point);
