// Server kills and driver restarts (see stress_events.h).
#include "stress_events.h"

namespace {

// A period that passed while the one before was settling is skipped,
// not made up with events back to back.
uint64_t NextAfter(uint64_t dueMs, DWORD everyS, uint64_t nowMs) {
    uint64_t nextMs = dueMs + (uint64_t)everyS * 1000;
    while (nextMs <= nowMs) nextMs += (uint64_t)everyS * 1000;
    return nextMs;
}

bool Due(uint64_t dueMs, uint64_t nowMs, uint64_t endMs) {
    return dueMs != 0 && nowMs >= dueMs && nowMs + STRESS_EVENT_END_MARGIN_MS < endMs;
}

}  // namespace

BOOL TakeDueEvent(EventSchedule *s, uint64_t nowMs, bool previousSettled, EventKind *pKind) {
    if (s->nextKillMs == 0 && s->killEveryS != 0) s->nextKillMs = (uint64_t)s->killEveryS * 1000;
    if (s->nextRestartMs == 0 && s->restartEveryS != 0)
        s->nextRestartMs = (uint64_t)s->restartEveryS * 1000;
    if (!previousSettled) return FALSE;
    bool kill = Due(s->nextKillMs, nowMs, s->endMs);
    bool restart = Due(s->nextRestartMs, nowMs, s->endMs);
    if (kill && (!restart || s->nextKillMs <= s->nextRestartMs)) {
        *pKind = EventKind::ServerKill;
        s->nextKillMs = NextAfter(s->nextKillMs, s->killEveryS, nowMs);
        return TRUE;
    }
    if (restart) {
        *pKind = EventKind::DriverRestart;
        s->nextRestartMs = NextAfter(s->nextRestartMs, s->restartEveryS, nowMs);
        return TRUE;
    }
    return FALSE;
}

GapKind GapKindOf(EventKind kind) {
    return kind == EventKind::ServerKill ? GapKind::Server : GapKind::Device;
}

bool EventTouches(EventKind kind, bool onDevice) {
    return kind == EventKind::ServerKill || onDevice;
}

void GapEventStarted(GapTrack *pGaps, DWORD eventNo, GapKind kind, uint64_t nowMs) {
    pGaps->lastEventNo = eventNo;
    // One still open stays unresumed: the report shows it as never resumed.
    ObserverGap gap;
    gap.eventNo = eventNo;
    gap.kind = kind;
    gap.openedMs = nowMs;
    pGaps->gaps.push_back(gap);
    pGaps->open = true;
}

void GapSign(GapTrack *pGaps, GapKind kind, bool back, uint64_t nowMs) {
    (void)nowMs;
    if (pGaps->open && pGaps->gaps.back().kind == kind) {
        if (back) pGaps->gaps.back().backSeen = true;
        return;
    }
    // The signs of an event whose gap closed already (its first frame
    // came through another client's reopen) are its own; others stray.
    if (!pGaps->gaps.empty() && pGaps->gaps.back().kind == kind &&
        pGaps->gaps.back().eventNo == pGaps->lastEventNo)
        return;
    ++pGaps->strayedSigns;
}

void GapFrame(GapTrack *pGaps, SeqTrack *pTrack, uint32_t seq, uint64_t nowMs) {
    uint32_t ahead = seq - pTrack->next;
    bool repeat = pTrack->started && ahead >= 0x80000000u;
    uint64_t lostBefore = pTrack->lost;
    SeqTrackFrame(pTrack, seq);
    if (!pGaps->open) return;
    if (repeat) {
        ++pGaps->duplicatedInGaps;
        return;
    }
    ObserverGap &gap = pGaps->gaps.back();
    uint64_t missed = pTrack->lost - lostBefore;
    if (missed == 0 && !gap.backSeen) return;
    gap.missed = missed;
    gap.resumedMs = nowMs != 0 ? nowMs : 1;
    pGaps->missedInGaps += missed;
    pGaps->open = false;
    InterlockedExchange(&pGaps->resumedEventNo, (LONG)gap.eventNo);
}

std::vector<EventOutcome> MatchGaps(const std::vector<StressEvent> &events,
                                    const std::vector<ObserverGap> &gaps, bool onDevice) {
    std::vector<EventOutcome> outcomes(events.size());
    for (size_t e = 0; e < events.size(); ++e)
        outcomes[e].affected = EventTouches(events[e].kind, onDevice);
    for (const ObserverGap &gap : gaps) {
        if (gap.eventNo == 0 || gap.eventNo > events.size() || gap.resumedMs == 0) continue;
        EventOutcome &outcome = outcomes[gap.eventNo - 1];
        outcome.resumed = true;
        outcome.resumeMs = gap.resumedMs - events[gap.eventNo - 1].atMs;
        outcome.missed = gap.missed;
    }
    return outcomes;
}
