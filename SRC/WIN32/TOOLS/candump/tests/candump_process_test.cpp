// candump as a user runs it: against a server, with filters, a log file and
// statistics, and the remote-frame commands.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "registry_e2e.h"
#include "test_names.h"
#include "wait_until.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::RunProgram;
using ribex_test::UniqueName;

namespace {

Server g_server;

class Candump : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartServer(&g_server)); }
    // The suite's server ends by itself once no client holds its queue.
    static void TearDownTestSuite() { EXPECT_EQ(StopServer(&g_server, 15000), 0u); }
    void SetUp() override { ASSERT_TRUE(ServerRunning(&g_server)); }
    std::wstring Q() { return L"-q " + g_server.queueName + L" "; }
};

bool Has(const std::string &out, const std::string &text) { return out.find(text) != std::string::npos; }

TEST_F(Candump, PrintsTheFramesThatPassItsFiltersAndWritesThemToTheLog) {
    std::wstring net = UniqueName(L"dump");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    std::wstring logPath = std::wstring(tempDir) + UniqueName(L"candump") + L".log";

    ChildProcess dump;
    ASSERT_TRUE(ribex_test::StartChild(L"candump",
                                       Q() + L"-n 6 -s -f 100:7F0 -f 1F334455:1FFFFFFF -l \"" + logPath + L"\" " + net,
                                       &dump, true));
    ASSERT_TRUE(ribex_test::WaitUntil([&] { return NetExists(net); }, 10000))
        << "candump did not open the net";
    const DWORD ids[] = {0x100, 0x200, 0x1F334455, 0x101, 0x102, 0x103, 0x104, 0x105};
    for (DWORD i = 0; i < 8; ++i) ASSERT_TRUE(SendFrames(hPeer, i, 1, ids[i]));

    std::string out = ribex_test::ReadAllOutput(&dump);
    DWORD code = 99;
    ASSERT_TRUE(ribex_test::WaitChild(&dump, 20000, &code));
    ribex_test::ReleaseChild(&dump);
    EXPECT_EQ(code, 0u) << out;
    std::string n = ribex_test::Narrow(net);
    EXPECT_TRUE(Has(out, ") " + n + " 100#00000000\n") || Has(out, ") " + n + " 100#00000000\r\n")) << out;
    EXPECT_TRUE(Has(out, " " + n + " 1F334455#02000000")) << out;
    EXPECT_TRUE(Has(out, " " + n + " 104#06000000")) << out;
    EXPECT_FALSE(Has(out, " 200#")) << out;
    EXPECT_FALSE(Has(out, " 105#")) << out;  // past the count
    EXPECT_TRUE(Has(out, "candump: 6 frames in ")) << out;
    EXPECT_TRUE(Has(out, ", 0 lost, bus load ")) << out;

    std::ifstream log(ribex_test::Narrow(logPath));
    std::string l((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(l.begin(), l.end(), '\n'), 6) << l;
    EXPECT_TRUE(Has(l, " " + n + " 103#05000000")) << l;
    // The log holds the very lines the screen shows.
    for (size_t at = 0, end; (end = l.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = l.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        EXPECT_TRUE(Has(out, line + "\n") || Has(out, line + "\r\n")) << line << "\n" << out;
    }
    log.close();
    DeleteFileW(logPath.c_str());
    MsgQClose(hPeer);
}

TEST_F(Candump, ManagesRemoteFrameRepliesOfANetThatAnotherClientHoldsOpen) {
    std::wstring net = UniqueName(L"rcmd");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    std::wstring ready = UniqueName(L"hr"), done = UniqueName(L"hd");
    ChildProcess holder;
    ASSERT_TRUE(StartClient(L"queue " + g_server.queueName + L" open " + net + L" signal " + ready + L" wait " + done +
                                L" close",
                            &holder));
    ASSERT_TRUE(WaitEvent(ready, 20000));

    std::string out;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"-u cafe:1 enable " + net + L" 123", 20000, &out), 0u) << out;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"-u cafe:2 enable " + net + L" 1ABCDEF 4", 20000, &out), 0u) << out;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"-u beef:1 disable " + net + L" 123", 20000, &out), 1u);
    EXPECT_TRUE(Has(out, "error 5")) << out;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"list " + net, 20000, &out), 0u) << out;
    std::string n = ribex_test::Narrow(net);
    EXPECT_TRUE(Has(out, n + " 123")) << out;
    EXPECT_TRUE(Has(out, n + " 01ABCDEF")) << out;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"-u cafe:3 disable-all " + net, 20000, &out), 0u) << out;
    EXPECT_EQ(RunProgram(L"candump", Q() + L"list " + net, 20000, &out), 0u) << out;
    EXPECT_FALSE(Has(out, n + " ")) << out;

    SignalEvent(done);
    FinishClient(&holder);
    MsgQClose(hPeer);
}

TEST_F(Candump, WrongArgumentsSayWhatWasWrongAndShowTheUsage) {
    const struct {
        const wchar_t *args;
        DWORD code;
        const char *text;
    } cases[] = {{L"-h", 0, "Examples:"},
                 {L"-x CAN1", 2, "unknown option: '-x'"},
                 {L"", 2, "no net given"},
                 {L"-f 100 CAN1", 2, "filter must be ID:MASK"},
                 {L"-t x CAN1", 2, "Usage: candump"},
                 {L"enable CAN1 zz", 2, "bad or missing identifier"},
                 {L"enable CAN1 +123", 2, "bad or missing identifier"},
                 {L"-n +5 CAN1", 2, "-n: bad count: '+5'"},
                 {L"-b 4294967296 CAN1", 2, "bad bit rate"},
                 {L"-u 1:-2 CAN1", 2, "unique id must be HIGH:LOW in hex"},
                 {L"-l x.log -L xml CAN1", 2, "log format must be log, asc or blf"},
                 {L"-L asc CAN1", 2, "-L needs -l FILE"},
                 {L"-L log CAN1", 2, "-L needs -l FILE"}};
    for (const auto &c : cases) {
        std::string out;
        EXPECT_EQ(RunProgram(L"candump", c.args, 10000, &out), c.code) << ribex_test::Narrow(c.args);
        EXPECT_TRUE(Has(out, c.text)) << out;
        EXPECT_TRUE(c.code == 0 || Has(out, "Usage: candump")) << out;
    }
}

// A server of its own, which served candump one frame.
TEST(CandumpServerEnd, TheServerEndsWithExitCodeZeroAfterCandumpClosedItsNet) {
    Server server;
    ASSERT_TRUE(StartServer(&server));
    std::wstring net = UniqueName(L"dumpend");
    Peer peer(net);
    ChildProcess dump;
    ASSERT_TRUE(ribex_test::StartChild(L"candump", L"-q " + server.queueName + L" -n 1 " + net,
                                       &dump, true));
    ASSERT_TRUE(ribex_test::WaitUntil([&] { return NetExists(net); }, 10000))
        << "candump did not open the net";
    ASSERT_TRUE(SendFrames(peer.h, 0, 1));
    std::string out = ribex_test::ReadAllOutput(&dump);
    DWORD code = 99;
    EXPECT_TRUE(ribex_test::WaitChild(&dump, 20000, &code));
    ribex_test::ReleaseChild(&dump);
    EXPECT_EQ(code, 0u) << out;
    EXPECT_EQ(StopServer(&server, 15000), 0u);
}

}  // namespace
