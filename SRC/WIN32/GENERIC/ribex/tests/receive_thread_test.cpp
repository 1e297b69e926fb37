// The receive thread with the simulated connection: a peer in another
// process, the request handshake from both sides, the client event table
// and its handles.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include "can_driver.h"
#include "msgq.h"
#include "receive_harness.h"
#include "receive_peer_process.h"
#include "sim_can.h"

using namespace receive_test;

namespace {

// ---------------------------------------------------------------------
// Requester side of the handshake, against a stand-in for the thread.

struct FakeNet {
    RibexNet net = {};
    FakeNet() {
        net.threadParam.hEventReq = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        net.threadParam.hEventCfm = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~FakeNet() {
        CloseHandle(net.threadParam.hEventReq);
        CloseHandle(net.threadParam.hEventCfm);
        if (net.hThread) CloseHandle(net.hThread);
    }
};

// Confirms one request with errorCodeCfm = the parameter's code, late
// enough that a requester which did not reset the confirm event would
// already have returned.
struct Responder {
    FakeNet *fake;
    DWORD code;
    DWORD seenReq = 0xFFFF, seenIndex = 0xFFFF;
};

DWORD WINAPI RespondOnce(LPVOID param) {
    auto *r = static_cast<Responder *>(param);
    RibexThreadParam *p = &r->fake->net.threadParam;
    if (WaitForSingleObject(p->hEventReq, 10000) != WAIT_OBJECT_0) return 1;
    ResetEvent(p->hEventReq);
    r->seenReq = p->req;
    r->seenIndex = p->reqIndex;
    Sleep(100);
    p->errorCodeCfm = r->code;
    SetEvent(p->hEventCfm);
    return 0;
}

DWORD WINAPI EndWithoutConfirm(LPVOID param) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(param)); }

TEST(Handshake, ConfirmedErrorFailsTheRequestWithExactlyThatCode) {
    FakeNet fake;
    // A stale confirm from an earlier request must not answer this one.
    fake.net.threadParam.errorCodeCfm = 0;
    SetEvent(fake.net.threadParam.hEventCfm);
    Responder r{&fake, ERROR_NOT_ENOUGH_MEMORY};
    fake.net.hThread = CreateThread(nullptr, 0, RespondOnce, &r, 0, nullptr);
    ASSERT_NE(fake.net.hThread, nullptr);
    SetLastError(0);
    EXPECT_FALSE(RequestNetThread(&fake.net, CAN_THREAD_DISABLE_REMREPLY, 5, nullptr, "Test"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(r.seenReq, CAN_THREAD_DISABLE_REMREPLY);
    EXPECT_EQ(r.seenIndex, 5u);
    WaitForSingleObject(fake.net.hThread, 10000);
    CloseHandle(fake.net.hThread);

    Responder ok{&fake, 0};
    fake.net.hThread = CreateThread(nullptr, 0, RespondOnce, &ok, 0, nullptr);
    EXPECT_TRUE(RequestNetThread(&fake.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"));
    EXPECT_EQ(GetLastError(), 0u);
    WaitForSingleObject(fake.net.hThread, 10000);
}

TEST(Handshake, AThreadThatEndedFailsTheRequestWithItsExitCode) {
    FakeNet fake;
    fake.net.hThread = CreateThread(nullptr, 0, EndWithoutConfirm, reinterpret_cast<LPVOID>(4321), 0,
                                    nullptr);
    WaitForSingleObject(fake.net.hThread, 10000);
    EXPECT_FALSE(RequestNetThread(&fake.net, CAN_THREAD_REALLOC_EVENTS, 0, nullptr, "Test"));
    EXPECT_EQ(GetLastError(), 4321u);
    CloseHandle(fake.net.hThread);

    // Ended cleanly, but still never answered this request.
    fake.net.hThread = CreateThread(nullptr, 0, EndWithoutConfirm, nullptr, 0, nullptr);
    WaitForSingleObject(fake.net.hThread, 10000);
    EXPECT_FALSE(RequestNetThread(&fake.net, CAN_THREAD_REALLOC_EVENTS, 0, nullptr, "Test"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
}

TEST(Handshake, ExitIsNotAConfirmedRequest) {
    FakeNet fake;
    EXPECT_FALSE(RequestNetThread(&fake.net, CAN_THREAD_EXIT, 0, nullptr, "Test"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(fake.net.threadParam.hEventReq, 0), (DWORD)WAIT_TIMEOUT);
}

// ---------------------------------------------------------------------
// The thread itself.

TEST(ReceiveThread, NoDeviceAndNoPeerFailsTheNetWith1460) {
    TestNet t;
    EXPECT_EQ(StartTestNet(UniqueNetName(L"rxnone"), &t), (DWORD)ERROR_TIMEOUT);
    EXPECT_EQ(t.net, nullptr);
}

// A net fed by a queue of this process, for tests about the thread's own
// bookkeeping rather than the peer.
struct LocalPeerNet {
    std::wstring name = UniqueNetName(L"rxlocal");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 32, 64, MSGQ_NAMED);
    TestNet t;
    ~LocalPeerNet() {
        if (t.net) StopTestNet(&t);
        if (hPeer) MsgQClose(hPeer);
    }
    bool Send(DWORD id, DWORD length = 1, DWORD high = 0x11, DWORD low = 0x22) {
        SimCanMsg m = {};
        m.uniqueIdHigh = high;
        m.uniqueIdLow = low;
        m.frame.can.id = id;
        m.frame.length = length;
        return MsgQSend(hPeer, &m, sizeof(m), 1000) != FALSE;
    }
};

TEST(ReceiveThread, NinthClientGrowsTheTableTo16KeepingOrderAndAllNineAreWoken) {
    LocalPeerNet n;
    ASSERT_NE(n.hPeer, nullptr);
    ASSERT_EQ(StartTestNet(n.name, &n.t), 0u);
    RibexEventTable *pFirst = n.t.net->threadParam.pEvents;
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(pFirst->maxNoEvents, 8u);
    EXPECT_EQ(pFirst->noEvents, 0u);
    HANDLE mine[9];
    for (DWORD i = 0; i < 9; i++) {
        mine[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE theirs = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mine[i], GetCurrentProcess(), &theirs, 0,
                                    FALSE, DUPLICATE_SAME_ACCESS));
        ASSERT_TRUE(AddClient(&n.t, 0x1000 + i, 0x2000 + i, theirs)) << GetLastError();
    }
    RibexEventTable *pEvents = n.t.net->threadParam.pEvents;
    EXPECT_EQ(pEvents->maxNoEvents, 16u);
    EXPECT_EQ(pEvents->noEvents, 9u);
    for (DWORD i = 0; i < 9; i++) {
        EXPECT_EQ(pEvents->pUniqueId[i].high, 0x1000 + i);
        EXPECT_EQ(pEvents->pUniqueId[i].low, 0x2000 + i);
    }
    ASSERT_TRUE(n.Send(0x55));
    EXPECT_EQ(WaitForMultipleObjects(9, mine, TRUE, 5000), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(TakeEntries(&n.t, 1).size(), 1u);
    EXPECT_EQ(StopTestNet(&n.t), 0u);
    for (HANDLE h : mine) CloseHandle(h);
}

TEST(ReceiveThread, ExitClosesEveryClientEventOnceAndNothingElse) {
    LocalPeerNet n;
    ASSERT_EQ(StartTestNet(n.name, &n.t), 0u);
    HANDLE mine[3], theirs[3];
    for (int i = 0; i < 3; i++) {
        mine[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mine[i], GetCurrentProcess(), &theirs[i],
                                    0, FALSE, DUPLICATE_SAME_ACCESS));
        ASSERT_TRUE(AddClient(&n.t, 7, i, theirs[i]));
    }
    // A handle closed twice would fail the second time and show in the
    // exit code.
    EXPECT_EQ(StopTestNet(&n.t), 0u);
    for (int i = 0; i < 3; i++) {
        EXPECT_FALSE(HandleIsOpen(theirs[i])) << i;
        EXPECT_TRUE(HandleIsOpen(mine[i])) << i;
        CloseHandle(mine[i]);
    }
}

TEST(ReceiveThread, RemovedClientsHandleIsClosedByTheThreadAfterItsWakePass) {
    LocalPeerNet n;
    ASSERT_EQ(StartTestNet(n.name, &n.t), 0u);
    HANDLE mine[3], theirs[3];
    for (int i = 0; i < 3; i++) {
        mine[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mine[i], GetCurrentProcess(), &theirs[i],
                                    0, FALSE, DUPLICATE_SAME_ACCESS));
        ASSERT_TRUE(AddClient(&n.t, 9, i, theirs[i]));
    }
    // The first client leaves; the last entry moves into its place.
    ASSERT_TRUE(RemoveClient(&n.t, 0));
    RibexEventTable *pEvents = n.t.net->threadParam.pEvents;
    EXPECT_EQ(pEvents->noEvents, 2u);
    EXPECT_EQ(pEvents->pUniqueId[0].low, 2u);
    EXPECT_TRUE(HandleIsOpen(theirs[0]));  // still owned by the thread
    ASSERT_TRUE(n.Send(0x66));
    HANDLE remaining[2] = {mine[1], mine[2]};
    EXPECT_EQ(WaitForMultipleObjects(2, remaining, TRUE, 5000), (DWORD)WAIT_OBJECT_0);
    ASSERT_EQ(TakeEntries(&n.t, 1).size(), 1u);
    DWORD start = GetTickCount();
    while (HandleIsOpen(theirs[0]) && GetTickCount() - start < 5000) Sleep(5);
    EXPECT_FALSE(HandleIsOpen(theirs[0]));
    EXPECT_TRUE(HandleIsOpen(theirs[1]));
    EXPECT_EQ(StopTestNet(&n.t), 0u);
    for (HANDLE h : mine) CloseHandle(h);
}

TEST(ReceiveThread, FramesBeforeAnyClientArePublished) {
    LocalPeerNet n;
    ASSERT_TRUE(n.Send(0x1));
    ASSERT_TRUE(n.Send(0x2));
    ASSERT_EQ(StartTestNet(n.name, &n.t), 0u);
    auto entries = TakeEntries(&n.t, 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].msg.can.id, 0x1u);
    EXPECT_EQ(entries[1].msg.can.id, 0x2u);
}

TEST(ReceiveThread, EnableAndDisableWithoutADeviceAreConfirmedWithZero) {
    LocalPeerNet n;
    ASSERT_EQ(StartTestNet(n.name, &n.t), 0u);
    EXPECT_EQ(n.t.net->threadParam.pRemote, nullptr);
    ASSERT_TRUE(RequestNetThread(n.t.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"));
    RemReplyTable *pRemote = n.t.net->threadParam.pRemote;
    ASSERT_NE(pRemote, nullptr);
    EXPECT_EQ(pRemote->maxNoReplies, 16u);
    pRemote->reply[0] = {0x42, {0x123}};
    pRemote->noReplies = 1;
    EXPECT_TRUE(RequestNetThread(n.t.net, CAN_THREAD_ENABLE_REMREPLY, 0, nullptr, "Test"));
    EXPECT_TRUE(RequestNetThread(n.t.net, CAN_THREAD_DISABLE_REMREPLY, 0, nullptr, "Test"));
    EXPECT_EQ(StopTestNet(&n.t), 0u);
}

// ---------------------------------------------------------------------
// The simulated path with a peer in another process.

TEST(SimulatedPath, FramesArriveInOrderWithThePeersIdAndCounterTimeStamps) {
    std::wstring net = UniqueNetName(L"rxsim");
    PeerProcess peer;
    ASSERT_TRUE(peer.Start(net, L"a1:b1:100:3:010203 a1:b2:101:8:1122334455667788 a1:b3:102:0"));
    LARGE_INTEGER f, c0, c1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c0);
    TestNet t;
    ASSERT_EQ(StartTestNet(net, &t), 0u);
    auto entries = TakeEntries(&t, 3);
    QueryPerformanceCounter(&c1);
    ASSERT_EQ(entries.size(), 3u);
    uint64_t previous = 0;
    for (DWORD i = 0; i < 3; i++) {
        const RingEntry &e = entries[i];
        EXPECT_EQ(e.slot, i);
        EXPECT_EQ(e.seqNo, 1u);
        EXPECT_EQ(e.errorCode, 0u);
        EXPECT_EQ(e.msg.can.id, 0x100 + i);
        EXPECT_EQ(e.uniqueId.high, 0xa1u);
        EXPECT_EQ(e.uniqueId.low, 0xb1 + i);
        // Stamped on arrival from the counter, not taken from the peer.
        EXPECT_GE(e.msg.timeStamp, PerfCounterTo100ns(c0.QuadPart, f.QuadPart));
        EXPECT_LE(e.msg.timeStamp, PerfCounterTo100ns(c1.QuadPart, f.QuadPart));
        EXPECT_GE(e.msg.timeStamp, previous);
        previous = e.msg.timeStamp;
    }
    EXPECT_EQ(entries[0].msg.length, 3u);
    EXPECT_EQ(entries[0].msg.can.data[2], 0x03);
    EXPECT_EQ(entries[1].msg.can.data[7], 0x88);
    EXPECT_EQ(t.pRxBuffer->header.noRxMsgs, 3u);
    EXPECT_EQ(t.pRxBuffer->header.noRxBytes, 11u);
    EXPECT_EQ(t.pRxBuffer->header.noRxMsgs2, 3u);
    EXPECT_EQ(t.pRxBuffer->header.noRxBytes2, 11u);
    EXPECT_EQ(StopTestNet(&t), 0u);
}

TEST(SimulatedPath, RemoteFramesReachClientsOnlyWhileTheirIdIsEnabled) {
    std::wstring net = UniqueNetName(L"rxrem");
    PeerProcess peer;
    ASSERT_TRUE(peer.Start(net, L"1:1:200:1 1:1:80000123:0 1:1:201:1 wait 1:1:80000123:0 1:1:202:1"));
    TestNet t;
    ASSERT_EQ(StartTestNet(net, &t), 0u);
    auto entries = TakeEntries(&t, 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].msg.can.id, 0x200u);
    EXPECT_EQ(entries[1].msg.can.id, 0x201u);  // the remote frame between was dropped

    ASSERT_TRUE(RequestNetThread(t.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"));
    RemReplyTable *pRemote = t.net->threadParam.pRemote;
    pRemote->reply[0] = {1, {0x123}};
    pRemote->noReplies = 1;
    ASSERT_TRUE(RequestNetThread(t.net, CAN_THREAD_ENABLE_REMREPLY, 0, nullptr, "Test"));
    peer.Go(0);
    entries = TakeEntries(&t, 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].msg.can.id, 0x80000123u);
    EXPECT_EQ(entries[0].errorCode, 0u);
    EXPECT_EQ(entries[1].msg.can.id, 0x202u);
    EXPECT_EQ(StopTestNet(&t), 0u);
}

TEST(SimulatedPath, MalformedMessagesBecomeErrorEntriesAndTheReaderGoesOn) {
    std::wstring net = UniqueNetName(L"rxbad");
    PeerProcess peer;
    // 33 bytes, 20 bytes, a length of 9, then a good frame.
    ASSERT_TRUE(peer.Start(net, L"5:6:300:2:aabb raw:33 raw:20 5:6:301:9 5:6:302:1:cc"));
    TestNet t;
    ASSERT_EQ(StartTestNet(net, &t), 0u);
    auto entries = TakeEntries(&t, 5);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].errorCode, 0u);
    EXPECT_EQ(entries[0].msg.can.id, 0x300u);
    const DWORD expected[3] = {ERROR_BAD_LENGTH, ERROR_INVALID_DATA, ERROR_INVALID_DATA};
    for (int i = 0; i < 3; i++) {
        const RingEntry &e = entries[1 + i];
        EXPECT_EQ(e.errorCode, expected[i]) << i;
        // No undefined or stale bytes behind an error entry.
        EXPECT_EQ(e.msg.can.id, 0u) << i;
        EXPECT_EQ(e.msg.length, 0u) << i;
        for (uint8_t byte : e.msg.can.data) EXPECT_EQ(byte, 0u) << i;
        EXPECT_EQ(e.uniqueId.high, 0u) << i;
        EXPECT_EQ(e.uniqueId.low, 0u) << i;
    }
    EXPECT_EQ(entries[4].errorCode, 0u);
    EXPECT_EQ(entries[4].msg.can.id, 0x302u);
    EXPECT_EQ(entries[4].msg.can.data[0], 0xcc);
    EXPECT_EQ(t.pRxBuffer->header.noRxBytes, 3u);  // error entries carry no bytes
    EXPECT_EQ(StopTestNet(&t), 0u);
}

TEST(SimulatedPath, ClosingAnIdleNetEndsTheReaderWithinAboutASecond) {
    std::wstring net = UniqueNetName(L"rxidle");
    PeerProcess peer;
    ASSERT_TRUE(peer.Start(net, L""));
    TestNet t;
    ASSERT_EQ(StartTestNet(net, &t), 0u);
    Sleep(300);  // the reader is inside a receive
    DWORD start = GetTickCount();
    EXPECT_EQ(StopTestNet(&t, 5000), 0u);
    printf("net with an idle reader closed in %lu ms\n", GetTickCount() - start);
}

TEST(SimulatedPath, PeerThatLeavesKeepsTheQueueAliveForTheServer) {
    std::wstring net = UniqueNetName(L"rxgone");
    PeerProcess peer;
    ASSERT_TRUE(peer.Start(net, L"2:2:400:1"));
    TestNet t;
    ASSERT_EQ(StartTestNet(net, &t), 0u);
    ASSERT_EQ(TakeEntries(&t, 1).size(), 1u);
    peer.Kill();
    Sleep(1200);  // a receive time-out passes with the peer gone
    EXPECT_TRUE(TakeAvailable(&t).empty());  // time-outs publish nothing
    EXPECT_EQ(StopTestNet(&t), 0u);
}

// ---------------------------------------------------------------------
// The connection's reader on its own.

TEST(SimulatedConnection, AnErrorThatEndsTheReaderIsDeliveredExactlyOnce) {
    std::wstring name = UniqueNetName(L"rxend");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 4, 32, MSGQ_NAMED);
    ASSERT_NE(hPeer, nullptr);
    SimCan *hSimCan = SimCanOpen(name.c_str());
    ASSERT_NE(hSimCan, nullptr);
    // Pull the queue from under the reader: its next receive fails for good.
    MsgQHandle hQueue = hSimCan->hMsgQ;
    ASSERT_TRUE(MsgQClose(hQueue));
    HANDLE hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RxMsg frame = {};
    RxUniqueId id = {};
    volatile DWORD error = 0;
    SimCanArm(hSimCan, &frame, &id, hDone, &error);
    ASSERT_EQ(WaitForSingleObject(hDone, 5000), (DWORD)WAIT_OBJECT_0);
    DWORD first = error;
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, (DWORD)ERROR_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(hSimCan->hThread, 5000), (DWORD)WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeThread(hSimCan->hThread, &exitCode);
    EXPECT_EQ(exitCode, first);
    // Later arms stay silent instead of feeding an endless error stream.
    for (int i = 0; i < 3; i++) {
        ResetEvent(hDone);
        SimCanArm(hSimCan, &frame, &id, hDone, &error);
        EXPECT_EQ(WaitForSingleObject(hDone, 200), (DWORD)WAIT_TIMEOUT);
    }
    hSimCan->hMsgQ = MsgQOpen(name.c_str(), 0);  // so that close has a queue to close
    EXPECT_TRUE(SimCanClose(hSimCan));
    CloseHandle(hDone);
    MsgQClose(hPeer);
}

TEST(SimulatedConnection, OpenWithoutAQueueFailsWith1460) {
    EXPECT_EQ(SimCanOpen(UniqueNetName(L"rxnoq").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
}

}  // namespace
