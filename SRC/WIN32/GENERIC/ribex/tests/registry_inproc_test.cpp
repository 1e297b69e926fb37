// The registry and the remote-frame requests driven directly, with real
// receive threads fed by simulated peers that this test plays: the client
// tables, the net list and the reply tables are checked where they live.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "msgq.h"
#include "net_registry.h"
#include "rem_frame_requests.h"
#include "ribex_names.h"
#include "sim_can_message.h"
#include "test_names.h"

using ribex_test::UniqueName;

namespace {

// One simulated net: its peer queue and the client events made for it.
struct TestNet {
    std::wstring name;
    MsgQHandle hPeer = nullptr;
    std::vector<HANDLE> events;

    explicit TestNet(const wchar_t *prefix, bool withPeer = true) : name(UniqueName(prefix)) {
        if (withPeer) hPeer = MsgQCreate(name.c_str(), 64, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
    }
    ~TestNet() {
        for (HANDLE h : events) CloseHandle(h);
        if (hPeer) MsgQClose(hPeer);
    }
    // The wake-up event a client creates before it opens the net.
    void MakeEvent(DWORD high, DWORD low) {
        wchar_t *n = CreateUniqueName(name.c_str(), high, low, L"EVT");
        events.push_back(CreateEventW(nullptr, FALSE, FALSE, n));
        HeapFree(GetProcessHeap(), 0, n);
    }
    bool Register(DWORD high, DWORD low) {
        MakeEvent(high, low);
        return RegisterRibexClient(name.c_str(), high, low) != FALSE;
    }
    RibexNet *Net() { return GetRibexNet(name.c_str()); }
    bool Send(DWORD canId) {
        SimCanMsg msg = {};
        msg.frame.length = 1;
        msg.frame.can.id = canId;
        return MsgQSend(hPeer, &msg, sizeof(msg), 5000) != FALSE;
    }
};

class Registry : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(UnRegisterAllRibexClients());
        EXPECT_EQ(CountRibexNets(), 0u);
    }
};

bool WaitForHead(const RxBufferLayout *b, DWORD head) {
    for (int i = 0; i < 500; ++i) {
        if (b->header.head == head) return true;
        Sleep(10);
    }
    return false;
}

std::vector<DWORD> ReplyIds(RibexNet *pNet) {
    std::vector<DWORD> ids;
    const RemReplyTable *t = pNet->threadParam.pRemote;
    for (DWORD i = 0; t && i < t->noReplies; ++i) ids.push_back(t->reply[i].can.id);
    return ids;
}

TEST_F(Registry, AFirstClientBuildsTheNetWithAFreshlyLaidOutReceiveBuffer) {
    TestNet n(L"first");
    // A mapping left over from an earlier server, still held by a client.
    std::wstring mappingName = n.name + L"0000000000000000FMO";
    HANDLE hOld = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, RX_BUFFER_SIZE,
                                     mappingName.c_str());
    ASSERT_NE(hOld, nullptr);
    RxBufferLayout *old = (RxBufferLayout *)MapViewOfFile(hOld, FILE_MAP_WRITE, 0, 0, 0);
    memset(old, 0xEE, RX_BUFFER_SIZE);

    ASSERT_TRUE(n.Register(0x10, 1));
    RibexNet *pNet = n.Net();
    ASSERT_NE(pNet, nullptr);
    const RxBufferLayout *b = pNet->threadParam.pRxBuffer;
    EXPECT_EQ(b->header.noRxMsgs, 0u);
    EXPECT_EQ(b->header.noRxBytes2, 0u);
    for (DWORD w : b->header.reserved) EXPECT_EQ(w, 0u);
    EXPECT_EQ(b->header.currSeqNo, 1u);
    EXPECT_EQ(b->header.head, 0u);
    EXPECT_EQ(b->header.noEntries, 256u);
    EXPECT_EQ(b->header.seqNoOffset, 64u);
    EXPECT_EQ(b->header.errorCodeOffset, 1088u);
    EXPECT_EQ(b->header.msgOffset, 2112u);
    EXPECT_EQ(b->header.simCanUniqueIdOffset, 8256u);
    EXPECT_EQ(b->seqNo[0], 1u);
    // Beyond the header a reused mapping keeps what it held.
    EXPECT_EQ(old->msg[100].length, 0xEEEEEEEEu);
    EXPECT_EQ(pNet->threadParam.pEvents->noEvents, 1u);
    EXPECT_EQ(pNet->threadParam.pEvents->maxNoEvents, 8u);
    UnmapViewOfFile(old);
    CloseHandle(hOld);
}

TEST_F(Registry, TwoClientsOfOneNameShareOneNetAndTheSecondLeavesTheBufferAlone) {
    TestNet n(L"two");
    ASSERT_TRUE(n.Register(0x20, 1));
    RibexNet *pNet = n.Net();
    RxBufferLayout *b = pNet->threadParam.pRxBuffer;
    b->header.reserved[4] = 0xABCD;
    ASSERT_TRUE(n.Register(0x21, 1));
    EXPECT_EQ(n.Net(), pNet);
    EXPECT_EQ(CountRibexNets(), 1u);
    EXPECT_EQ(pNet->threadParam.pEvents->noEvents, 2u);
    EXPECT_EQ(b->header.reserved[4], 0xABCDu);
    // The same id once more is a second entry, not a refusal.
    ASSERT_TRUE(n.Register(0x20, 1));
    EXPECT_EQ(pNet->threadParam.pEvents->noEvents, 3u);
}

TEST_F(Registry, TheNinthClientGrowsTheTableAndKeepsTheOrder) {
    TestNet n(L"grow");
    for (DWORD i = 0; i < 9; ++i) ASSERT_TRUE(n.Register(0x30, i)) << i;
    const RibexEventTable *t = n.Net()->threadParam.pEvents;
    EXPECT_EQ(t->maxNoEvents, 16u);
    ASSERT_EQ(t->noEvents, 9u);
    for (DWORD i = 0; i < 9; ++i) EXPECT_EQ(t->pUniqueId[i].low, i);
    // Every client is woken by a frame.
    ASSERT_TRUE(n.Send(0x1));
    for (HANDLE h : n.events) EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
}

TEST_F(Registry, RemovingTheFirstOfThreeMovesTheThirdIntoItsPlace) {
    TestNet n(L"three");
    for (DWORD i = 1; i <= 3; ++i) ASSERT_TRUE(n.Register(0x40, i));
    ASSERT_TRUE(UnRegisterRibexClient(0x40, 1));
    const RibexEventTable *t = n.Net()->threadParam.pEvents;
    ASSERT_EQ(t->noEvents, 2u);
    EXPECT_EQ(t->pUniqueId[0].low, 3u);
    EXPECT_EQ(t->pUniqueId[1].low, 2u);
    EXPECT_FALSE(UnRegisterRibexClient(0x40, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Registry, TheLastClientTakesTheNetAlongAndANewOpenStartsAFreshRing) {
    TestNet n(L"last");
    ASSERT_TRUE(n.Register(0x50, 1));
    const RxBufferLayout *b = n.Net()->threadParam.pRxBuffer;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(n.Send(0x7));
    ASSERT_TRUE(WaitForHead(b, 3));
    ASSERT_TRUE(UnRegisterRibexClient(0x50, 1));
    EXPECT_EQ(n.Net(), nullptr);
    EXPECT_EQ(CountRibexNets(), 0u);
    std::wstring mappingName = n.name + L"0000000000000000FMO";
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, mappingName.c_str()), nullptr);

    ASSERT_TRUE(n.Register(0x50, 2));
    b = n.Net()->threadParam.pRxBuffer;
    EXPECT_EQ(b->header.currSeqNo, 1u);
    EXPECT_EQ(b->header.head, 0u);
}

TEST_F(Registry, AClientWithoutItsEventFailsAndLeavesNoNetBehind) {
    TestNet n(L"noevt");
    EXPECT_FALSE(RegisterRibexClient(n.name.c_str(), 0x60, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CountRibexNets(), 0u);
    std::wstring mappingName = n.name + L"0000000000000000FMO";
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, mappingName.c_str()), nullptr);

    // On a net with clients the others stay as they were.
    ASSERT_TRUE(n.Register(0x60, 2));
    EXPECT_FALSE(RegisterRibexClient(n.name.c_str(), 0x60, 3));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    ASSERT_NE(n.Net(), nullptr);
    EXPECT_EQ(n.Net()->threadParam.pEvents->noEvents, 1u);
}

TEST_F(Registry, ANetWithoutDeviceOrPeerFailsWithTheQueueOpenError) {
    TestNet n(L"nosrc", false);
    EXPECT_FALSE(n.Register(0x70, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_EQ(CountRibexNets(), 0u);
}

TEST_F(Registry, NamesDifferingInCaseAreDifferentNets) {
    TestNet upper(L"CASE");
    std::wstring lowerName = upper.name;
    for (wchar_t &c : lowerName) c = towlower(c);
    TestNet lower(L"x", false);
    lower.name = lowerName;
    lower.hPeer = MsgQCreate(lowerName.c_str(), 64, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
    ASSERT_TRUE(upper.Register(0x80, 1));
    ASSERT_TRUE(lower.Register(0x80, 2));
    EXPECT_EQ(CountRibexNets(), 2u);
    EXPECT_NE(upper.Net(), lower.Net());
    EXPECT_NE(upper.Net()->threadParam.pRxBuffer, lower.Net()->threadParam.pRxBuffer);
}

TEST_F(Registry, ANetWhoseBufferWouldBeItsCaseTwinsIsRefusedWhileTheTwinIsOpen) {
    TestNet upper(L"TWIN");
    std::wstring lowerName = upper.name;
    for (wchar_t &c : lowerName) c = towlower(c);
    TestNet lower(L"x", false);
    lower.name = lowerName;
    lower.hPeer = MsgQCreate(lowerName.c_str(), 64, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
    ASSERT_TRUE(upper.Register(0x81, 1));
    // Where names ignore case the twin's buffer is found existing; made
    // here by hand, as Wine keeps the two spellings apart.
    std::wstring mappingName = lowerName + L"0000000000000000FMO";
    HANDLE hShared = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, RX_BUFFER_SIZE,
                                        mappingName.c_str());
    ASSERT_NE(hShared, nullptr);
    EXPECT_FALSE(lower.Register(0x81, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(CountRibexNets(), 1u);
    // With the twin closed, an existing buffer is simply taken over.
    ASSERT_TRUE(UnRegisterRibexClient(0x81, 1));
    ASSERT_TRUE(lower.Register(0x81, 3));
    ASSERT_NE(lower.Net(), nullptr);
    EXPECT_STREQ(lower.Net()->name, lowerName.c_str());
    CloseHandle(hShared);
}

TEST_F(Registry, AnIdOnTwoNetsIsFoundOnTheNearerOneButUndoTakesBackTheNamedOne) {
    TestNet a(L"twa"), b(L"twb");
    ASSERT_TRUE(a.Register(0x90, 1));
    ASSERT_TRUE(a.Register(0x90, 2));
    ASSERT_TRUE(b.Register(0x90, 1));
    DWORD index = 99;
    EXPECT_EQ(GetRibexUniqueId(0x90, 1, &index), a.Net());
    EXPECT_EQ(index, 0u);
    ASSERT_TRUE(EnableRemFrame(0x90, 1, 0x123));
    EXPECT_EQ(ReplyIds(a.Net()), std::vector<DWORD>{0x123});
    EXPECT_EQ(b.Net()->threadParam.pRemote, nullptr);

    // The open handler's undo removes the newest entry of the given net.
    ASSERT_TRUE(UndoRegisterRibexClient(b.name.c_str(), 0x90, 1));
    EXPECT_EQ(b.Net(), nullptr);
    EXPECT_EQ(a.Net()->threadParam.pEvents->noEvents, 2u);
    // Plain unregistration takes the nearer one.
    ASSERT_TRUE(b.Register(0x90, 1));
    ASSERT_TRUE(UnRegisterRibexClient(0x90, 1));
    EXPECT_EQ(a.Net()->threadParam.pEvents->noEvents, 1u);
    EXPECT_EQ(b.Net()->threadParam.pEvents->noEvents, 1u);
}

TEST_F(Registry, UnRegisterAllEndsEveryNetAndSucceedsOnAnEmptyList) {
    EXPECT_TRUE(UnRegisterAllRibexClients());
    TestNet a(L"alla"), b(L"allb");
    for (DWORD i = 0; i < 3; ++i) ASSERT_TRUE(a.Register(0xA0, i));
    for (DWORD i = 0; i < 2; ++i) ASSERT_TRUE(b.Register(0xA1, i));
    HANDLE hThread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), a.Net()->hThread, GetCurrentProcess(), &hThread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(UnRegisterAllRibexClients());
    EXPECT_EQ(CountRibexNets(), 0u);
    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeThread(hThread, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(hThread);
}

TEST_F(Registry, RemoteFrameRequestsAnswerWithTheirErrorCodes) {
    TestNet n(L"remc");
    ASSERT_TRUE(n.Register(0xB0, 1));
    ASSERT_TRUE(n.Register(0xB1, 1));
    DWORD canId = 0;
    EXPECT_EQ(EnumRemFrame(0xB0, 1, 0, &canId), (DWORD)ERROR_NO_MORE_ITEMS);  // no table yet
    EXPECT_EQ(EnumRemFrame(0xB9, 1, 0, &canId), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(EnableRemFrame(0xB9, 1, 0x1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DisableRemFrame(0xB0, 1, 0x1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);

    ASSERT_TRUE(EnableRemFrame(0xB0, 1, 0x1));
    EXPECT_EQ(n.Net()->threadParam.pRemote->maxNoReplies, 16u);
    EXPECT_FALSE(EnableRemFrame(0xB1, 1, 0x1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(DisableRemFrame(0xB1, 1, 0x1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReplyIds(n.Net()), std::vector<DWORD>{0x1});
    // Another client of the same process part may disable it.
    ASSERT_TRUE(n.Register(0xB0, 2));
    for (DWORD id = 2; id <= 17; ++id) ASSERT_TRUE(EnableRemFrame(0xB1, 1, id)) << id;
    EXPECT_EQ(n.Net()->threadParam.pRemote->maxNoReplies, 32u);
    EXPECT_EQ(EnumRemFrame(0xB1, 1, 16, &canId), 0u);
    EXPECT_EQ(canId, 17u);
    EXPECT_EQ(EnumRemFrame(0xB1, 1, 17, &canId), (DWORD)ERROR_NO_MORE_ITEMS);
    ASSERT_TRUE(DisableRemFrame(0xB0, 2, 0x1));
    EXPECT_EQ(EnumRemFrame(0xB0, 1, 0, &canId), 0u);
    EXPECT_EQ(canId, 17u);
}

TEST_F(Registry, DisableAllWalksEveryNetAndLeavesOthersInMoveLastOrder) {
    TestNet a(L"dala"), b(L"dalb");
    ASSERT_TRUE(a.Register(0xC0, 1));
    ASSERT_TRUE(a.Register(0xC1, 1));
    ASSERT_TRUE(b.Register(0xC0, 2));
    ASSERT_TRUE(b.Register(0xC1, 2));
    const DWORD ownersA[] = {0xC0, 0xC1, 0xC0, 0xC0, 0xC1, 0xC1};
    for (DWORD i = 0; i < 6; ++i) ASSERT_TRUE(EnableRemFrame(ownersA[i], 1, 0x100 + i));
    ASSERT_TRUE(EnableRemFrame(0xC0, 2, 0x200));
    ASSERT_TRUE(EnableRemFrame(0xC1, 2, 0x201));
    ASSERT_TRUE(DisableAllRemFrames(0xC0));
    // a held 100 101 102 103 104 105: 100 gets 105, 102 gets 104, 103 goes.
    EXPECT_EQ(ReplyIds(a.Net()), (std::vector<DWORD>{0x105, 0x101, 0x104}));
    EXPECT_EQ(ReplyIds(b.Net()), std::vector<DWORD>{0x201});
    ASSERT_TRUE(DisableAllRemFrames(0xDEAD));
    EXPECT_EQ(ReplyIds(a.Net()).size(), 3u);
}

TEST_F(Registry, ANetWhoseThreadDiedIsRemovedWithoutWaitingForIt) {
    TestNet n(L"dead");
    ASSERT_TRUE(n.Register(0xD0, 1));
    ASSERT_TRUE(n.Register(0xD0, 2));
    RibexNet *pNet = n.Net();
    // A thread ending without its clean-up is the harshest case: its
    // table is then still there, but nothing may rely on that.
    ASSERT_TRUE(TerminateThread(pNet->hThread, 1234));
    ASSERT_EQ(WaitForSingleObject(pNet->hThread, 5000), WAIT_OBJECT_0);

    EXPECT_FALSE(EnableRemFrame(0xD0, 1, 0x5));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(CountRibexNets(), 0u);
    EXPECT_FALSE(UnRegisterRibexClient(0xD0, 2));
    // The name is free for a new net.
    ASSERT_TRUE(n.Register(0xD0, 3));
    EXPECT_EQ(n.Net()->threadParam.pEvents->noEvents, 1u);
}

struct EnableCall {
    DWORD high, low, canId;
    BOOL ok;
    DWORD error;
};

DWORD WINAPI CallEnable(LPVOID p) {
    EnableCall *call = (EnableCall *)p;
    call->ok = EnableRemFrame(call->high, call->low, call->canId);
    call->error = GetLastError();
    return 0;
}

TEST_F(Registry, AThreadThatDiesDuringAHandshakeFailsTheRequestWithItsExitCode) {
    TestNet n(L"midway");
    ASSERT_TRUE(n.Register(0xE0, 1));
    HANDLE hThread = n.Net()->hThread;
    // A receive thread that cannot answer any more: the request must not
    // wait for a confirm that never comes.
    ASSERT_NE(SuspendThread(hThread), (DWORD)-1);
    EnableCall call = {0xE0, 1, 0x42, TRUE, 0};
    HANDLE hCaller = CreateThread(nullptr, 0, CallEnable, &call, 0, nullptr);
    ASSERT_NE(hCaller, nullptr);
    EXPECT_EQ(WaitForSingleObject(hCaller, 300), (DWORD)WAIT_TIMEOUT);  // waiting in the handshake
    ASSERT_TRUE(TerminateThread(hThread, 4321));
    ASSERT_EQ(WaitForSingleObject(hCaller, 10000), WAIT_OBJECT_0);
    CloseHandle(hCaller);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, 4321u);
    // The dead net is gone at once; its clients are unknown from now on.
    EXPECT_EQ(CountRibexNets(), 0u);
    DWORD canId = 0;
    EXPECT_EQ(EnumRemFrame(0xE0, 1, 0, &canId), (DWORD)ERROR_INVALID_HANDLE);
}

}  // namespace
