// The receive thread with the simulated connection: the request handshake
// from both sides, the client event table and its handles, a peer in
// another process, and the thread's trace lines read back from the shared
// "TRACEBUFFER" ring.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "can_driver.h"
#include "child_process.h"
#include "msgq.h"
#include "receive_harness.h"
#include "ribex_trace_modules.h"
#include "sim_can.h"
#include "test_names.h"
#include "trace_ring.h"
#include "trace_wait.h"
#include "wait_until.h"

using namespace receive_test;
using namespace server_test;

namespace {

// Every module of this program (masks are looked up by its file name)
// traces at every level.
::testing::Environment *const kTraceRing = ::testing::AddGlobalTestEnvironment(
    new TraceRing(L"3000 1024", {{L"ribex_receive_thread_test.exe", L"0xF"}}));

// A thread that ended without confirming: the requester must not wait for
// ever, nor take a confirm left from an earlier request. (Confirmed error
// codes are checked against the driver in the device tests.)
TEST(Handshake, AThreadThatEndedFailsTheRequestWithItsExitCode) {
    RibexNet net = {};
    net.threadParam.hEventReq = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    net.threadParam.hEventCfm = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (DWORD exitCode : {4321u, 0u}) {
        SetEvent(net.threadParam.hEventCfm);  // stale
        net.hThread = CreateThread(
            nullptr, 0, [](LPVOID p) -> DWORD { return (DWORD)(ULONG_PTR)p; },
            (LPVOID)(ULONG_PTR)exitCode, 0, nullptr);
        WaitForSingleObject(net.hThread, 10000);
        EXPECT_FALSE(RequestNetThread(&net, CAN_THREAD_REALLOC_EVENTS, 0, nullptr, "Test"));
        EXPECT_EQ(exitCode ? exitCode : (DWORD)ERROR_OPERATION_ABORTED, GetLastError());
        CloseHandle(net.hThread);
    }
    EXPECT_FALSE(RequestNetThread(&net, CAN_THREAD_EXIT, 0, nullptr, "Test"));  // never confirmed
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(net.threadParam.hEventReq);
    CloseHandle(net.threadParam.hEventCfm);
}

// ---------------------------------------------------------------------
// The thread itself, fed by a queue of this process.

struct LocalPeerNet {
    std::wstring name = UniqueNetName(L"rxlocal");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 32, 64, MSGQ_NAMED);
    TestNet t;
    ~LocalPeerNet() {
        if (t.net) StopTestNet(&t);
        if (hPeer) MsgQClose(hPeer);
    }
    bool Send(DWORD id, DWORD length = 2) {
        SimCanMsg m = {};
        m.uniqueIdHigh = 0xa;
        m.uniqueIdLow = 0xb;
        m.frame.can.id = id;
        m.frame.length = length;
        m.frame.can.data[0] = 0x11;
        m.frame.can.data[1] = 0x22;
        return MsgQSend(hPeer, &m, sizeof(m), 1000) != FALSE;
    }
    // An event for the thread to own, and the test's own handle to it.
    HANDLE AddClient(DWORD high, DWORD low, HANDLE *pTheirs = nullptr) {
        HANDLE mine = CreateEventW(nullptr, FALSE, FALSE, nullptr), theirs = nullptr;
        DuplicateHandle(GetCurrentProcess(), mine, GetCurrentProcess(), &theirs, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        EXPECT_TRUE(receive_test::AddClient(&t, high, low, theirs)) << GetLastError();
        if (pTheirs) *pTheirs = theirs;
        return mine;
    }
};

TEST(ReceiveThread, NoDeviceAndNoPeerFailsTheNetWith1460) {
    TraceClearBuffer(g_ribexTrace[TM_MAIN]);
    TestNet t;
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, StartTestNet(UniqueNetName(L"rxnone"), &t));
    EXPECT_EQ(nullptr, t.net);
    ExpectInOrder(TraceLines(), {"\nribex::CanReadThread Entry\n",
                                 "ribex::CanReadThread, hDevice == INVALID_HANDLE_VALUE && hSimCan "
                                 "== NULL, errorCode == 1460\n",
                                 "ribex::CanReadThread Exit (1460)\n\n"});
}

TEST(ReceiveThread, TableGrowsFrom8To16KeepingOrderEveryClientIsWokenAndTheDumpShowsTen) {
    LocalPeerNet n;
    ASSERT_EQ(0u, StartTestNet(n.name, &n.t));
    EXPECT_EQ(8u, n.t.net->threadParam.pEvents->maxNoEvents);
    HANDLE mine[12];
    for (DWORD i = 0; i < 12; i++) mine[i] = n.AddClient(0x100, i);
    RibexEventTable *pEvents = n.t.net->threadParam.pEvents;
    EXPECT_EQ(16u, pEvents->maxNoEvents);
    ASSERT_EQ(12u, pEvents->noEvents);
    for (DWORD i = 0; i < 12; i++) EXPECT_EQ(i, pEvents->pUniqueId[i].low);
    TraceClearBuffer(g_ribexTrace[TM_MAIN]);
    ASSERT_TRUE(n.Send(0x55));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForMultipleObjects(12, mine, TRUE, 5000));
    EXPECT_EQ(1u, TakeEntries(&n.t, 1).size());
    EXPECT_EQ(0u, StopTestNet(&n.t));
    std::string dump;
    for (const std::string &line : TraceLines())
        if (line.find("pThreadData->pEvents->\n\tnoEvents == 12\n") != std::string::npos)
            dump = line;
    EXPECT_NE(std::string::npos, dump.find("\t\t0x100:0x9\n"));
    EXPECT_EQ(std::string::npos, dump.find("\t\t0x100:0xa\n"));
    for (HANDLE h : mine) CloseHandle(h);
}

TEST(ReceiveThread, RemovedClientsEventIsClosedAtOnceOnAQuietNetAndExitClosesTheRestOnce) {
    LocalPeerNet n;
    ASSERT_EQ(0u, StartTestNet(n.name, &n.t));
    HANDLE mine[3], theirs[3];
    for (DWORD i = 0; i < 3; i++) mine[i] = n.AddClient(9, i, &theirs[i]);
    ASSERT_TRUE(RemoveClient(&n.t, 0));  // the last entry moves into its place
    EXPECT_EQ(2u, n.t.net->threadParam.pEvents->noEvents);
    EXPECT_EQ(2u, n.t.net->threadParam.pEvents->pUniqueId[0].low);
    // No frame comes, so no wake pass: the handle must not wait for one.
    EXPECT_FALSE(HandleIsOpen(theirs[0]));
    ASSERT_TRUE(n.Send(0x66));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForMultipleObjects(2, mine + 1, TRUE, 5000));
    EXPECT_TRUE(HandleIsOpen(theirs[1]));
    // A handle closed twice would fail the second time and show in the exit code.
    EXPECT_EQ(0u, StopTestNet(&n.t));
    for (DWORD i = 0; i < 3; i++) {
        EXPECT_FALSE(HandleIsOpen(theirs[i])) << i;
        EXPECT_TRUE(HandleIsOpen(mine[i])) << i;
        CloseHandle(mine[i]);
    }
}

TEST(ReceiveThread, ARemovedClientsEventIsNeverSetOnceClosedWhileFramesFlow) {
    LocalPeerNet n;
    ASSERT_EQ(0u, StartTestNet(n.name, &n.t));
    HANDLE stay = n.AddClient(9, 0x100);
    struct Flow {
        LocalPeerNet *net;
        volatile LONG stop;
    } flow = {&n, 0};
    auto send = [](LPVOID p) -> DWORD {
        Flow *f = static_cast<Flow *>(p);
        while (!f->stop) f->net->Send(0x10);
        return 0;
    };
    HANDLE hSender = CreateThread(nullptr, 0, send, &flow, 0, nullptr);
    ASSERT_NE(nullptr, hSender);
    DWORD reused = 0, setAfterClose = 0;
    for (DWORD i = 0; i < 300; i++) {
        HANDLE theirs = nullptr, mine = n.AddClient(9, i, &theirs);
        Sleep(i % 3);  // varies how many wake passes see the new client (0 to 2 ms)
        ASSERT_TRUE(RemoveClient(&n.t, n.t.net->threadParam.pEvents->noEvents - 1));
        // A freed handle value goes to the next handle made: a canary that
        // a late SetEvent of the removed client would hit.
        HANDLE canary = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (canary == theirs) {
            reused++;
            if (WaitForSingleObject(canary, 2) == WAIT_OBJECT_0) setAfterClose++;
        }
        CloseHandle(canary);
        CloseHandle(mine);
    }
    flow.stop = 1;
    WaitForSingleObject(hSender, 10000);
    CloseHandle(hSender);
    EXPECT_EQ(0u, setAfterClose) << reused << " reused";
    EXPECT_GT(reused, 0u);  // otherwise nothing was looked at
    EXPECT_EQ(0u, StopTestNet(&n.t));
    CloseHandle(stay);
}

TEST(ReceiveThread, RemoteFramesPassOnlyOnceEnabledWithTheirTraceLines) {
    LocalPeerNet n;
    TraceClearBuffer(g_ribexTrace[TM_MAIN]);
    ASSERT_EQ(0u, StartTestNet(n.name, &n.t));
    HANDLE mine = n.AddClient(5, 6);
    ASSERT_TRUE(n.Send(0x123) && n.Send(0x80000123, 0) && n.Send(0x124));
    auto entries = TakeEntries(&n.t, 2);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(0x124u, entries[1].msg.can.id);  // the remote frame between was dropped
    ASSERT_TRUE(RequestNetThread(n.t.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"));
    n.t.net->threadParam.pRemote->reply[0] = {0x42, {0x123}};
    n.t.net->threadParam.pRemote->noReplies = 1;
    ASSERT_TRUE(n.Send(0x80000123, 0));
    entries = TakeEntries(&n.t, 1);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0x80000123u, entries[0].msg.can.id);
    EXPECT_EQ(0u, StopTestNet(&n.t));
    CloseHandle(mine);
    ExpectInOrder(
        TraceLines(),
        {"\nribex::CanReadThread Entry\n",
         "\tribex::ReAllocEventSpace, allocated space == 152\n",
         "\tribex::ReAllocEventSpace, pEvents->\n\t\tmaxNoEvents == 8\n\t\tnoEvents == "
         "0\n\t\tpUniqueId == 0:0\n...",
         "ribex::CanReadThread, hSimCan != NULL\n",
         "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 2\n",
         "ribex::CanCheckSimCanBufferStore \n\tId == 0x123\n",
         "ribex::CheckSimCanBufferStore Exit ,return value == 0x1 \n\n",
         "ribex::SimRibexBufferStore \n\tid == 0x123\t head == 0 \n",
         "ribex::RibexBufferAdvance, NEW MESSAGES\n\tpRxBuffer->currSeqNo == 1\n\tpRxBuffer->head "
         "== "
         "0\n\tpRxBuffer->noEntries == 256\n",
         "ribex::RibexBufferAdvance, \n\tpSimCanUniqueId[0] == 0xa:0xb \n\tpSeqNo[0] == "
         "1\n\tpErrorCode[0] == "
         "0\n\tpMsg[0].can.id == 0x123 pMsg[0].length == 2 pMsg[0].can.data == 0x11 0x22  0  0  0  "
         "0  0  0\n",
         "ribex::CanReadThread, pThreadData->pEvents->\n\tnoEvents == 1\n\t\t0x5:0x6\n\t\t0x...",
         "ribex::CheckSimCanBufferStore Exit ,return value == 0 \n\n",
         "ribex::CanReadThread, pThreadData->req == CAN_THREAD_REALLOC_REMREPLIES\n",
         "\tribex::ReAllocRemReplySpace, allocated space == 136\n",
         "\tribex::ReAllocRemReplySpace, pRemote->\n\t\tmaxNoReplies == 16\n\t\tnoReplies == 0\n",
         "\tribex::GetRemFrameIndex, pRemote->reply[0].\n\t\tuniqueProcId == 0x42 can.id == 291...",
         "ribex::GetRemFrameIndex Exit (0)\n\n",
         "ribex::CanCheckSimCanBufferStore, REMOTE FRAME\n\tid == 0x123\n",
         "ribex::SimRibexBufferStore \n\tid == 0x80000123\t head == 0x2 \n",
         "ribex::CanReadThread, pThreadData->req == CAN_THREAD_EXIT\n",
         "ribex::CanReadThread Exit (0)\n\n"});
}

// ---------------------------------------------------------------------
// The simulated path with a peer in another process.

TEST(SimulatedPath, PeerFramesInOrderStampedOnArrivalMalformedOnesBecomeErrorEntries) {
    std::wstring net = UniqueNetName(L"rxsim"), sync = ribex_test::UniqueName(L"rxpeer");
    ribex_test::ScopedChild peer;
    // Two frames; 33 bytes; 20 bytes; a length of 9; then a good frame.
    ASSERT_TRUE(ribex_test::StartChild(L"ribex_receive_peer",
                                       net + L" " + sync +
                                           L" a1:b1:100:3:010203 a1:b2:101:8:1122334455667788 "
                                           L"raw:33 raw:20 a1:b3:102:9 a1:b4:103:1:cc",
                                       peer.get()));
    ASSERT_TRUE(ribex_test::WaitForPoint(sync + L"-end", 20000));
    LARGE_INTEGER f, c0, c1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c0);
    TestNet t;
    LONG mark = ribex_test::TraceMark(g_ribexTrace[TM_CAN_READ_THREAD]);
    ASSERT_EQ(0u, StartTestNet(net, &t));
    auto entries = TakeEntries(&t, 6);
    QueryPerformanceCounter(&c1);
    ASSERT_EQ(6u, entries.size());
    const DWORD codes[6] = {0, 0, ERROR_BAD_LENGTH, ERROR_INVALID_DATA, ERROR_INVALID_DATA, 0};
    const DWORD ids[6] = {0x100, 0x101, 0, 0, 0, 0x103};
    for (DWORD i = 0; i < 6; i++) {
        const RingEntry &e = entries[i];
        EXPECT_EQ(i, e.slot);
        EXPECT_EQ(1u, e.seqNo);
        EXPECT_EQ(codes[i], e.errorCode) << i;
        EXPECT_EQ(ids[i], e.msg.can.id) << i;
        EXPECT_EQ(codes[i] ? 0u : 0xa1u, e.uniqueId.high) << i;  // no stale bytes behind an error
        if (codes[i]) {
            EXPECT_EQ(0u, e.msg.length + e.msg.can.data[0] + e.msg.can.data[7]) << i;
        }
        if (codes[i]) continue;
        EXPECT_GE(e.msg.timeStamp, PerfCounterTo100ns(c0.QuadPart, f.QuadPart)) << i;
        EXPECT_LE(e.msg.timeStamp, PerfCounterTo100ns(c1.QuadPart, f.QuadPart)) << i;
    }
    EXPECT_EQ(0xb2u, entries[1].uniqueId.low);
    EXPECT_EQ(0x03, entries[0].msg.can.data[2]);
    EXPECT_EQ(0x88, entries[1].msg.can.data[7]);
    EXPECT_EQ(0xcc, entries[5].msg.can.data[0]);
    EXPECT_EQ(12u, t.pRxBuffer->header.noRxBytes);  // error entries carry no bytes
    // The wake pass of the sixth frame comes after the reader was armed
    // again: from then on it waits in an idle receive, and close still ends it.
    ASSERT_TRUE(ribex_test::WaitUntil(
        [&] {
            return ribex_test::CountTraceLines(g_ribexTrace[TM_CAN_READ_THREAD], mark,
                                               "ribex::CanReadThread, pThreadData->pEvents->") >= 6;
        },
        10000))
        << "no wake pass after the sixth frame";
    EXPECT_EQ(0u, StopTestNet(&t, 5000));
}

TEST(SimulatedConnection, AnErrorThatEndsTheReaderIsDeliveredExactlyOnce) {
    std::wstring name = UniqueNetName(L"rxend");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 4, 32, MSGQ_NAMED);
    SimCan *hSimCan = SimCanOpen(name.c_str());
    ASSERT_NE(nullptr, hSimCan);
    ASSERT_TRUE(MsgQClose(hSimCan->hMsgQ));  // its next receive fails for good
    HANDLE hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RxMsg frame = {};
    RxUniqueId id = {};
    volatile DWORD error = 0;
    SimCanArm(hSimCan, &frame, &id, hDone, &error);
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hDone, 5000));
    EXPECT_NE(0u, error);
    EXPECT_NE((DWORD)ERROR_TIMEOUT, error);
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hSimCan->hThread, 5000));
    DWORD exitCode = 0;
    GetExitCodeThread(hSimCan->hThread, &exitCode);
    EXPECT_EQ(error, exitCode);
    // Later arms stay silent: no endless error stream. The reader has ended,
    // so only the arm itself could still set the event.
    for (int i = 0; i < 3; i++) {
        ResetEvent(hDone);
        SimCanArm(hSimCan, &frame, &id, hDone, &error);
        EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(hDone, 0));
    }
    hSimCan->hMsgQ = MsgQOpen(name.c_str(), 0);  // so that close has a queue to close
    EXPECT_TRUE(SimCanClose(hSimCan));
    CloseHandle(hDone);
    MsgQClose(hPeer);
}

}  // namespace
