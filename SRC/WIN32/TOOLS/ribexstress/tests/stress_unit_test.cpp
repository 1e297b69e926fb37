// What ribexstress counts and sends: the sequence check behind "lost" and
// "duplicated", the fuzzer's promise never to name a real client, the
// child's command line and the options' error texts.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <set>
#include <string>
#include <vector>

#include "ribex_messages.h"
#include "stress_child.h"
#include "stress_children.h"
#include "stress_events.h"
#include "stress_fuzz.h"
#include "stress_options.h"
#include "stress_server.h"
#include "stress_shared.h"

namespace {

struct SeqCase {
    const char *name;
    bool fromZero;
    std::vector<uint32_t> seqs;
    uint32_t totalSent;
    uint64_t seen, lost, duplicated;
};

const SeqCase SEQ_CASES[] = {
    {"in order", true, {0, 1, 2, 3}, 4, 4, 0, 0},
    {"first frames missed", true, {2, 3}, 4, 2, 2, 0},
    {"gap in the middle", true, {0, 1, 5, 6}, 7, 4, 3, 0},
    {"a frame twice", true, {0, 1, 1, 2}, 3, 3, 0, 1},
    {"an older frame late", true, {0, 1, 3, 2, 4}, 5, 4, 1, 1},
    {"tail never seen", true, {0, 1}, 5, 2, 3, 0},
    {"joined late starts at its first frame", false, {100, 101, 102}, 103, 3, 0, 0},
    {"across the 32-bit wrap", false, {0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}, 2, 4, 0, 0},
    {"nothing seen at all", true, {}, 3, 0, 3, 0},
};

TEST(StressSequence, CountsSeenLostAndDuplicated) {
    for (const SeqCase &c : SEQ_CASES) {
        SCOPED_TRACE(c.name);
        SeqTrack track;
        if (c.fromZero) SeqTrackExpectFromZero(&track);
        for (uint32_t seq : c.seqs) SeqTrackFrame(&track, seq);
        SeqTrackFinish(&track, c.totalSent);
        EXPECT_EQ(track.seen, c.seen);
        EXPECT_EQ(track.lost, c.lost);
        EXPECT_EQ(track.duplicated, c.duplicated);
    }
}

TEST(StressSequence, FramesCarryTheirNumberAndOnlyTheirsAreRead) {
    RxMsg msg = MakeStressFrame(STRESS_SIM_CAN_ID, 0x12345678u);
    uint32_t seq = 0;
    ASSERT_TRUE(ReadStressFrame(msg, STRESS_SIM_CAN_ID, &seq));
    EXPECT_EQ(seq, 0x12345678u);
    EXPECT_FALSE(ReadStressFrame(msg, STRESS_DEVICE_CAN_ID, &seq)) << "another stream's id";
    RxMsg foreign = msg;
    foreign.can.data[5] ^= 1;
    EXPECT_FALSE(ReadStressFrame(foreign, STRESS_SIM_CAN_ID, &seq)) << "no magic";
    foreign = msg;
    foreign.length = 4;
    EXPECT_FALSE(ReadStressFrame(foreign, STRESS_SIM_CAN_ID, &seq)) << "short frame";
}

uint32_t Field(const FuzzRequest &r, size_t offset) {
    uint32_t value;
    memcpy(&value, r.bytes + offset, 4);
    return value;
}

// Where a request names a client (unique id high word) and its reply
// queue (hMsgQRef, or none: -1).
struct ClientFields {
    uint32_t id;
    size_t highOffset;
    int refOffset;
};

const ClientFields CLIENT_FIELDS[] = {
    {RIBEX_REQ_IF_OPEN, 12, -1},
    {RIBEX_REQ_IF_CLOSE, 8, 4},
    {RIBEX_REQ_DISABLE_ALL_REM_FRAME, 4, -1},
    {RIBEX_REQ_ENUM_REM_FRAME, 8, 4},
    {RIBEX_REQ_ENABLE_REM_FRAME, 8, 4},
    {RIBEX_REQ_DISABLE_REM_FRAME, 8, 4},
};

TEST(StressFuzz, CoversLengthsAndIdsButNeverNamesARealClient) {
    StressRandom random;
    SeedRandom(&random, 4711);
    std::vector<std::wstring> nets = {L"STRESSSIM", L"VCAN5"};
    std::set<uint32_t> ids;
    DWORD shortest = 1000, longest = 0, unterminated = 0;
    FuzzRequest r;
    for (int i = 0; i < 20000; ++i) {
        BuildFuzzRequest(&random, nets, false, &r);
        shortest = std::min(shortest, r.length);
        longest = std::max(longest, r.length);
        uint32_t id = Field(r, 0);
        ids.insert(id);
        ASSERT_NE(id, RIBEX_REQ_CLIENT_CHECK) << "id 1 only when allowed";
        for (const ClientFields &f : CLIENT_FIELDS) {
            if (f.id != id) continue;
            ASSERT_NE(Field(r, f.highOffset) & 0x80000000u, 0u) << "id " << id << ": a process id";
            if (f.refOffset >= 0) {
                ASSERT_TRUE(IsForgedMsgQRef(Field(r, (size_t)f.refOffset))) << "id " << id;
            }
        }
        if (id == RIBEX_REQ_IF_OPEN) {
            bool terminated = false;
            for (size_t at = 20; at + 1 < FUZZ_MAX_LENGTH && !terminated; at += 2)
                terminated = r.bytes[at] == 0 && r.bytes[at + 1] == 0;
            unterminated += terminated ? 0 : 1;
        }
    }
    EXPECT_EQ(shortest, 0u);
    EXPECT_EQ(longest, FUZZ_MAX_LENGTH);
    for (uint32_t id = 0; id < 16; ++id) {
        if (id != RIBEX_REQ_CLIENT_CHECK) {
            EXPECT_TRUE(ids.count(id)) << "id " << id << " never sent";
        }
    }
    EXPECT_TRUE(ids.count(RIBEX_CFM_STATUS));
    EXPECT_GT(ids.size(), 40u) << "random ids beyond the known ones";
    EXPECT_GT(unterminated, 0u);
}

TEST(StressFuzz, ForgedReferencesAreNeverOnesTheServerIssues) {
    // generation << 16 | slot + 1, generation 1..0xFFFF: what a client gets.
    const uint32_t issued[] = {0x00010001u, 0x00020001u, 0xFFFF0010u, 0x00011000u};
    for (uint32_t ref : issued) EXPECT_FALSE(IsForgedMsgQRef(ref)) << std::hex << ref;
    const uint32_t forged[] = {0u, 0xFFFFFFFFu, 0x00000005u, 0x0003F001u, 0x00070000u};
    for (uint32_t ref : forged) EXPECT_TRUE(IsForgedMsgQRef(ref)) << std::hex << ref;
}

TEST(StressFuzz, ClientCheckOnlyWhenAllowed) {
    StressRandom random;
    SeedRandom(&random, 1);
    FuzzRequest r;
    int checks = 0;
    for (int i = 0; i < 5000; ++i) {
        BuildFuzzRequest(&random, {}, true, &r);
        checks += Field(r, 0) == RIBEX_REQ_CLIENT_CHECK ? 1 : 0;
    }
    EXPECT_GT(checks, 0);
}

TEST(StressChildArgs, CommandLineRoundTrip) {
    ChildArgs a;
    a.blockName = L"ribexstress-12-children";
    a.slot = 7;
    a.netName = L"NET WITH SPACE";
    a.uniqueLow = 0xABCDEF01u;
    a.mode = ChildMode::StallInOpen;
    a.lifeMs = 1234;
    a.serverQueue = L"my queue";
    a.remFrameId = 0x607;
    a.streamCanId = STRESS_DEVICE_CAN_ID;
    std::wstring line = L"ribexstress.exe " + BuildChildCommandLine(a);
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(line.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    ChildArgs b;
    EXPECT_TRUE(ParseChildArgs(argc, argv, &b));
    LocalFree(argv);
    EXPECT_EQ(b.blockName, a.blockName);
    EXPECT_EQ(b.slot, a.slot);
    EXPECT_EQ(b.netName, a.netName);
    EXPECT_EQ(b.uniqueLow, a.uniqueLow);
    EXPECT_EQ(b.mode, a.mode);
    EXPECT_EQ(b.lifeMs, a.lifeMs);
    EXPECT_EQ(b.serverQueue, a.serverQueue);
    EXPECT_EQ(b.remFrameId, a.remFrameId);
    EXPECT_EQ(b.streamCanId, a.streamCanId);
}

// The child's numbers are read as strictly as every command line of ours:
// a stray sign, blank or octal form is a broken command line, not 0.
TEST(StressChildArgs, ANumberThatIsNotAllDigitsRefusesTheLine) {
    ChildArgs a;
    a.blockName = L"ribexstress-12-children";
    a.slot = 3;
    a.netName = L"N";
    a.mode = ChildMode::Read;
    a.serverQueue = L"q";
    std::wstring good = L"ribexstress.exe " + BuildChildCommandLine(a);
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(good.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    ChildArgs b;
    EXPECT_TRUE(ParseChildArgs(argc, argv, &b));
    for (int field : {3, 5, 7, 9, 10}) {
        for (const wchar_t *bad : {L"+3", L" 3", L"-1", L"3x", L""}) {
            std::vector<wchar_t *> words(argv, argv + argc);
            words[field] = const_cast<wchar_t *>(bad);
            EXPECT_FALSE(ParseChildArgs(argc, words.data(), &b)) << field << " " << testing::PrintToString(std::wstring(bad));
        }
    }
    std::vector<wchar_t *> words(argv, argv + argc);
    words[3] = const_cast<wchar_t *>(L"64");  // no such slot
    EXPECT_FALSE(ParseChildArgs(argc, words.data(), &b));
    LocalFree(argv);
}

struct OptionCase {
    std::vector<const wchar_t *> args;
    const wchar_t *errorMentions;  // null: accepted
};

const OptionCase OPTION_CASES[] = {
    {{L"-t", L"600", L"-r", L"500", L"-k", L"40", L"-i", L"60"}, nullptr},
    {{L"-T", L"1500"}, nullptr},
    {{L"-T", L"0"}, L"-T: bad run time: '0'"},
    {{L"stray"}, L"unknown argument: 'stray'"},
    {{L"-d", L"-", L"-f", L"0", L"-S", L"7"}, nullptr},
    {{L"-t", L"0"}, L"-t"},
    {{L"-t"}, L"-t"},
    {{L"--rate", L"fast"}, L"--rate"},
    {{L"-j", L"65"}, L"-j"},
    {{L"-t", L"+5"}, L"'+5'"},
    {{L"-r", L" 500"}, L"' 500'"},
    {{L"-S", L"4294967296"}, L"-S: '4294967296'"},
    {{L"-k", L"100", L"-c", L"50"}, L"--kills"},
    {{L"-s", L"-", L"-d", L"-"}, L"--sim"},
    {{L"-s", L"VCAN5"}, L"same net"},
    {{L"-s", L"A123456789012345678901234567890123456789012345678901"}, L"-s"},
    {{L"-q", L"a\"b"}, L"-q"},
    {{L"--bogus"}, L"--bogus"},
    {{L"-K", L"60", L"-D", L"90"}, nullptr},
    {{L"-d", L"-", L"-D", L"90"}, L"--restart-driver"},
    {{L"-K", L"-1"}, L"-K"},
    {{L"-v", L""}, L"-v"},
};

TEST(StressOptions, WrongArgumentsAreNamed) {
    for (const OptionCase &c : OPTION_CASES) {
        std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"ribexstress")};
        for (const wchar_t *arg : c.args) argv.push_back(const_cast<wchar_t *>(arg));
        StressOptions options;
        std::wstring error;
        bool ok = ParseStressOptions((int)argv.size(), argv.data(), &options, &error);
        SCOPED_TRACE(testing::PrintToString(std::string(error.begin(), error.end())));
        if (c.errorMentions == nullptr) {
            EXPECT_TRUE(ok);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.errorMentions), std::wstring::npos);
        }
    }
}

}  // namespace

namespace {

// A killed client counts as removed only once neither its wake-up event
// nor its reply queue exists: while anybody (the server) holds either,
// it is still there.
TEST(StressRemoval, GoneOnlyWhenEventAndReplyQueueAreBothGone) {
    std::wstring base = L"StressRemovalTest" + std::to_wstring(GetCurrentProcessId());
    PendingRemoval removal = {};
    removal.eventName = base + L"EVT";
    removal.queueMutexName = L"MsgQ" + base + L"MTX";
    EXPECT_TRUE(ClientObjectsGone(removal)) << "never created";

    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, removal.eventName.c_str());
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, removal.queueMutexName.c_str());
    ASSERT_NE(hEvent, nullptr);
    ASSERT_NE(hMutex, nullptr);
    EXPECT_FALSE(ClientObjectsGone(removal)) << "both held";
    CloseHandle(hEvent);
    EXPECT_FALSE(ClientObjectsGone(removal)) << "the reply queue is still held";
    CloseHandle(hMutex);
    EXPECT_TRUE(ClientObjectsGone(removal));

    hEvent = CreateEventW(nullptr, FALSE, FALSE, removal.eventName.c_str());
    ASSERT_NE(hEvent, nullptr);
    EXPECT_FALSE(ClientObjectsGone(removal)) << "the event is still held";
    CloseHandle(hEvent);
}

TEST(StressServerDrift, SpreadFromTheFirstSampleOn) {
    std::vector<ServerSample> samples = {
        {10, 500, 100, 100, 1},  // before fromS: left out
        {60, 100, 1000, 2000, 1},
        {120, 102, 1010, 2000, 1},
        {180, 101, 990, 2100, 1},
    };
    ServerDrift drift;
    ASSERT_TRUE(ComputeServerDrift(samples, 60, &drift));
    EXPECT_EQ(drift.samples, 3u);
    EXPECT_EQ(drift.first.atS, 60u);
    EXPECT_EQ(drift.last.atS, 180u);
    EXPECT_EQ(drift.minimum.handles, 100u);
    EXPECT_EQ(drift.maximum.handles, 102u);
    EXPECT_DOUBLE_EQ(drift.handlesPercent, 2.0);
    EXPECT_DOUBLE_EQ(drift.workingSetPercent, 2.0);
    EXPECT_DOUBLE_EQ(drift.privatePercent, 5.0);
    EXPECT_FALSE(ComputeServerDrift(samples, 200, &drift)) << "no sample that late";
}

TEST(StressServerDrift, ALifeIsOneServersSamplesOnly) {
    std::vector<ServerSample> samples = {
        {10, 80, 100, 1000, 1}, {20, 90, 100, 1100, 1},   // the killed server
        {30, 70, 100, 900, 2},  {40, 75, 100, 950, 2},    // the one after it
        {50, 300, 100, 5000, 3},
    };
    ServerDrift drift;
    ASSERT_TRUE(ComputeLifeDrift(samples, 2, 0, &drift));
    EXPECT_EQ(drift.samples, 2u);
    EXPECT_EQ(drift.first.atS, 30u);
    EXPECT_EQ(drift.last.atS, 40u) << "the life's last sample, not the run's";
    EXPECT_EQ(drift.minimum.handles, 70u);
    EXPECT_EQ(drift.maximum.handles, 75u);
    EXPECT_FALSE(ComputeLifeDrift(samples, 4, 0, &drift)) << "no such life";
}

}  // namespace

namespace {

// Which event a run starts when: kills and restarts at their periods,
// one at a time, none in the run's last seconds.
TEST(StressEvents, DueAtTheirPeriodsOneAtATimeAndNoneNearTheEnd) {
    EventSchedule schedule;
    schedule.killEveryS = 60;
    schedule.restartEveryS = 90;
    schedule.endMs = 200000;
    EventKind kind;
    EXPECT_FALSE(TakeDueEvent(&schedule, 59999, true, &kind));
    ASSERT_TRUE(TakeDueEvent(&schedule, 60000, true, &kind));
    EXPECT_EQ(EventKind::ServerKill, kind);
    EXPECT_FALSE(TakeDueEvent(&schedule, 60010, true, &kind)) << "the next kill is at 120 s";
    EXPECT_FALSE(TakeDueEvent(&schedule, 95000, false, &kind)) << "the kill has not settled";
    ASSERT_TRUE(TakeDueEvent(&schedule, 95000, true, &kind)) << "the restart stayed due";
    EXPECT_EQ(EventKind::DriverRestart, kind);
    ASSERT_TRUE(TakeDueEvent(&schedule, 181000, true, &kind)) << "both due: the kill first";
    EXPECT_EQ(EventKind::ServerKill, kind);
    ASSERT_TRUE(TakeDueEvent(&schedule, 181000, true, &kind));
    EXPECT_EQ(EventKind::DriverRestart, kind);
    EXPECT_FALSE(TakeDueEvent(&schedule, 182000, true, &kind))
        << "the kill missed at 120 s is not made up";
    EXPECT_FALSE(TakeDueEvent(&schedule, 190000, true, &kind)) << "within the end margin";

    EventSchedule never;
    never.endMs = 200000;
    EXPECT_FALSE(TakeDueEvent(&never, 100000, true, &kind)) << "periods of 0";
}

struct GapStep {
    char what;  // 'e' event started, 'g' gone, 'b' back, 'f' frame
    uint32_t seq;
    uint64_t atMs;
};

GapTrack PlayGaps(const std::vector<GapStep> &steps, GapKind kind, SeqTrack *pTrack) {
    GapTrack gaps;
    SeqTrackExpectFromZero(pTrack);
    DWORD eventNo = 0;
    for (const GapStep &step : steps) {
        if (step.what == 'e') GapEventStarted(&gaps, ++eventNo, kind, step.atMs);
        if (step.what == 'g') GapSign(&gaps, kind, false, step.atMs);
        if (step.what == 'b') GapSign(&gaps, kind, true, step.atMs);
        if (step.what == 'f') GapFrame(&gaps, pTrack, step.seq, step.atMs);
    }
    return gaps;
}

// A gap ends at the first frame after the event: the first one past a
// hole in the numbers, or, with no hole, the first after the net or
// device came back. Frames read late from before the event do not end it.
TEST(StressEvents, AGapEndsAtTheFirstFrameAfterTheEvent) {
    struct {
        const char *name;
        std::vector<GapStep> steps;
        bool resumed;
        uint64_t resumedMs, missed, lostOutside;
        uint64_t strayed;
    } cases[] = {
        {"late frames, then a hole after the reopen",
         {{'f', 0, 0}, {'e', 0, 100}, {'f', 1, 110}, {'g', 0, 200}, {'b', 0, 300},
          {'f', 9, 320}, {'f', 10, 330}},
         true, 320, 7, 0, 0},
        {"nothing lost: the first frame after the reopen",
         {{'f', 0, 0}, {'e', 0, 100}, {'f', 1, 150}, {'g', 0, 200}, {'b', 0, 300},
          {'f', 2, 310}},
         true, 310, 0, 0, 0},
        {"another client's reopen brought the frames before our signs",
         {{'f', 0, 0}, {'e', 0, 100}, {'f', 5, 250}, {'g', 0, 260}, {'b', 0, 300},
          {'f', 6, 310}},
         true, 250, 4, 0, 0},
        {"never back", {{'f', 0, 0}, {'e', 0, 100}, {'g', 0, 200}, {'f', 1, 210}}, false, 0, 0,
         0, 0},
        {"a hole with no event is a loss",
         {{'f', 0, 0}, {'f', 3, 10}, {'e', 0, 100}, {'b', 0, 150}, {'f', 4, 160}},
         true, 160, 0, 2, 0},
        {"a sign with no event strays", {{'f', 0, 0}, {'g', 0, 50}, {'f', 1, 60}}, false, 0, 0,
         0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeqTrack track;
        GapTrack gaps = PlayGaps(c.steps, GapKind::Server, &track);
        EXPECT_EQ(c.strayed, gaps.strayedSigns);
        EXPECT_EQ(c.lostOutside, track.lost - gaps.missedInGaps);
        if (gaps.gaps.empty()) {
            EXPECT_FALSE(c.resumed);
            continue;
        }
        const ObserverGap &gap = gaps.gaps.back();
        EXPECT_EQ(c.resumed, gap.resumedMs != 0);
        EXPECT_EQ(c.resumedMs, gap.resumedMs);
        EXPECT_EQ(c.missed, gap.missed);
        EXPECT_EQ(c.resumed ? 1 : 0, gaps.resumedEventNo);
    }
}

TEST(StressEvents, EachEventGetsEveryTouchedObserversOutcome) {
    std::vector<StressEvent> events(3);
    events[0].kind = EventKind::ServerKill;
    events[0].atMs = 1000;
    events[1].kind = EventKind::DriverRestart;
    events[1].atMs = 5000;
    events[2].kind = EventKind::ServerKill;
    events[2].atMs = 9000;
    std::vector<ObserverGap> gaps(2);
    gaps[0].eventNo = 1;
    gaps[0].resumedMs = 1400;
    gaps[0].missed = 12;
    gaps[1].eventNo = 3;  // opened, never closed
    std::vector<EventOutcome> onDevice = MatchGaps(events, gaps, true);
    ASSERT_EQ(3u, onDevice.size());
    EXPECT_TRUE(onDevice[0].affected && onDevice[0].resumed);
    EXPECT_EQ(400u, onDevice[0].resumeMs);
    EXPECT_EQ(12u, onDevice[0].missed);
    EXPECT_TRUE(onDevice[1].affected && !onDevice[1].resumed) << "no gap for the restart";
    EXPECT_TRUE(onDevice[2].affected && !onDevice[2].resumed);
    std::vector<EventOutcome> simulated = MatchGaps(events, gaps, false);
    EXPECT_FALSE(simulated[1].affected) << "a restart does not touch a simulated net";
}

}  // namespace
