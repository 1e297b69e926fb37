// A server that dies while it holds a request of ours: the request must
// end as soon as the library can tell that the server is gone, not after
// the whole confirm time-out, and a close ends with success (the net went
// with the server). The test plays the dying server's part exactly: it
// holds the server still, takes the request off the server's queue itself,
// and then kills the server, so that no confirm can ever come.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "child_process.h"
#include "msgq.h"
#include "ribex_client.h"
#include "ribex_messages.h"
#include "server_marker.h"
#include "sim_can_message.h"
#include "test_names.h"

namespace {

// Long enough that a wait for the whole time-out is never mistaken for
// the server-gone answer, short enough for the test's own time-out.
const DWORD kConfirmTimeoutMs = 60000;

bool SuspendProcessThreads(DWORD pid) {
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnap == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int suspended = 0;
    for (BOOL more = Thread32First(hSnap, &entry); more; more = Thread32Next(hSnap, &entry)) {
        if (entry.th32OwnerProcessID != pid) continue;
        HANDLE hThread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (hThread == nullptr) continue;
        if (SuspendThread(hThread) != (DWORD)-1) ++suspended;
        CloseHandle(hThread);
    }
    CloseHandle(hSnap);
    return suspended > 0;
}

struct CallResult {
    BOOL ok = FALSE;
    DWORD errorCode = 0;
};

class RequestDeath : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ribex_test::WaitForServerEnd(8000)) << "an earlier server still runs";
        queueName_ = ribex_test::UniqueName(L"deathq");
        net_ = ribex_test::UniqueName(L"CAN").substr(0, 40);
        hPeer_ = MsgQCreate(net_.c_str(), 512, sizeof(SimCanMsg), MSGQ_NAMED);
        ASSERT_NE(nullptr, hPeer_);
        options_.serverQueueName = queueName_.c_str();
        options_.confirmTimeoutMs = kConfirmTimeoutMs;
        ASSERT_TRUE(RibexOpenNet(net_.c_str(), &options_, &pNet_)) << GetLastError();
        serverPid_ = ribex_test::FindProcessByName(L"ribex.exe");
        ASSERT_NE(0u, serverPid_);
        hServerQueue_ = MsgQOpen(queueName_.c_str(), 1000);
        ASSERT_NE(nullptr, hServerQueue_);
    }
    void TearDown() override {
        if (pNet_ != nullptr) RibexCloseNet(pNet_);
        if (hServerQueue_ != nullptr) MsgQClose(hServerQueue_);
        if (hPeer_ != nullptr) MsgQClose(hPeer_);
        EXPECT_TRUE(ribex_test::WaitForServerEnd(10000)) << "server did not end";
    }

    // Holds the server, runs the call on a thread of its own, takes the
    // call's request off the queue, kills the server, and waits for the
    // call's end. The request's id comes back for the caller to check.
    template <typename Call>
    CallResult CallWhileServerDies(Call call, DWORD *pRequestId) {
        CallResult result;
        *pRequestId = 0;
        EXPECT_TRUE(SuspendProcessThreads(serverPid_));
        std::thread caller([&] {
            result.ok = call();
            result.errorCode = GetLastError();
        });
        msgReq request = {};
        DWORD length = 0;
        if (MsgQReceive(hServerQueue_, &request, sizeof(request), &length, 20000))
            *pRequestId = request.id;
        EXPECT_TRUE(ribex_test::KillProcessById(serverPid_));
        caller.join();
        return result;
    }

    std::wstring queueName_, net_;
    MsgQHandle hPeer_ = nullptr, hServerQueue_ = nullptr;
    RibexClientOptions options_ = {};
    RibexClientNet *pNet_ = nullptr;
    DWORD serverPid_ = 0;
};

TEST_F(RequestDeath, ARequestHeldByADyingServerEndsWithServerGoneAndTheNetComesBack) {
    DWORD requestId = 0;
    DWORD start = GetTickCount();
    CallResult enable =
        CallWhileServerDies([&] { return RibexEnableRemFrame(pNet_, 0x456, 2); }, &requestId);
    DWORD tookMs = GetTickCount() - start;
    ASSERT_EQ(RIBEX_REQ_ENABLE_REM_FRAME, requestId);
    EXPECT_FALSE(enable.ok);
    EXPECT_EQ((DWORD)RIBEX_ERROR_SERVER_GONE, enable.errorCode);
    EXPECT_LT(tookMs, kConfirmTimeoutMs) << "the call waited for the whole time-out";

    // The watcher opens the net on a new server; the same request is
    // answered there, so nothing of the dead exchange is left behind.
    RibexFrame frame;
    DWORD n = 0, lost = 0;
    DWORD readError = 0;
    for (DWORD i = 0; i < 100 && readError != (DWORD)RIBEX_ERROR_NET_REOPENED; ++i)
        if (!RibexReadFrames(pNet_, &frame, 1, &n, &lost, 500)) readError = GetLastError();
    ASSERT_EQ((DWORD)RIBEX_ERROR_NET_REOPENED, readError);
    EXPECT_TRUE(RibexEnableRemFrame(pNet_, 0x456, 2)) << GetLastError();
    DWORD canId = 0;
    EXPECT_TRUE(RibexEnumRemFrame(pNet_, 0, &canId)) << GetLastError();
    EXPECT_EQ(0x456u, canId);
}

TEST_F(RequestDeath, ACloseHeldByADyingServerSucceeds) {
    DWORD requestId = 0;
    RibexClientNet *pNet = pNet_;
    pNet_ = nullptr;  // closed here, whatever the answer
    CallResult close = CallWhileServerDies([&] { return RibexCloseNet(pNet); }, &requestId);
    ASSERT_EQ(RIBEX_REQ_IF_CLOSE, requestId);
    EXPECT_TRUE(close.ok) << close.errorCode;
    // No reopen follows a close: no new server starts for this process.
    EXPECT_FALSE(ribex_test::ServerMarkerExists());
}

}  // namespace
