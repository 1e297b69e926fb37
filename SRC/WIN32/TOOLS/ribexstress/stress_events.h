// Server kills and driver restarts during a run: when they fall due, and
// what each observer's stream shows of them. An observer's gap runs from
// the first sign it read (the library's RIBEX_ERROR_SERVER_GONE or
// RIBEX_ERROR_NET_REOPENED, the device-removed entry) to its first stress
// frame after the net or device was back; frames skipped there are the
// event's, every other loss or repeat is a fault.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <vector>

#include "stress_shared.h"

enum class EventKind : uint8_t { ServerKill = 0, DriverRestart = 1 };

struct StressEvent {
    EventKind kind = EventKind::ServerKill;
    uint64_t atMs = 0;    // just before the kill or the driver's stop
    uint64_t doneMs = 0;  // the server process ended, or the driver runs again
    DWORD errorCode = 0;  // the kill or the stop/start failed
    DWORD oldPid = 0, newPid = 0;  // a kill: the server before and after
    uint64_t newServerMs = 0;      // a kill: when the new server was found
};

// Periods of 0 never fall due. No event starts in the last margin of the
// run, where the observers' resume could no longer be told from the end.
struct EventSchedule {
    DWORD killEveryS = 0, restartEveryS = 0;
    uint64_t endMs = 0;
    uint64_t nextKillMs = 0, nextRestartMs = 0;  // 0: not set up yet
};

#define STRESS_EVENT_END_MARGIN_MS 10000u

// TRUE and *pKind when one is due at nowMs and the one before has settled;
// the earlier-due kind goes first, a kill before a restart due at once.
// Either stays due while the one before is unsettled.
BOOL TakeDueEvent(EventSchedule *pSchedule, uint64_t nowMs, bool previousSettled, EventKind *pKind);

enum class GapKind : uint8_t { Server = 0, Device = 1 };

GapKind GapKindOf(EventKind kind);

struct ObserverGap {
    DWORD eventNo = 0;  // 1 for the run's first event
    GapKind kind = GapKind::Server;
    bool backSeen = false;  // the reopen, or the device-back entry, was read
    uint64_t openedMs = 0;
    uint64_t resumedMs = 0;  // 0 while the gap is open
    uint64_t missed = 0;     // numbers skipped at the first frame after it
};

// One observer's gaps; written by its reader thread, resumed read by the
// controller to know when an event has settled.
struct GapTrack {
    std::vector<ObserverGap> gaps;
    bool open = false;
    DWORD lastEventNo = 0;  // the last event this observer has heard of
    uint64_t missedInGaps = 0, duplicatedInGaps = 0;
    uint64_t strayedSigns = 0;  // signs with no event of their kind going on
    volatile LONG resumedEventNo = 0;
};

// The controller started event eventNo of the given kind: a gap opens.
void GapEventStarted(GapTrack *pGaps, DWORD eventNo, GapKind kind, uint64_t nowMs);
// A sign that the server went away (back: the net was reopened) or that
// the device went away (back: the device-back entry).
void GapSign(GapTrack *pGaps, GapKind kind, bool back, uint64_t nowMs);
// A stress frame: counted by the sequence track. It closes the open gap
// when numbers were skipped before it (the frames of the event's window
// are gone) or when it is the first frame after the net or device came
// back. Frames before either were published before the event.
void GapFrame(GapTrack *pGaps, SeqTrack *pTrack, uint32_t seq, uint64_t nowMs);

// What one event did to one observer.
struct EventOutcome {
    bool affected = false;  // a kill touches every observer, a restart those on the device
    bool resumed = false;
    uint64_t resumeMs = 0;  // from the event to the first frame after it
    uint64_t missed = 0;
};

// A kill touches every observer, a restart those on the device.
bool EventTouches(EventKind kind, bool onDevice);
// Each event's outcome for one observer, from its gaps.
std::vector<EventOutcome> MatchGaps(const std::vector<StressEvent> &events,
                                    const std::vector<ObserverGap> &gaps, bool onDevice);
