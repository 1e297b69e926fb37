// What a run prints: a progress line now and then, the summary and the
// checks that decide the exit code.
#include "stress_run.h"

#include <cstdio>

#include "stress_shared.h"

namespace {

double Megabytes(SIZE_T bytes) {
    return (double)bytes / (1024.0 * 1024.0);
}

const char *STATE_NAMES[] = {"before open", "in the open", "open sent",
                             "reading",     "closing",     "after close"};

void PrintChildren(const ChildStats &s, const StressOptions &o) {
    std::printf("children   started %llu, joined %llu, left cleanly %llu, failed %llu",
                (unsigned long long)s.started, (unsigned long long)s.joined,
                (unsigned long long)s.cleanLeaves, (unsigned long long)s.failures);
    if (s.failures != 0)
        std::printf(" (last: exit code %lu, error %lu)", (unsigned long)s.lastFailureCode,
                    (unsigned long)s.lastFailureError);
    if (s.startFailures != 0)
        std::printf("; not started %llu (CreateProcess, last error %lu at %.1f s)",
                    (unsigned long long)s.startFailures, (unsigned long)s.lastStartError,
                    s.lastStartFailureMs / 1000.0);
    std::printf("\n           read %llu frames, lost %llu, duplicated %llu\n",
                (unsigned long long)s.frames, (unsigned long long)s.lost,
                (unsigned long long)s.duplicated);
    std::printf("kills      %llu:", (unsigned long long)s.kills);
    for (int i = 0; i <= CHILD_CLOSED; ++i)
        std::printf(" %s %llu%s", STATE_NAMES[i], (unsigned long long)s.killsByState[i],
                    i < CHILD_CLOSED ? "," : "\n");
    double meanMs = s.removedByServer != 0 ? (double)s.removalSumMs / s.removedByServer : 0.0;
    std::printf(
        "removal    gone with the process %llu; released by the server %llu, after max "
        "%.2f s, mean %.2f s, over 3 s %llu; not removed within %.1f s %llu",
        (unsigned long long)s.removedAtOnce, (unsigned long long)s.removedByServer,
        s.removalMaxMs / 1000.0, meanMs / 1000.0, (unsigned long long)s.removedOver3s,
        o.removalLimitMs / 1000.0, (unsigned long long)s.notRemoved);
    for (size_t i = 0; i < s.notRemovedPids.size() && i < 8; ++i)
        std::printf("%s%#lx", i == 0 ? " (pids " : " ", (unsigned long)s.notRemovedPids[i]);
    std::printf("%s\n", s.notRemovedPids.empty() ? "" : ")");
}

uint64_t LostOutsideGaps(const Observer &ob) {
    return ob.track.lost - ob.gaps.missedInGaps;
}

uint64_t DuplicatedOutsideGaps(const Observer &ob) {
    return ob.track.duplicated - ob.gaps.duplicatedInGaps;
}

void PrintObservers(const StressRun &run) {
    for (size_t i = 0; i < run.observers.size(); ++i) {
        const Observer &ob = *run.observers[i];
        const TrafficStream &stream = *run.streams[run.observerNet[i]];
        std::printf(
            "observer   %ls #%zu: %llu of %ld frames, lost %llu, duplicated %llu, "
            "lapped %llu, error entries %llu, foreign %llu%s",
            ob.netName.c_str(), i + 1, (unsigned long long)ob.track.seen, (long)stream.sent,
            (unsigned long long)ob.track.lost, (unsigned long long)ob.track.duplicated,
            (unsigned long long)ob.lappedEntries, (unsigned long long)ob.errorEntries,
            (unsigned long long)ob.foreignFrames, ob.failure != 0 ? "," : "\n");
        if (ob.failure != 0) std::printf(" failed with %lu\n", (unsigned long)ob.failure);
        if (ob.gaps.gaps.empty()) continue;
        std::printf(
            "           %zu gaps: missed %llu and repeated %llu in them; outside them lost %llu, "
            "duplicated %llu; server gone %llu, reopened %llu; device gone %llu, back %llu\n",
            ob.gaps.gaps.size(), (unsigned long long)ob.gaps.missedInGaps,
            (unsigned long long)ob.gaps.duplicatedInGaps, (unsigned long long)LostOutsideGaps(ob),
            (unsigned long long)DuplicatedOutsideGaps(ob), (unsigned long long)ob.serverGone,
            (unsigned long long)ob.reopened, (unsigned long long)ob.goneEntries,
            (unsigned long long)ob.backEntries);
    }
}

// What the events did to the observers, and how many observers never
// came back or showed a gap no event explains.
struct EventVerdict {
    size_t notResumed = 0, extraGaps = 0, failedEvents = 0;
    uint64_t worstResumeMs = 0;
};

const char *EventName(EventKind kind) {
    return kind == EventKind::ServerKill ? "server kill" : "driver restart";
}

void PrintEventHead(size_t index, const StressEvent &e) {
    std::printf("event %3zu  %-14s at %7.1f s", index + 1, EventName(e.kind), e.atMs / 1000.0);
    if (e.errorCode != 0) std::printf(" FAILED with %lu", (unsigned long)e.errorCode);
    if (e.kind == EventKind::ServerKill)
        std::printf(", pid %#lx -> %#lx (found after %.2f s)", (unsigned long)e.oldPid,
                    (unsigned long)e.newPid,
                    e.newServerMs != 0 ? (e.newServerMs - e.atMs) / 1000.0 : 0.0);
    else if (e.doneMs != 0)
        std::printf(", driver running again after %.2f s", (e.doneMs - e.atMs) / 1000.0);
}

EventVerdict PrintEvents(const StressRun &run) {
    EventVerdict verdict;
    const std::vector<StressEvent> &events = run.disruptor.events;
    std::vector<std::vector<EventOutcome>> outcomes;
    for (const auto &ob : run.observers) {
        outcomes.push_back(MatchGaps(events, ob->gaps.gaps, ob->onDevice));
        verdict.extraGaps += ob->gaps.strayedSigns;
    }
    for (size_t e = 0; e < events.size(); ++e) {
        PrintEventHead(e, events[e]);
        if (events[e].errorCode != 0) ++verdict.failedEvents;
        uint64_t worstMs = 0, worstMissed = 0;
        size_t worstObserver = 0, back = 0, affected = 0;
        for (size_t i = 0; i < outcomes.size(); ++i) {
            const EventOutcome &o = outcomes[i][e];
            if (!o.affected) continue;
            ++affected;
            if (!o.resumed) {
                ++verdict.notResumed;
                continue;
            }
            ++back;
            if (o.resumeMs >= worstMs) {
                worstMs = o.resumeMs;
                worstObserver = i;
            }
            if (o.missed > worstMissed) worstMissed = o.missed;
        }
        if (worstMs > verdict.worstResumeMs) verdict.worstResumeMs = worstMs;
        std::printf("\n           %zu of %zu observers resumed, the last after %.2f s (#%zu); "
                    "missed at most %llu frames\n           ",
                    back, affected, worstMs / 1000.0, worstObserver + 1,
                    (unsigned long long)worstMissed);
        for (size_t i = 0; i < outcomes.size(); ++i) {
            const EventOutcome &o = outcomes[i][e];
            if (!o.affected) continue;
            if (o.resumed)
                std::printf(" #%zu %.2f s/%llu", i + 1, o.resumeMs / 1000.0,
                            (unsigned long long)o.missed);
            else
                std::printf(" #%zu never", i + 1);
        }
        std::printf("  (resume/missed)\n");
    }
    return verdict;
}

// Life 1 is the server killed first; life k the one found after kill k - 1.
DWORD PidOfLife(const StressRun &run, DWORD life) {
    DWORD kills = 0;
    for (const StressEvent &e : run.disruptor.events) {
        if (e.kind != EventKind::ServerKill || e.errorCode != 0) continue;
        if (life == 1) return e.oldPid;
        if (++kills == life - 1) return e.newPid;
    }
    return life == 1 ? run.server.pid : 0;
}

void PrintLives(const StressRun &run) {
    for (DWORD life = 1; life <= run.server.life; ++life) {
        ServerDrift rest, second;
        BOOL haveRest = ComputeLifeDrift(run.restSamples, life, 0, &rest);
        BOOL haveSecond = ComputeLifeDrift(run.server.samples, life, 0, &second);
        std::printf("server     life %lu (pid %#lx):", (unsigned long)life,
                    (unsigned long)PidOfLife(run, life));
        if (haveRest)
            std::printf(" at rest %zu samples, handles %lu..%lu, private %.2f..%.2f MB;",
                        rest.samples, (unsigned long)rest.minimum.handles,
                        (unsigned long)rest.maximum.handles, Megabytes(rest.minimum.privateBytes),
                        Megabytes(rest.maximum.privateBytes));
        if (haveSecond)
            std::printf(" every second %zu samples (%lu..%lu s), handles %lu..%lu, private "
                        "%.2f..%.2f MB",
                        second.samples, (unsigned long)second.first.atS,
                        (unsigned long)second.last.atS, (unsigned long)second.minimum.handles,
                        (unsigned long)second.maximum.handles,
                        Megabytes(second.minimum.privateBytes),
                        Megabytes(second.maximum.privateBytes));
        std::printf("\n");
    }
}

void PrintFuzz(const Fuzzer &f, double seconds) {
    const FuzzStats &s = f.stats;
    long long attempts = s.sent + s.refusedByQueue + s.sendFailed;
    std::printf("fuzz       %lld requests (%.0f/s): %lld refused by the queue (over 124 bytes), "
                "%lld send failures, %lld sent, by id:",
                attempts, seconds > 0 ? attempts / seconds : 0.0, (long long)s.refusedByQueue,
                (long long)s.sendFailed, (long long)s.sent);
    for (int id = 0; id < 16; ++id) std::printf(" %d:%lld", id, (long long)s.byId[id]);
    std::printf(", other ids %lld; open requests with unterminated names %lld\n",
                (long long)s.otherIds, (long long)s.unterminatedNames);
}

void PrintDrift(const char *what, const std::vector<ServerSample> &samples, DWORD fromS) {
    ServerDrift d;
    if (!ComputeServerDrift(samples, fromS, &d)) {
        std::printf("server     %s: no samples from %lu s on\n", what, (unsigned long)fromS);
        return;
    }
    std::printf(
        "server     %s, %zu samples from %lu s: handles %lu..%lu (first %lu, last %lu, "
        "spread %.1f %%)\n           working set %.2f..%.2f MB (spread %.1f %%), "
        "private %.2f..%.2f MB (spread %.1f %%)\n",
        what, d.samples, (unsigned long)d.first.atS, (unsigned long)d.minimum.handles,
        (unsigned long)d.maximum.handles, (unsigned long)d.first.handles,
        (unsigned long)d.last.handles, d.handlesPercent, Megabytes(d.minimum.workingSet),
        Megabytes(d.maximum.workingSet), d.workingSetPercent, Megabytes(d.minimum.privateBytes),
        Megabytes(d.maximum.privateBytes), d.privatePercent);
}

void PrintRestSamples(const std::vector<ServerSample> &samples) {
    for (const ServerSample &s : samples)
        std::printf(
            "server     at rest %5lu s: %lu handles, working set %.2f MB, private %.2f MB\n",
            (unsigned long)s.atS, (unsigned long)s.handles, Megabytes(s.workingSet),
            Megabytes(s.privateBytes));
}

// A leak shows as a server at rest that holds more than the first rest
// sample did, in the same life or in a later server after kills. The
// margins take in a client or two still on the way out.
const DWORD REST_HANDLE_MARGIN = 8;
const SIZE_T REST_PRIVATE_MARGIN = 1024 * 1024;

bool RestFlat(const std::vector<ServerSample> &samples) {
    if (samples.size() < 2) return true;
    const ServerSample &first = samples.front();
    for (const ServerSample &s : samples)
        if (s.handles > first.handles + REST_HANDLE_MARGIN ||
            s.privateBytes > first.privateBytes + REST_PRIVATE_MARGIN)
            return false;
    return true;
}

int Check(bool ok, const char *what, int *pFailures) {
    if (!ok) {
        std::printf("FAILED     %s\n", what);
        ++*pFailures;
    }
    return ok;
}

}  // namespace

void PrintProgress(const StressRun &run, DWORD atS) {
    const ChildStats &s = run.children.stats;
    std::printf(
        "[%5lu s] children %llu started, %llu left, %llu killed, %llu removed (max %.2f s), "
        "%zu pending |",
        (unsigned long)atS, (unsigned long long)s.started, (unsigned long long)s.cleanLeaves,
        (unsigned long long)s.kills, (unsigned long long)(s.removedAtOnce + s.removedByServer),
        s.removalMaxMs / 1000.0, run.children.pending.size());
    for (size_t i = 0; i < run.observers.size(); ++i) {
        const Observer &ob = *run.observers[i];
        std::printf(" %ls %llu/%llu/%llu", ob.netName.c_str(), (unsigned long long)ob.track.seen,
                    (unsigned long long)ob.track.lost, (unsigned long long)ob.track.duplicated);
    }
    std::printf(" | fuzz %lld", (long long)run.fuzzer.stats.sent);
    if (!run.server.samples.empty()) {
        const ServerSample &last = run.server.samples.back();
        std::printf(" | server %lu handles, ws %.2f MB, private %.2f MB",
                    (unsigned long)last.handles, Megabytes(last.workingSet),
                    Megabytes(last.privateBytes));
    }
    std::printf("\n");
    std::fflush(stdout);
}

int PrintSummary(const StressRun &run) {
    const StressOptions &o = run.options;
    const ChildStats &s = run.children.stats;
    double seconds = run.runEndMs / 1000.0;
    std::printf("\nsummary    %.1f s%s, seed %lu\n", seconds,
                run.interrupted ? " (interrupted)" : "", (unsigned long)o.seed);
    PrintChildren(s, o);
    PrintObservers(run);
    for (const auto &stream : run.streams)
        std::printf("peer       %ls (%s): %ld frames sent (%.0f/s), %ld send retries\n",
                    stream->netName.c_str(),
                    stream->kind == TrafficKind::Sim ? "simulated" : "device", (long)stream->sent,
                    seconds > 0 ? stream->sent / seconds : 0.0, (long)stream->sendFailures);
    PrintFuzz(run.fuzzer, seconds);
    EventVerdict verdict = PrintEvents(run);
    PrintRestSamples(run.restSamples);
    DWORD fromS = o.durationS >= 120 ? 60 : o.durationS / 10;
    PrintDrift("at rest", run.restSamples, fromS);
    PrintDrift("every second", run.server.samples, fromS);
    if (run.server.life > 1) PrintLives(run);
    if (run.serverEnded)
        std::printf("server     ended with exit code %lu, %.1f s after the last client let go\n",
                    (unsigned long)run.serverExitCode, run.serverEndMs / 1000.0);
    else
        std::printf("server     did not end after the last client let go\n");

    int failures = 0;
    for (const auto &ob : run.observers) {
        Check(LostOutsideGaps(*ob) == 0, "an observer lost frames outside the events' gaps",
              &failures);
        Check(DuplicatedOutsideGaps(*ob) == 0,
              "an observer saw a frame twice outside the events' gaps", &failures);
        Check(ob->failure == 0, "an observer's read or close failed", &failures);
        if (ob->onDevice)
            Check(ob->goneEntries == run.disruptor.restarts &&
                      ob->backEntries == run.disruptor.restarts,
                  "a device observer did not read one gone and one back entry per restart",
                  &failures);
    }
    Check(RestFlat(run.restSamples),
          "the server at rest held more handles or memory than at the first quiet point",
          &failures);
    Check(verdict.failedEvents == 0, "a server kill or driver restart failed", &failures);
    Check(verdict.notResumed == 0, "an observer did not resume after a kill or restart",
          &failures);
    Check(verdict.extraGaps == 0,
          "an observer read a server-gone, reopen or device entry with no kill or restart "
          "going on",
          &failures);
    Check(s.duplicated == 0, "a client child saw a frame twice", &failures);
    Check(s.notRemoved == 0 && run.children.pending.empty(),
          "a killed client was not removed by the server", &failures);
    Check(s.failures == 0, "a client child failed (open, read or close)", &failures);
    Check(run.serverEnded && run.serverExitCode == 0,
          "the server did not end with exit code 0 once all had gone", &failures);
    std::printf("%s\n", failures == 0 ? "PASSED" : "FAILED");
    return failures;
}
