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

struct OptionCase {
    std::vector<const wchar_t *> args;
    const wchar_t *errorMentions;  // null: accepted
};

const OptionCase OPTION_CASES[] = {
    {{L"-t", L"600", L"-r", L"500", L"-k", L"40", L"-i", L"60"}, nullptr},
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
        {10, 500, 100, 100},  // before fromS: left out
        {60, 100, 1000, 2000},
        {120, 102, 1010, 2000},
        {180, 101, 990, 2100},
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

}  // namespace
