// Long-lived observers: clients of the controller process that stay on a
// net for the whole run and check the sequence number of every frame.
#pragma once

#include <windows.h>

#include <string>

#include "ribex_client.h"
#include "stress_events.h"
#include "stress_shared.h"

struct Observer {
    std::wstring netName;
    std::wstring serverQueue;
    uint32_t canId = 0;
    bool onDevice = false;
    uint64_t (*clockMs)(void) = nullptr;  // the run's clock, for the gaps
    // The controller's count of kills and restarts started, and the kind
    // of the last one (written before the count).
    const volatile LONG *pEventsStarted = nullptr;
    const volatile LONG *pLastEventKind = nullptr;
    RibexClientNet *pNet = nullptr;
    HANDLE hThread = nullptr;
    volatile LONG stop = 0;
    SeqTrack track;              // written by the observer's thread only
    GapTrack gaps;               // server deaths and device restarts it went through
    uint64_t goneEntries = 0;    // the device went away (1617 and the like)
    uint64_t backEntries = 0;    // the device is back (1111)
    uint64_t errorEntries = 0;   // other error entries of the ring (overflow)
    uint64_t serverGone = 0;     // reads that said the server went away
    uint64_t reopened = 0;       // reads that said the net is open again
    uint64_t lappedEntries = 0;  // entries overwritten before they were read
    uint64_t foreignFrames = 0;  // frames of someone else on the net
    DWORD failure = 0;           // a read or close that failed
};

// Opens the net (so the observer is there before the first frame) and
// starts its reader.
BOOL StartObserver(Observer *pObserver);
// Waits up to timeoutMs until the observer has taken totalSent frames.
void DrainObserver(Observer *pObserver, uint32_t totalSent, DWORD timeoutMs);
// Stops the reader, counts frames never seen as lost and closes the net.
void StopObserver(Observer *pObserver, uint32_t totalSent);
