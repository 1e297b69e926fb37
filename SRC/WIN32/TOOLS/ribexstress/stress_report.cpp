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
    PrintRestSamples(run.restSamples);
    DWORD fromS = o.durationS >= 120 ? 60 : o.durationS / 10;
    PrintDrift("at rest", run.restSamples, fromS);
    PrintDrift("every second", run.server.samples, fromS);
    if (run.serverEnded)
        std::printf("server     ended with exit code %lu, %.1f s after the last client let go\n",
                    (unsigned long)run.serverExitCode, run.serverEndMs / 1000.0);
    else
        std::printf("server     did not end after the last client let go\n");

    int failures = 0;
    for (const auto &ob : run.observers) {
        Check(ob->track.lost == 0, "an observer lost frames", &failures);
        Check(ob->track.duplicated == 0, "an observer saw a frame twice", &failures);
        Check(ob->failure == 0, "an observer's read or close failed", &failures);
    }
    Check(s.duplicated == 0, "a client child saw a frame twice", &failures);
    Check(s.notRemoved == 0 && run.children.pending.empty(),
          "a killed client was not removed by the server", &failures);
    Check(s.failures == 0, "a client child failed (open, read or close)", &failures);
    Check(run.serverEnded && run.serverExitCode == 0,
          "the server did not end with exit code 0 once all had gone", &failures);
    std::printf("%s\n", failures == 0 ? "PASSED" : "FAILED");
    return failures;
}
