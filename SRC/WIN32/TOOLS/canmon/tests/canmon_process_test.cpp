// canmon as a user runs it, against known traffic that canpeer puts on the
// virtual driver's bus VCAN5: the plain table's counts, rates, changed bytes,
// filters and bus load, checked against the frames' own time stamps as this
// test reads them from the same net; the frames it loses when made to fall
// behind; and a net that cannot be opened, explained as candump explains it.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "registry_e2e.h"
#include "ribex_client.h"
#include "test_names.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::RunProgram;

namespace {

// VCAN5 of the driver fixture belongs to this suite.
const wchar_t kNet[] = L"VCAN5";
Server g_server;

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// What the test itself reads from the net: per identifier the count and
// the first and last time stamps, and the bits for the bus load.
struct Seen {
    struct Id {
        unsigned long long count = 0, first = 0, last = 0;
    };
    std::map<DWORD, Id> ids;
    unsigned long long frames = 0, lost = 0, errors = 0, first = 0, last = 0;
    double Rate(DWORD id) const {
        const Id &s = ids.at(id);
        return (double)(s.count - 1) * 1e7 / (double)(s.last - s.first);
    }
};

void Take(Seen *seen, const RibexFrame *frames, DWORD n) {
    for (DWORD i = 0; i < n; ++i) {
        const RibexFrame &f = frames[i];
        if (f.errorCode != 0) {
            seen->errors++;
            continue;
        }
        Seen::Id &id = seen->ids[f.msg.can.id];
        if (id.count++ == 0) id.first = f.msg.timeStamp;
        id.last = f.msg.timeStamp;
        if (seen->frames++ == 0) seen->first = f.msg.timeStamp;
        seen->last = f.msg.timeStamp;
    }
}

// Reads the net while the peers run, and a moment after they ended.
void ReadWhilePeersRun(RibexClientNet *pNet, std::vector<ChildProcess> *peers, Seen *seen) {
    std::vector<RibexFrame> frames(256);
    DWORD quietSince = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000;) {
        DWORD n = 0, lost = 0;
        ASSERT_TRUE(RibexReadFrames(pNet, frames.data(), 256, &n, &lost, 50)) << GetLastError();
        Take(seen, frames.data(), n);
        seen->lost += lost;
        bool running = false;
        for (ChildProcess &p : *peers)
            running |= WaitForSingleObject(p.hProcess, 0) == WAIT_TIMEOUT;
        if (running || n != 0)
            quietSince = GetTickCount();
        else if (GetTickCount() - quietSince > 500)
            break;
    }
    for (ChildProcess &p : *peers) {
        DWORD code = 99;
        EXPECT_TRUE(ribex_test::WaitChild(&p, 1000, &code));
        EXPECT_EQ(code, 0u) << "canpeer failed";
        ribex_test::ReleaseChild(&p);
    }
}

// One row of a plain table: count, rate, period, jitter, age, data.
struct Row {
    bool found = false;
    unsigned long long count = 0;
    double rate = 0, period = 0, jitter = 0, age = 0;
    std::string type, data;
};

Row FindRow(const std::string &out, const std::string &net, const std::string &id) {
    Row row;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string n, i;
        words >> n >> i;
        if (n != net || i != id) continue;
        words >> row.type >> row.count >> row.rate >> row.period >> row.jitter >> row.age;
        std::getline(words, row.data);
        row.data.erase(0, row.data.find_first_not_of(' '));
        row.found = true;  // the last table counts
    }
    return row;
}

class Canmon : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartServer(&g_server)); }
    // The suite's server ends by itself once no client holds its queue.
    static void TearDownTestSuite() { EXPECT_EQ(StopServer(&g_server, 15000), 0u); }
    void SetUp() override {
        ASSERT_TRUE(ServerRunning(&g_server));
        RibexClientOptions options = {};
        options.serverQueueName = g_server.queueName.c_str();
        ASSERT_TRUE(RibexOpenNet(kNet, &options, &pNet_))
            << GetLastError() << ": is the driver loaded?";
    }
    void TearDown() override {
        if (pNet_ != nullptr) {
            EXPECT_TRUE(RibexCloseNet(pNet_));
        }
    }
    std::wstring Q() { return L"-q " + g_server.queueName + L" "; }

    // Starts canmon; returns once it reads the net.
    void StartMonitor(const std::wstring &args, ChildProcess *child, std::string *out) {
        ASSERT_TRUE(ribex_test::StartChild(L"canmon", Q() + args, child, true));
        ASSERT_TRUE(ribex_test::ReadOutputUntil(child, "canmon: reading", 30000, out)) << *out;
    }
    void FinishMonitor(ChildProcess *child, std::string *out) {
        *out += ribex_test::ReadAllOutput(child);
        DWORD code = 99;
        ASSERT_TRUE(ribex_test::WaitChild(child, 30000, &code)) << *out;
        ribex_test::ReleaseChild(child);
        EXPECT_EQ(code, 0u) << *out;
        EXPECT_TRUE(Has(*out, "canmon: VCAN5 closed: ")) << *out;
    }
    void StartPeer(const std::wstring &args, std::vector<ChildProcess> *peers) {
        ChildProcess peer;
        ASSERT_TRUE(ribex_test::StartChild(L"canpeer", L"-d VCAN5 " + args, &peer));
        peers->push_back(peer);
    }

    RibexClientNet *pNet_ = nullptr;
};

TEST_F(Canmon, KnownTrafficGivesCountsRatesChangedBytesAndBusLoadFromTheFramesTimeStamps) {
    ChildProcess all, filtered;
    std::string allOut, filteredOut;
    StartMonitor(L"-S -t 9000 -b 1000000 VCAN5", &all, &allOut);
    StartMonitor(L"-S -t 9000 -f 1ABCDEF0:1FFFFFFF VCAN5", &filtered, &filteredOut);
    std::vector<ChildProcess> peers;
    StartPeer(L"-g -n 200 -r 200 -I 123 -L 8", &peers);
    StartPeer(L"-g -n 100 -r 100 -I 1ABCDEF0 -L 4", &peers);
    Seen seen;
    ReadWhilePeersRun(pNet_, &peers, &seen);
    FinishMonitor(&all, &allOut);
    FinishMonitor(&filtered, &filteredOut);

    ASSERT_EQ(seen.lost, 0u);
    ASSERT_EQ(seen.ids[0x123].count, 200u);
    ASSERT_EQ(seen.ids[0x1ABCDEF0].count, 100u);

    Row standard = FindRow(allOut, "VCAN5", "123");
    ASSERT_TRUE(standard.found) << allOut;
    EXPECT_EQ(standard.type, "std");
    EXPECT_EQ(standard.count, 200u);
    // The peers stopped seconds before the last table: their rates are what
    // the last seconds carried, nothing; the period is the whole run's.
    EXPECT_EQ(standard.rate, 0.0) << allOut;
    EXPECT_NEAR(standard.period, 1000.0 / seen.Rate(0x123), 0.0006 + 1e-4 * standard.period);
    // The data bytes carry the sequence number: the last is 199, and only
    // byte 0 changed over the run.
    EXPECT_EQ(standard.data, "C7*00 00 00 00 00 00 00") << allOut;

    Row extended = FindRow(allOut, "VCAN5", "1ABCDEF0");
    ASSERT_TRUE(extended.found) << allOut;
    EXPECT_EQ(extended.type, "ext");
    EXPECT_EQ(extended.count, 100u);
    EXPECT_EQ(extended.rate, 0.0) << allOut;
    EXPECT_NEAR(extended.period, 1000.0 / seen.Rate(0x1ABCDEF0), 0.0006 + 1e-4 * extended.period);
    EXPECT_EQ(extended.data, "63*00 00 00") << allOut;

    // 200 frames of 135 bits and 100 of 120 bits over the net's time span.
    double seconds = (double)(seen.last - seen.first) / 1e7;
    char load[64];
    snprintf(load, sizeof(load), "bus load %.2f%% at 1000000 bit/s",
             100.0 * 39000 / (seconds * 1e6));
    EXPECT_TRUE(Has(allOut, load)) << load << "\n" << allOut;
    EXPECT_TRUE(Has(allOut, ", 0 lost, 0 error entries, 300 frames")) << allOut;

    // The filter hides rows, the header still counts the whole net.
    EXPECT_FALSE(FindRow(filteredOut, "VCAN5", "123").found) << filteredOut;
    EXPECT_EQ(FindRow(filteredOut, "VCAN5", "1ABCDEF0").count, 100u) << filteredOut;
    EXPECT_TRUE(Has(filteredOut, "300 frames")) << filteredOut;
    EXPECT_TRUE(Has(filteredOut, "filter 1ABCDEF0:1FFFFFFF")) << filteredOut;
}

TEST_F(Canmon, AMonitorThatFallsBehindCountsWhatItLost) {
    ChildProcess slow;
    std::string out;
    StartMonitor(L"-S -t 9000 --read-delay 400 VCAN5", &slow, &out);
    std::vector<ChildProcess> peers;
    StartPeer(L"-g -n 3000 -r 3000 -I 321 -L 8", &peers);
    Seen seen;
    ReadWhilePeersRun(pNet_, &peers, &seen);
    FinishMonitor(&slow, &out);

    // Every entry the ring carried is either counted or lost (error entries
    // too, should the driver's queue have overflowed on a busy machine).
    unsigned long long entries = seen.frames + seen.errors + seen.lost;
    EXPECT_GT(seen.frames, 1000u) << "too little traffic to make the monitor fall behind";
    unsigned long long frames = 0, lost = 0, errors = 0;
    size_t at = out.rfind("canmon: VCAN5 closed: ");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(sscanf(out.c_str() + at, "canmon: VCAN5 closed: %llu frames, %llu lost, %llu error",
                     &frames, &lost, &errors),
              3)
        << out;
    EXPECT_GT(lost, 0u) << out;
    EXPECT_EQ(errors, seen.errors) << out;
    EXPECT_EQ(frames + errors + lost, entries) << out;
    EXPECT_TRUE(FindRow(out, "VCAN5", "321").found) << out;
}

TEST_F(Canmon, ANetThatCannotBeOpenedIsExplainedAsCandumpExplainsIt) {
    std::string monOut, dumpOut;
    EXPECT_EQ(RunProgram(L"canmon", Q() + L"-S NOSUCHNET", 30000, &monOut), 1u) << monOut;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"NOSUCHNET", 30000, &dumpOut), 1u) << dumpOut;
    const std::string why =
        "no device \\\\.\\NOSUCHNET, and no simulated peer queue named NOSUCHNET appeared in time";
    EXPECT_TRUE(Has(monOut, "canmon: cannot open NOSUCHNET: " + why)) << monOut;
    EXPECT_TRUE(Has(dumpOut, "candump: cannot open NOSUCHNET: " + why)) << dumpOut;
    EXPECT_TRUE(Has(monOut, "'canpeer -s NOSUCHNET'")) << monOut;
    EXPECT_EQ(monOut.substr(monOut.find(": no device")),
              dumpOut.substr(dumpOut.find(": no device")));
}

TEST_F(Canmon, HelpVersionAndWrongArgumentsAsOurOtherTools) {
    const struct {
        const wchar_t *args;
        DWORD code;
        const char *text;
    } cases[] = {{L"-h", 0, "Examples:"},
                 {L"-V", 0, "canmon 1."},
                 {L"-o size CAN1", 2, "canmon: -o: sort order must be id, rate or age: 'size'"},
                 {L"", 2, "canmon: no net given"},
                 {L"-f 1 CAN1", 2, "canmon: -f: filter must be ID:MASK in hex: '1'"}};
    for (const auto &c : cases) {
        std::string out;
        EXPECT_EQ(RunProgram(L"canmon", c.args, 20000, &out), c.code) << ribex_test::Narrow(c.args);
        EXPECT_TRUE(Has(out, c.text)) << out;
        EXPECT_TRUE(c.code != 2 || Has(out, "Usage: canmon")) << out;
    }
}

// A server of its own, whose one client opened and closed the net.
TEST(CanmonServerEnd, TheServerEndsWithExitCodeZeroOnceTheNetIsClosed) {
    Server server;
    ASSERT_TRUE(StartServer(&server));
    RibexClientOptions options = {};
    options.serverQueueName = server.queueName.c_str();
    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(kNet, &options, &pNet)) << GetLastError();
    EXPECT_TRUE(RibexCloseNet(pNet));
    EXPECT_EQ(StopServer(&server, 15000), 0u);
}

}  // namespace
