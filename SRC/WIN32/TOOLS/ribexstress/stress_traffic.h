// The peers of the run: the simulated peer of one net (the message queue
// named after the net) and a writer on one virtual CAN device, each at a
// paced rate, each frame numbered in its data bytes.
#pragma once

#include <windows.h>

#include <string>

#include "msgq.h"

enum class TrafficKind { Sim, Device };

struct TrafficStream {
    TrafficKind kind = TrafficKind::Sim;
    std::wstring netName;
    uint32_t canId = 0;
    DWORD rate = 0;  // frames/s
    MsgQHandle hSimQueue = nullptr;
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    HANDLE hThread = nullptr;
    volatile LONG stop = 0;
    volatile LONG sent = 0;          // frames out, numbered 0 .. sent - 1
    volatile LONG sendFailures = 0;  // retried: a frame is never skipped
    volatile LONG deviceReopens = 0;  // the device came back after a driver restart
    DWORD lastError = 0;
};

// Creates the peer's queue or opens the device. Must come before the net
// is opened: the server connects to a simulated peer when the net opens.
BOOL PrepareTraffic(TrafficStream *pStream);
BOOL StartTraffic(TrafficStream *pStream);
void StopTraffic(TrafficStream *pStream);
// Closes the queue or device (after the readers have drained the net).
void ReleaseTraffic(TrafficStream *pStream);
