// A frame sink: the bus of a virtual CAN device (every other handle of the
// device gets what is written) or the queue of a simulated net, where the
// server's simulated connection takes one 32-byte message per frame.
//
// Results: TRUE on success; FALSE with the cause as the last error.
#pragma once

#include <windows.h>

#include "msgq.h"
#include "rx_buffer_layout.h"

struct CanSink {
    HANDLE hDevice;      // INVALID_HANDLE_VALUE unless a device sink
    HANDLE hWriteEvent;  // completes the device's overlapped writes
    MsgQHandle hQueue;   // null unless a simulated-net sink
    uint32_t uniqueIdHigh;
    uint32_t uniqueIdLow;
};

// Both leave the sink closed (CanSinkClose is harmless) when they fail.
BOOL CanSinkOpenDevice(CanSink *sink, const wchar_t *deviceName);
// Creates the queue named after the net, or opens it when it exists
// (*existed tells which); uniqueId is attached to every frame.
BOOL CanSinkCreateQueue(CanSink *sink, const wchar_t *netName, DWORD queueSize,
                        uint32_t uniqueIdHigh, uint32_t uniqueIdLow, bool *existed);

// Puts frames[0..n) into the sink, waiting at most timeoutMs for room (a
// full queue) or for the driver to take them. *sent counts the frames that
// went in; on ERROR_TIMEOUT the rest did not.
BOOL CanSinkSend(CanSink *sink, const RxMsg *frames, DWORD n, DWORD timeoutMs, DWORD *sent);

// The errors of a device handle whose device went away (its driver
// stopped, its adapter unplugged): only a new open reaches it again.
bool CanSinkDeviceWentAway(DWORD error);

// Closes the device handle and opens deviceName again (the write event
// stays). FALSE with the open's error; the sink then has no device handle
// and sends fail with ERROR_INVALID_HANDLE until a reopen succeeds.
BOOL CanSinkReopenDevice(CanSink *sink, const wchar_t *deviceName);

// The device handle (for reads of what other handles write), or
// INVALID_HANDLE_VALUE for a queue sink.
HANDLE CanSinkDevice(const CanSink *sink);

// The queue vanishes with its last handle: lingerMs keeps it a while, so
// that the server can take what is still in it.
void CanSinkClose(CanSink *sink, DWORD lingerMs);
