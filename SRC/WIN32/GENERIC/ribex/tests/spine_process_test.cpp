// ribex.exe as a process: start-up, single instance, the request loop with
// its client check, and the end once no client holds the server queue.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "spine_trace_ring.h"
#include "test_names.h"

using ribex_test::ScopedChild;
using spine_test::TraceRing;

namespace {

const char kClientCheckLine[] = "ribex::main, MESSAGE RECEVIED msgReq.id == 0x1\n";
const DWORD kLineWaitMs = 5000;
// One receive time-out, the pause of the check, and room for a busy machine.
const DWORD kExitAfterLastClientMs = 3000 + 100 + 1900;

std::wstring Quoted(const std::wstring &s) { return L"\"" + s + L"\""; }

bool MarkerExists() {
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, L"ribexMultInstMtx");
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

// Earlier tests' servers end at their next client check; a new test must
// not meet their instance marker.
void WaitForNoServer() {
    for (int i = 0; i < 300 && MarkerExists(); ++i) Sleep(20);
}

bool SendId(MsgQHandle hQueue, DWORD id) { return MsgQSend(hQueue, &id, sizeof(id), 1000); }

class SpineProcess : public ::testing::Test {
  protected:
    void SetUp() override { WaitForNoServer(); }

    // The client side of a server: its queue, then the server itself,
    // serving once it has answered a client check.
    void StartServing(TraceRing &ring, DWORD maxMessageSize = RIBEX_MAX_REQUEST_SIZE) {
        queueName_ = ribex_test::UniqueName(L"spineq");
        hQueue_ = MsgQCreate(queueName_.c_str(), 16, maxMessageSize, MSGQ_NAMED);
        ASSERT_NE(nullptr, hQueue_);
        ASSERT_TRUE(ribex_test::StartChild(L"ribex", Quoted(queueName_), server_.get()));
        ASSERT_TRUE(SendId(hQueue_, RIBEX_REQ_CLIENT_CHECK));
        ASSERT_TRUE(ring.WaitFor(kClientCheckLine, kLineWaitMs)) << "server not serving";
    }

    bool ServerRunning() { return !ribex_test::WaitChild(server_.get(), 0, nullptr); }

    void TearDown() override {
        if (hQueue_ != nullptr) MsgQClose(hQueue_);
    }

    std::wstring queueName_;
    MsgQHandle hQueue_ = nullptr;
    ScopedChild server_;
};

TEST_F(SpineProcess, WithoutArgumentsTheOpenOfItsOwnPathFailsWithTimeout) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, ribex_test::RunProgram(L"ribex", L"", 20000));

    std::vector<std::string> lines = ring.Snapshot();
    std::vector<std::string> expected = {
        "\nribex::main Entry\n",
        "ribex::main, argvW[] == " + ribex_test::Narrow(ribex_test::ProgramPath(L"ribex")) + "\n",
        "ribex::main, ( hMsgQ = MsgQOpen( ... )) == NULL, errorCode == 1460\n",
        "ribex::main Exit (1460)\n\n"};
    EXPECT_EQ(expected, lines);
    EXPECT_FALSE(MarkerExists());
}

TEST_F(SpineProcess, SecondInstanceEndsWith183AndTheFirstKeepsServing) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    StartServing(ring);
    ring.Clear();

    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, ribex_test::RunProgram(L"ribex", Quoted(queueName_), 20000));
    EXPECT_EQ(1, ring.Count("ribex::main, hMultipleInstances = CreateMutex( ... ), errorCode == 183\n"));
    EXPECT_EQ(1, ring.Count("ribex::main Exit (183)\n\n"));
    EXPECT_EQ(0, ring.Count("MsgQOpen"));

    ASSERT_TRUE(SendId(hQueue_, RIBEX_REQ_CLIENT_CHECK));
    EXPECT_TRUE(ring.WaitFor(kClientCheckLine, kLineWaitMs));
    EXPECT_TRUE(ServerRunning());
    EXPECT_TRUE(MarkerExists());
}

TEST_F(SpineProcess, IdleServerChecksForClientsQuietlyAndKeepsServing) {
    TraceRing ring(L"0x4");  // events and failures only
    ASSERT_TRUE(ring.ok());
    StartServing(ring);
    ring.Clear();

    // Past one receive time-out and its close/reopen of the queue.
    Sleep(4000);
    EXPECT_TRUE(ServerRunning());
    EXPECT_EQ(std::vector<std::string>{}, ring.Lines());

    ASSERT_TRUE(SendId(hQueue_, RIBEX_REQ_CLIENT_CHECK));
    EXPECT_TRUE(ring.WaitFor(kClientCheckLine, kLineWaitMs));
    EXPECT_TRUE(ServerRunning());
}

TEST_F(SpineProcess, ServerEndsWithZeroOnceTheLastClientClosedTheQueue) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    StartServing(ring);
    EXPECT_EQ(1, ring.Count("ribex::main, argvW[] == " +
                            ribex_test::Narrow(ribex_test::ProgramPath(L"ribex")) + " " +
                            ribex_test::Narrow(queueName_) + "\n"));
    Sleep(300);  // back in its receive, past the check that StartServing caused

    MsgQClose(hQueue_);
    hQueue_ = nullptr;
    DWORD exitCode = 1;
    ASSERT_TRUE(ribex_test::WaitChild(server_.get(), kExitAfterLastClientMs, &exitCode));
    EXPECT_EQ(0u, exitCode);

    // The decision, then the teardown of the nets, then the exit line.
    std::vector<std::string> lines = ring.Snapshot();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("ribex::main Exit (0)\n\n", lines.back());
    auto noClients = std::find(lines.begin(), lines.end(), "ribex::main, NO CLIENTS LEFT\n");
    ASSERT_NE(lines.end(), noClients);
    EXPECT_EQ(1, ring.Count("NO CLIENTS LEFT"));
    for (auto it = noClients + 1; it + 1 != lines.end(); ++it)
        EXPECT_NE(std::string::npos, it->find("UnRegisterAllRibexClients")) << *it;
    // The marker went with the decision to stop; the queue is gone.
    EXPECT_FALSE(MarkerExists());
    EXPECT_EQ(nullptr, MsgQOpen(queueName_.c_str(), 0));
}

TEST_F(SpineProcess, RequestsOfOtherIdsGetNoAnswerAndNoLine) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    StartServing(ring);

    // Laid out as an open request of a client whose reply queue exists: an
    // answer of any kind would land there.
    std::wstring net = ribex_test::UniqueName(L"spinenet").substr(0, 40);
    MsgQHandle hReply = CreateMsgQ(net.c_str(), 0x1234, 0x5678, 12);
    ASSERT_NE(nullptr, hReply);
    ring.Clear();
    for (DWORD id : {0u, 3u, 5u, 6u, 8u, 9u, 11u, 14u, 15u, 0x255u, 0x80000000u, 0xFFFFFFFFu}) {
        canIfOpenReqMsg request = {};
        request.id = id;
        request.majorVersion = RIBEX_CLIENT_MAJOR_VERSION;
        request.uniqueId.high = 0x1234;
        request.uniqueId.low = 0x5678;
        wcscpy(request.netName, net.c_str());
        ASSERT_TRUE(MsgQSend(hQueue_, &request, sizeof(request), 1000)) << id;
    }
    ASSERT_TRUE(SendId(hQueue_, RIBEX_REQ_CLIENT_CHECK));
    ASSERT_TRUE(ring.WaitFor(kClientCheckLine, kLineWaitMs));

    EXPECT_EQ(std::vector<std::string>{kClientCheckLine}, ring.Lines());
    char answer[12];
    DWORD length = 0;
    EXPECT_FALSE(MsgQReceive(hReply, answer, sizeof(answer), &length, 0));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
    EXPECT_TRUE(ServerRunning());
    MsgQClose(hReply);
}

TEST_F(SpineProcess, OversizedRequestIsDroppedAndTheServerGoesOn) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    StartServing(ring, 256);
    ring.Clear();

    // Their first word reads as a client check: a server that acted on a
    // cut request would write the check line more than once.
    char request[200] = {};
    request[0] = 1;
    ASSERT_TRUE(MsgQSend(hQueue_, request, 125, 1000));
    ASSERT_TRUE(MsgQSend(hQueue_, request, 200, 1000));
    ASSERT_TRUE(MsgQSend(hQueue_, request, RIBEX_MAX_REQUEST_SIZE, 1000));  // the largest accepted
    ASSERT_TRUE(ring.WaitFor(kClientCheckLine, kLineWaitMs));
    Sleep(300);  // a late second check line would show by now

    const char kDropped[] = "ribex::main, MsgQReceive( ... ) == ERROR_BAD_LENGTH, request dropped\n";
    std::vector<std::string> expected = {kDropped, kDropped, kClientCheckLine};
    EXPECT_EQ(expected, ring.Lines());
    EXPECT_TRUE(ServerRunning());
}

TEST_F(SpineProcess, RequestsWithoutAWholeIdAreDropped) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    StartServing(ring);  // the last request it handled was a client check
    ring.Clear();

    // Neither may be taken for a client check: not the empty one from what
    // the buffer held before, nor the one whose two bytes begin like id 1.
    ASSERT_TRUE(MsgQSend(hQueue_, "", 0, 1000));
    char twoBytes[2] = {1, 0};
    ASSERT_TRUE(MsgQSend(hQueue_, twoBytes, sizeof(twoBytes), 1000));
    ASSERT_TRUE(SendId(hQueue_, RIBEX_REQ_CLIENT_CHECK));
    ASSERT_TRUE(ring.WaitFor(kClientCheckLine, kLineWaitMs));
    Sleep(300);  // a late second check line would show by now

    EXPECT_EQ(std::vector<std::string>{kClientCheckLine}, ring.Lines());
    EXPECT_TRUE(ServerRunning());
}

TEST_F(SpineProcess, AbandonedGlobalLockDoesNotStopTheStart) {
    TraceRing ring(L"0xF");
    ASSERT_TRUE(ring.ok());
    std::wstring point = ribex_test::UniqueName(L"spinelock");
    HANDLE hPoint = ribex_test::PreparePoint(point);
    ScopedChild holder;
    ASSERT_TRUE(ribex_test::StartChild(L"ribex_spine_lock_holder", point, holder.get()));
    ASSERT_TRUE(ribex_test::WaitForPoint(point, 10000));
    ribex_test::KillChild(holder.get());
    CloseHandle(hPoint);

    StartServing(ring);
    EXPECT_TRUE(ServerRunning());
}

}  // namespace
