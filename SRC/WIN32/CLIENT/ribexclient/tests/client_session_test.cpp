// The client library against the real ribex.exe, which it starts from
// beside the test: requests and their answers, frames from a simulated
// peer through the shared buffer, and the server's lifetime following the
// open nets. A net needs a peer here: this test creates its queue.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "ribex_client.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "server_check.h"
#include "server_marker.h"
#include "sim_can_message.h"
#include "test_names.h"
#include "wait_until.h"

namespace {

template <typename Pred>
bool Eventually(Pred pred, DWORD timeoutMs) {
    return ribex_test::WaitUntil(pred, timeoutMs, 20);
}

// One receive time-out, the pause of the check, room for a busy machine.
const DWORD kServerEndMs = 3000 + 100 + 3000;

class ClientSession : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Eventually([] { return !ribex_test::ServerMarkerExists(); }, 8000)) << "an earlier server still runs";
        queueName_ = ribex_test::UniqueName(L"clientq");
        options_.serverQueueName = queueName_.c_str();
        options_.confirmTimeoutMs = 5000;
    }
    void TearDown() override {
        for (MsgQHandle h : peers_) MsgQClose(h);
        EXPECT_TRUE(Eventually([] { return !ribex_test::ServerMarkerExists(); }, kServerEndMs)) << "server did not end";
    }
    // A net name with a simulated peer's queue behind it.
    std::wstring PeerNet(MsgQHandle *phPeer = nullptr) {
        std::wstring net = ribex_test::UniqueName(L"CAN").substr(0, 40);
        MsgQHandle h = MsgQCreate(net.c_str(), 512, sizeof(SimCanMsg), MSGQ_NAMED);
        EXPECT_NE(nullptr, h);
        peers_.push_back(h);
        if (phPeer) *phPeer = h;
        return net;
    }

    std::wstring queueName_;
    RibexClientOptions options_ = {};
    std::vector<MsgQHandle> peers_;
};

TEST_F(ClientSession, OpenStartsTheServerAndRequestsGetTheirAnswers) {
    std::wstring net = PeerNet();
    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();
    EXPECT_TRUE(ribex_test::ServerMarkerExists());
    DWORD high = 0, low = 0;
    RibexGetUniqueId(pNet, &high, &low);
    EXPECT_EQ(GetCurrentProcessId(), high);
    ASSERT_NE(nullptr, RibexGetRxBuffer(pNet));
    EXPECT_EQ(256u, RibexGetRxBuffer(pNet)->header.noEntries);

    EXPECT_TRUE(RibexEnableRemFrame(pNet, 0x123, 4));
    EXPECT_FALSE(RibexEnableRemFrame(pNet, 0x123, 4));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    DWORD canId = 0;
    EXPECT_TRUE(RibexEnumRemFrame(pNet, 0, &canId));
    EXPECT_EQ(0x123u, canId);
    EXPECT_FALSE(RibexEnumRemFrame(pNet, 1, &canId));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_FALSE(RibexDisableRemFrame(pNet, 0x124));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    EXPECT_TRUE(RibexDisableRemFrame(pNet, 0x123));
    EXPECT_TRUE(RibexEnableRemFrame(pNet, 0x200, 0));
    EXPECT_TRUE(RibexDisableAllRemFrames(pNet));
    EXPECT_FALSE(RibexEnumRemFrame(pNet, 0, &canId));  // requests are served in order

    // A second open under the same unique id on the same net is refused.
    RibexClientOptions same = options_;
    same.haveUniqueId = TRUE;
    same.uniqueIdHigh = high;
    same.uniqueIdLow = low;
    RibexClientNet *pTwin = nullptr;
    EXPECT_FALSE(RibexOpenNet(net.c_str(), &same, &pTwin));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_TRUE(RibexEnableRemFrame(pNet, 0x77, 0));  // the first one is untouched
    EXPECT_TRUE(RibexCloseNet(pNet)) << GetLastError();
}

// Not a wait for an event: the close is to fall inside the open, which
// must meet the lingering queue and then see it go.
DWORD WINAPI CloseQueueSoon(void *pQueue) {
    Sleep(50);
    return MsgQClose((MsgQHandle)pQueue) ? 0 : GetLastError();
}

// The server lets go of a closed client's reply queue just after its close
// confirm; an open under the same id in that moment finds the queue there.
TEST_F(ClientSession, AnIdWhoseReplyQueueIsOnItsWayOutIsTakenAgain) {
    std::wstring net = PeerNet();
    RibexClientOptions same = options_;
    same.haveUniqueId = TRUE;
    same.uniqueIdHigh = GetCurrentProcessId();
    same.uniqueIdLow = 0x5eed;
    MsgQHandle hLingering = CreateMsgQ(net.c_str(), same.uniqueIdHigh, same.uniqueIdLow, 12);
    ASSERT_NE(nullptr, hLingering) << GetLastError();
    HANDLE hCloser = CreateThread(nullptr, 0, CloseQueueSoon, hLingering, 0, nullptr);
    ASSERT_NE(nullptr, hCloser);
    RibexClientNet *pNet = nullptr;
    EXPECT_TRUE(RibexOpenNet(net.c_str(), &same, &pNet)) << GetLastError();
    WaitForSingleObject(hCloser, INFINITE);
    DWORD closeResult = 1;
    GetExitCodeThread(hCloser, &closeResult);
    CloseHandle(hCloser);
    EXPECT_EQ(0u, closeResult);
    if (pNet != nullptr) {
        EXPECT_TRUE(RibexCloseNet(pNet)) << GetLastError();
    }
}

TEST_F(ClientSession, PeerFramesAreReadInOrderAndLapsAreCounted) {
    MsgQHandle hPeer = nullptr;
    std::wstring net = PeerNet(&hPeer);
    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();
    auto send = [&](DWORD from, DWORD count) {
        for (DWORD i = from; i < from + count; ++i) {
            SimCanMsg m = {};
            m.uniqueIdHigh = 0xAB;
            m.uniqueIdLow = i;
            m.frame.can.id = i & 0x7FF;
            m.frame.length = 1;
            ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 2000));
        }
    };
    std::vector<RibexFrame> frames(300);
    DWORD n = 0, lost = 0;
    EXPECT_TRUE(RibexReadFrames(pNet, frames.data(), 16, &n, &lost, 100));
    EXPECT_EQ(0u, n + lost);

    send(1, 5);
    DWORD got = 0;
    for (; got < 5; got += n) {  // woken by the server, perhaps once a frame
        ASSERT_TRUE(RibexReadFrames(pNet, frames.data() + got, 16 - got, &n, &lost, 5000));
        ASSERT_NE(0u, n);
    }
    ASSERT_EQ(5u, got);
    for (DWORD i = 0; i < got; ++i) {
        EXPECT_EQ(0u, frames[i].errorCode);
        EXPECT_EQ(0xABu, frames[i].simUniqueId.high);
        EXPECT_EQ(i + 1, frames[i].simUniqueId.low);
    }
    // More than the ring holds, all stored before the client reads again.
    send(6, 300);
    ASSERT_TRUE(Eventually([&] { return RibexGetRxBuffer(pNet)->header.noRxMsgs >= 305; }, 10000));
    DWORD read = 0, lostTotal = 0, last = 5;
    while (read + lostTotal < 300) {
        ASSERT_TRUE(RibexReadFrames(pNet, frames.data(), 300, &n, &lost, 0));
        ASSERT_TRUE(n != 0 || lost != 0) << "frames went missing without being counted";
        for (DWORD i = 0; i < n; ++i) {
            EXPECT_GT(frames[i].simUniqueId.low, last);
            last = frames[i].simUniqueId.low;
        }
        read += n;
        lostTotal += lost;
    }
    EXPECT_EQ(300u, read + lostTotal);
    EXPECT_GT(lostTotal, 0u);
    EXPECT_EQ(305u, last);
    EXPECT_TRUE(RibexCloseNet(pNet));
}

TEST_F(ClientSession, ServerLivesWhileAnyNetIsOpenAndEndsAfterTheLast) {
    RibexClientNet *pFirst = nullptr, *pSecond = nullptr;
    ASSERT_TRUE(RibexOpenNet(PeerNet().c_str(), &options_, &pFirst));
    ASSERT_TRUE(RibexOpenNet(PeerNet().c_str(), &options_, &pSecond));
    EXPECT_TRUE(RibexCloseNet(pFirst));
    // Past one of the server's client checks, seen on a queue handle of our own.
    MsgQHandle hServerQueue = MsgQOpen(queueName_.c_str(), 0);
    ASSERT_NE(nullptr, hServerQueue) << GetLastError();
    EXPECT_TRUE(ribex_test::WaitForIdleClientCheck(hServerQueue, 20000)) << "no client check";
    MsgQClose(hServerQueue);
    EXPECT_TRUE(ribex_test::ServerMarkerExists());
    EXPECT_TRUE(RibexEnableRemFrame(pSecond, 0x55, 0));
    EXPECT_TRUE(RibexCloseNet(pSecond));
    EXPECT_TRUE(Eventually([] { return !ribex_test::ServerMarkerExists(); }, kServerEndMs));
}

TEST_F(ClientSession, FailedOpensReportTheCauseAndLeaveNothingBehind) {
    // Neither device nor peer: the server's error, and the reply queue and
    // event are given back.
    std::wstring net = ribex_test::UniqueName(L"nopeer").substr(0, 40);
    options_.haveUniqueId = TRUE;
    options_.uniqueIdHigh = 0xABCD;
    options_.uniqueIdLow = 0x1234;
    RibexClientNet *pNet = reinterpret_cast<RibexClientNet *>(1);
    EXPECT_FALSE(RibexOpenNet(net.c_str(), &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
    EXPECT_EQ(nullptr, pNet);
    wchar_t *pEventName = CreateUniqueName(net.c_str(), 0xABCD, 0x1234, L"EVT");
    EXPECT_TRUE(Eventually([&] {
        HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pEventName);
        MsgQHandle hQ = OpenMsgQ(net.c_str(), 0xABCD, 0x1234);
        if (h) CloseHandle(h);
        if (hQ) MsgQClose(hQ);
        return h == nullptr && hQ == nullptr;
    }, 3000));
    HeapFree(GetProcessHeap(), 0, pEventName);
    EXPECT_TRUE(Eventually([] { return !ribex_test::ServerMarkerExists(); }, kServerEndMs));

    // No server program: nothing started, no server queue left.
    std::wstring missing = ribex_test::ExeDir() + L"no_such_server.exe";
    options_.serverPath = missing.c_str();
    EXPECT_FALSE(RibexOpenNet(PeerNet().c_str(), &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, MsgQOpen(queueName_.c_str(), 0));
    EXPECT_FALSE(ribex_test::ServerMarkerExists());
}

TEST_F(ClientSession, BadArgumentsAndStaleHandlesAreRefused) {
    RibexClientNet *pNet = nullptr;
    std::wstring tooLong(RIBEX_NET_NAME_MAX, L'n');  // no room for the terminator
    for (const wchar_t *name : {(const wchar_t *)nullptr, L"", tooLong.c_str()}) {
        EXPECT_FALSE(RibexOpenNet(name, &options_, &pNet));
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    }
    EXPECT_FALSE(RibexOpenNet(L"net", &options_, nullptr));
    EXPECT_FALSE(ribex_test::ServerMarkerExists()) << "a refused open must not start the server";

    std::wstring net = PeerNet();
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();
    DWORD high = 0, low = 0;
    RibexGetUniqueId(pNet, &high, &low);
    ASSERT_TRUE(RibexCloseNet(pNet));
    // The close let go of the wake-up event (and the server of its copy).
    wchar_t *pEventName = CreateUniqueName(net.c_str(), high, low, L"EVT");
    EXPECT_TRUE(Eventually([&] {
        HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pEventName);
        if (h) CloseHandle(h);
        return h == nullptr;
    }, 3000)) << "the wake-up event outlived the close";
    HeapFree(GetProcessHeap(), 0, pEventName);
    DWORD canId = 0, n = 0, lost = 0;
    RibexFrame frame;
    for (RibexClientNet *pStale : {pNet, (RibexClientNet *)nullptr, reinterpret_cast<RibexClientNet *>(&pNet)}) {
        EXPECT_FALSE(RibexCloseNet(pStale));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    }
    EXPECT_FALSE(RibexEnumRemFrame(pNet, 0, &canId));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(RibexReadFrames(pNet, &frame, 1, &n, &lost, 0));
    EXPECT_EQ(nullptr, RibexGetRxBuffer(pNet));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, RibexGetWakeEvent(pNet));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace

namespace {

DWORD RibexServerProcessId() { return ribex_test::FindProcessByName(L"ribex.exe"); }

}  // namespace

TEST_F(ClientSession, ReadOfANetWhoseServerWasKilledEndsWithServerGone) {
    std::wstring net = PeerNet();
    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();
    DWORD pid = RibexServerProcessId();
    ASSERT_NE(0u, pid);
    ASSERT_TRUE(ribex_test::KillProcessById(pid));

    // A read waiting without end must return, and say why.
    RibexFrame frames[8];
    DWORD noFrames = 0, lost = 0;
    DWORD start = GetTickCount();
    EXPECT_FALSE(RibexReadFrames(pNet, frames, 8, &noFrames, &lost, INFINITE));
    EXPECT_EQ((DWORD)RIBEX_ERROR_SERVER_GONE, GetLastError());
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(0u, noFrames);
    RibexCloseNet(pNet);
}

namespace {

void KillServer(DWORD pid) { ASSERT_TRUE(ribex_test::KillProcessById(pid)); }

// Reads until the read fails; the frames read on the way are counted.
DWORD ReadUntilFailure(RibexClientNet *pNet, DWORD timeoutMs, DWORD *pFrames = nullptr) {
    RibexFrame frames[32];
    DWORD n = 0, lost = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs;) {
        if (!RibexReadFrames(pNet, frames, 32, &n, &lost, 500)) return GetLastError();
        if (pFrames) *pFrames += n;
    }
    return ERROR_TIMEOUT;
}

}  // namespace

// One kill, two nets of this process: the one left as it opened is opened
// again on a new server with its remote-frame reply; the one whose
// application turned the reopen off stays gone, although the watcher has
// been past it in the same pass.
TEST_F(ClientSession, AKilledServerIsReplacedAndNetsReopenUnlessTurnedOff) {
    MsgQHandle hPeer = nullptr;
    std::wstring net = PeerNet(&hPeer);
    RibexClientNet *pNet = nullptr, *pManual = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();
    ASSERT_TRUE(RibexOpenNet(PeerNet().c_str(), &options_, &pManual)) << GetLastError();
    ASSERT_TRUE(RibexSetAutoReopen(pManual, FALSE));
    ASSERT_TRUE(RibexEnableRemFrame(pNet, 0x321, 2));
    ASSERT_TRUE(RibexEnableRemFrame(pNet, 0x322, 0));
    ASSERT_TRUE(RibexDisableRemFrame(pNet, 0x322));
    DWORD high = 0, low = 0;
    RibexGetUniqueId(pNet, &high, &low);
    HANDLE hWake = RibexGetWakeEvent(pNet);
    const RxBufferLayout *pBuffer = RibexGetRxBuffer(pNet);
    ASSERT_NE(nullptr, hWake);
    ASSERT_NE(nullptr, pBuffer);
    DWORD oldServer = RibexServerProcessId();
    ASSERT_NE(0u, oldServer);

    DWORD killedAt = GetTickCount();
    KillServer(oldServer);
    EXPECT_EQ((DWORD)RIBEX_ERROR_SERVER_GONE, ReadUntilFailure(pNet, 10000));
    RibexNetStatus status = {};
    ASSERT_TRUE(RibexGetNetStatus(pNet, &status));
    EXPECT_NE((DWORD)RIBEX_NET_OPEN, status.state);
    // (A request now may wait for a reopen under way and be answered: that
    // requests fail at once while gone is checked on the other net below.)
    EXPECT_EQ((DWORD)RIBEX_ERROR_NET_REOPENED, ReadUntilFailure(pNet, 15000));
    printf("net reopened %lu ms after the kill\n", GetTickCount() - killedAt);

    ASSERT_TRUE(RibexGetNetStatus(pNet, &status));
    EXPECT_EQ((DWORD)RIBEX_NET_OPEN, status.state);
    EXPECT_EQ(1u, status.reopenCount);
    EXPECT_TRUE(status.autoReopen);
    DWORD newServer = RibexServerProcessId();
    EXPECT_NE(0u, newServer);
    EXPECT_NE(oldServer, newServer);
    DWORD sameHigh = 0, sameLow = 0;
    RibexGetUniqueId(pNet, &sameHigh, &sameLow);
    EXPECT_EQ(high, sameHigh);
    EXPECT_EQ(low, sameLow);
    // The new server holds exactly the reply the net had enabled.
    DWORD canId = 0;
    EXPECT_TRUE(RibexEnumRemFrame(pNet, 0, &canId)) << GetLastError();
    EXPECT_EQ(0x321u, canId);
    EXPECT_FALSE(RibexEnumRemFrame(pNet, 1, &canId));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());

    // The wake-up event and the view handed out before the death serve on:
    // the same handle, set by the new server, and the same pointer, which
    // shows the new server's frames.
    EXPECT_EQ(hWake, RibexGetWakeEvent(pNet));
    EXPECT_EQ(pBuffer, RibexGetRxBuffer(pNet));
    WaitForSingleObject(hWake, 0);  // a wake-up of the reopen itself
    DWORD published = pBuffer->header.noRxMsgs;

    // Frames of the peer reach the reader through the new server.
    for (DWORD i = 1; i <= 3; ++i) {
        SimCanMsg m = {};
        m.uniqueIdHigh = 0xCD;
        m.uniqueIdLow = i;
        m.frame.can.id = 0x100 + i;
        m.frame.length = 1;
        ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 2000));
    }
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hWake, 5000));
    EXPECT_TRUE(Eventually([&] { return pBuffer->header.noRxMsgs >= published + 3; }, 5000))
        << pBuffer->header.noRxMsgs - published << " of 3 frames in the view";
    RibexFrame frames[8];
    DWORD got = 0, n = 0, lost = 0;
    while (got < 3) {
        ASSERT_TRUE(RibexReadFrames(pNet, frames + got, 8 - got, &n, &lost, 5000)) << GetLastError();
        ASSERT_NE(0u, n) << "no frame after the reopen";
        got += n;
    }
    EXPECT_EQ(0x103u, frames[2].msg.can.id);

    // The other net: gone, and every read says so.
    ASSERT_TRUE(RibexGetNetStatus(pManual, &status));
    EXPECT_EQ((DWORD)RIBEX_NET_SERVER_GONE, status.state);
    EXPECT_EQ(0u, status.reopenCount);
    EXPECT_EQ((DWORD)RIBEX_ERROR_SERVER_GONE, ReadUntilFailure(pManual, 5000));
    EXPECT_EQ((DWORD)RIBEX_ERROR_SERVER_GONE, ReadUntilFailure(pManual, 5000));
    EXPECT_FALSE(RibexEnableRemFrame(pManual, 0x10, 0));
    EXPECT_EQ((DWORD)RIBEX_ERROR_SERVER_GONE, GetLastError());
    EXPECT_TRUE(RibexCloseNet(pManual));
    EXPECT_TRUE(RibexCloseNet(pNet)) << GetLastError();
}
