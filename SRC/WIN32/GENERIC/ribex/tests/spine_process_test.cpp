// ribex.exe as a process: start-up, single instance, the request loop with
// its client check, and the end once no client holds the server queue. The
// test creates and holds the shared trace ring before it starts the server
// (which inherits TRACESIZE and its level mask), so the server's lines
// outlive it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "server_check.h"
#include "server_marker.h"
#include "test_names.h"
#include "trace.h"
#include "trace_wait.h"
#include "wait_until.h"

namespace {

const std::string kCheck = "ribex::main, MESSAGE RECEVIED msgReq.id == 0x1\n";
const std::string kDropped =
    "ribex::main, MsgQReceive( ... ) == ERROR_BAD_LENGTH, request dropped\n";

std::wstring Quoted(const std::wstring &s) { return L"\"" + s + L"\""; }
std::string ServerPath() { return ribex_test::Narrow(ribex_test::ProgramPath(L"ribex")); }

class SpineProcess : public ::testing::Test {
  protected:
    // Earlier tests' servers end at their next client check.
    void SetUp() override {
        ASSERT_TRUE(ribex_test::WaitForServerEnd(6000)) << "an earlier server still runs";
    }
    void TearDown() override {
        if (hQueue_ != nullptr) MsgQClose(hQueue_);
        if (ring_ != nullptr) TraceRelease(ring_);
        SetEnvironmentVariableW(L"ribex.exe", nullptr);
        SetEnvironmentVariableW(L"TRACESIZE", nullptr);
    }
    void HoldRing(const wchar_t *serverMask) {
        SetEnvironmentVariableW(L"TRACESIZE", L"400 256");
        SetEnvironmentVariableW(L"TRACEPORT", nullptr);
        SetEnvironmentVariableW(L"ribex.exe", serverMask);
        ring_ = TraceRegister(nullptr, L"spinetest");
        ASSERT_TRUE(ring_ != nullptr && ring_->pBuffer != nullptr);
        TraceClearBuffer(ring_);
    }
    std::vector<std::string> Lines() const { return ribex_test::TraceLinesSince(ring_, 0); }
    int Count(const std::string &text) const {
        return ribex_test::CountTraceLines(ring_, 0, text);
    }
    bool WaitFor(const std::string &text) const {
        return ribex_test::ReadTraceUntil(ring_, 0, text, 5000);
    }
    bool WaitForIdleClientCheck(DWORD limitMs) const {
        return ribex_test::WaitForIdleClientCheck(hQueue_, limitMs);
    }
    bool Send(DWORD id) { return MsgQSend(hQueue_, &id, sizeof(id), 1000); }
    // A client's queue, then the server, serving once it answered a check.
    void StartServing(DWORD maxMessageSize = RIBEX_MAX_REQUEST_SIZE) {
        queueName_ = ribex_test::UniqueName(L"spineq");
        hQueue_ = MsgQCreate(queueName_.c_str(), 32, maxMessageSize, MSGQ_NAMED);
        ASSERT_NE(nullptr, hQueue_);
        ASSERT_TRUE(ribex_test::StartChild(L"ribex", Quoted(queueName_), server_.get()));
        ASSERT_TRUE(Send(RIBEX_REQ_CLIENT_CHECK));
        ASSERT_TRUE(WaitFor(kCheck)) << "server not serving";
    }
    bool ServerRunning() { return !ribex_test::WaitChild(server_.get(), 0, nullptr); }

    TraceModule *ring_ = nullptr;
    std::wstring queueName_;
    MsgQHandle hQueue_ = nullptr;
    ribex_test::ScopedChild server_;
};

TEST_F(SpineProcess, WithoutArgumentsTheOpenOfItsOwnPathFailsWith1460) {
    HoldRing(L"0xF");
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, ribex_test::RunProgram(L"ribex", L"", 20000));
    std::vector<std::string> expected = {
        "\nribex::main Entry\n", "ribex::main, argvW[] == " + ServerPath() + "\n",
        "ribex::main, ( hMsgQ = MsgQOpen( ... )) == NULL, errorCode == 1460\n",
        "ribex::main Exit (1460)\n\n"};
    EXPECT_EQ(expected, Lines());
    EXPECT_FALSE(ribex_test::ServerMarkerExists());
}

TEST_F(SpineProcess, SecondInstanceEndsWith183AndTheFirstKeepsServing) {
    HoldRing(L"0xF");
    StartServing();
    TraceClearBuffer(ring_);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS,
              ribex_test::RunProgram(L"ribex", Quoted(queueName_), 20000));
    EXPECT_EQ(1, Count("ribex::main, hMultipleInstances = CreateMutex( ... ), errorCode == 183\n"));
    EXPECT_EQ(1, Count("ribex::main Exit (183)\n\n"));
    EXPECT_EQ(0, Count("MsgQOpen"));
    ASSERT_TRUE(Send(RIBEX_REQ_CLIENT_CHECK));
    EXPECT_TRUE(WaitFor(kCheck));
    EXPECT_TRUE(ServerRunning());
}

TEST_F(SpineProcess, IdleServerChecksForClientsQuietlyAndKeepsServing) {
    HoldRing(L"0xF");  // every level: an idle server still writes nothing
    StartServing();
    // The first idle check also ends whatever the start-up check wrote.
    ASSERT_TRUE(WaitForIdleClientCheck(20000)) << "no client check of an idle server";
    TraceClearBuffer(ring_);
    // Two client checks, and the liveness checks of the seconds between.
    ASSERT_TRUE(WaitForIdleClientCheck(20000)) << "no second client check";
    ASSERT_TRUE(WaitForIdleClientCheck(20000)) << "no third client check";
    EXPECT_EQ(std::vector<std::string>{}, Lines());
    ASSERT_TRUE(Send(RIBEX_REQ_CLIENT_CHECK));
    EXPECT_TRUE(WaitFor(kCheck));
    EXPECT_TRUE(ServerRunning());
}

TEST_F(SpineProcess, ServerEndsWithZeroOnceTheLastClientClosedTheQueue) {
    HoldRing(L"0xF");
    StartServing();
    EXPECT_EQ(1, Count("ribex::main, argvW[] == " + ServerPath() + " " +
                       ribex_test::Narrow(queueName_) + "\n"));
    // Back in its receive, past the check that StartServing caused.
    ASSERT_TRUE(WaitForIdleClientCheck(20000)) << "the requested check never ended";
    MsgQClose(hQueue_);
    hQueue_ = nullptr;
    DWORD exitCode = 1;
    // One receive time-out, the pause of the check, room for a busy machine.
    ASSERT_TRUE(ribex_test::WaitChild(server_.get(), 3000 + 100 + 1900, &exitCode));
    EXPECT_EQ(0u, exitCode);
    // The decision, then only the teardown of the nets, then the exit line.
    std::vector<std::string> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("ribex::main Exit (0)\n\n", lines.back());
    EXPECT_EQ(1, Count("NO CLIENTS LEFT"));
    size_t at = 0;
    while (at < lines.size() && lines[at] != "ribex::main, NO CLIENTS LEFT\n") ++at;
    ASSERT_LT(at, lines.size());
    for (size_t i = at + 1; i + 1 < lines.size(); ++i)
        EXPECT_NE(std::string::npos, lines[i].find("UnRegisterAllRibexClients")) << lines[i];
    EXPECT_FALSE(ribex_test::ServerMarkerExists());
    EXPECT_EQ(nullptr, MsgQOpen(queueName_.c_str(), 0));
}

TEST_F(SpineProcess, OtherIdsAndRequestsOfBadLengthAreDroppedAndTheServerGoesOn) {
    HoldRing(L"0xF");
    StartServing(256);
    // Laid out as open requests of a client whose reply queue exists: an
    // answer of any kind would land there.
    std::wstring net = ribex_test::UniqueName(L"spinenet").substr(0, 40);
    MsgQHandle hReply = CreateMsgQ(net.c_str(), 0x1234, 0x5678, 12);
    ASSERT_NE(nullptr, hReply);
    TraceClearBuffer(ring_);
    for (DWORD id : {0u, 3u, 5u, 6u, 8u, 9u, 11u, 14u, 15u, 0x255u, 0x80000000u, 0xFFFFFFFFu}) {
        canIfOpenReqMsg request = {};
        request.id = id;
        request.majorVersion = RIBEX_CLIENT_MAJOR_VERSION;
        request.uniqueId.high = 0x1234;
        request.uniqueId.low = 0x5678;
        wcscpy(request.netName, net.c_str());
        ASSERT_TRUE(MsgQSend(hQueue_, &request, sizeof(request), 1000)) << id;
    }
    // Each begins like a client check: a server that acted on an empty, cut
    // or overlong request would write the check line more than once.
    char request[200] = {1};
    for (DWORD length : {0u, 2u, 125u, 200u, RIBEX_MAX_REQUEST_SIZE})
        ASSERT_TRUE(MsgQSend(hQueue_, request, length, 1000)) << length;
    ASSERT_TRUE(WaitFor(kCheck));
    // Requests are served in order: once a second check is answered, any
    // line the ones before it caused is in the ring.
    ASSERT_TRUE(Send(RIBEX_REQ_CLIENT_CHECK));
    ASSERT_TRUE(ribex_test::WaitUntil([&] { return Count(kCheck) == 2; }, 5000, 20));
    EXPECT_EQ((std::vector<std::string>{kDropped, kDropped, kCheck, kCheck}), Lines());
    char answer[12];
    DWORD length = 0;
    EXPECT_FALSE(MsgQReceive(hReply, answer, sizeof(answer), &length, 0));
    EXPECT_TRUE(ServerRunning());
    MsgQClose(hReply);
}

TEST_F(SpineProcess, AbandonedGlobalLockDoesNotStopTheStart) {
    HoldRing(L"0xF");
    std::wstring point = ribex_test::UniqueName(L"spinelock");
    HANDLE hPoint = ribex_test::PreparePoint(point);
    ribex_test::ScopedChild holder;
    ASSERT_TRUE(ribex_test::StartChild(L"ribex_spine_lock_holder", point, holder.get()));
    ASSERT_TRUE(ribex_test::WaitForPoint(point, 10000));
    ribex_test::KillChild(holder.get());  // dies inside its lock window
    CloseHandle(hPoint);
    StartServing();
    EXPECT_TRUE(ServerRunning());
}

}  // namespace
