// What no client process can bring about: a receive thread that ends
// without its clean-up, before or during a request. The registry is driven
// directly, with real receive threads fed by simulated peers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_liveness.h"
#include "msgq.h"
#include "msgq_mapping.h"
#include "net_registry.h"
#include "rem_frame_requests.h"
#include "ribex_names.h"
#include "server_test_access.h"
#include "sim_can_message.h"
#include "test_names.h"
#include "trace_ring.h"
#include "wait_until.h"

namespace {

using server_test::CountLines;
using server_test::TraceLines;

// Only the unregister lines, for the undo below.
::testing::Environment *const kTraceRing = ::testing::AddGlobalTestEnvironment(
    new server_test::TraceRing(L"256 256", {{L"ribex_registry_inproc_test.exe", L"0"},
                                            {L"ribex_registry_inproc_test.exe::"
                                             L"UnRegisterRibexClient",
                                             L"4"}}));

// One simulated net: its peer queue and the client events made for it.
struct TestNet {
    std::wstring name = ribex_test::UniqueName(L"net");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 64, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
    std::vector<HANDLE> events;

    ~TestNet() {
        for (HANDLE h : events) CloseHandle(h);
        MsgQClose(hPeer);
    }
    // Makes the wake-up event a client creates before it opens the net.
    bool Register(DWORD high, DWORD low) {
        wchar_t *n = CreateUniqueName(name.c_str(), high, low, L"EVT");
        events.push_back(CreateEventW(nullptr, FALSE, FALSE, n));
        HeapFree(GetProcessHeap(), 0, n);
        return RegisterRibexClient(name.c_str(), high, low) != FALSE;
    }
    RibexNet *Net() { return GetRibexNet(name.c_str()); }
};

class Registry : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(UnRegisterAllRibexClients());
        EXPECT_EQ(CountRibexNets(), 0u);
    }
};

TEST_F(Registry, ANetWhoseThreadDiedIsRemovedWithoutWaitingForAConfirm) {
    TestNet idle, busy;
    ASSERT_TRUE(idle.Register(0xD0, 1));
    ASSERT_TRUE(idle.Register(0xD0, 2));
    ASSERT_TRUE(busy.Register(0xE0, 1));
    // Ended without its clean-up, the harshest case: its table is still
    // there, but nothing may rely on that.
    ASSERT_TRUE(TerminateThread(idle.Net()->hThread, 1234));
    ASSERT_EQ(WaitForSingleObject(idle.Net()->hThread, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(EnableRemFrame(0xD0, 1, 0x5));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(idle.Net(), nullptr);
    EXPECT_FALSE(UnRegisterRibexClient(0xD0, 2));
    ASSERT_TRUE(idle.Register(0xD0, 3));  // the name is free for a new net
    EXPECT_EQ(idle.Net()->threadParam.pEvents->noEvents, 1u);

    // A thread that dies while a request waits in the handshake.
    HANDLE hThread = busy.Net()->hThread;
    ASSERT_NE(SuspendThread(hThread), (DWORD)-1);
    DWORD error = 0;
    auto callEnable = [](LPVOID p) -> DWORD {
        *(DWORD *)p = EnableRemFrame(0xE0, 1, 0x42) ? 0 : GetLastError();
        return 0;
    };
    HANDLE hCaller = CreateThread(nullptr, 0, callEnable, &error, 0, nullptr);
    ASSERT_NE(hCaller, nullptr);
    // The caller is in the handshake once its request event is set (the
    // suspended thread cannot take it), and it waits there.
    HANDLE hEventReq = busy.Net()->threadParam.hEventReq;
    ASSERT_TRUE(ribex_test::WaitUntil(
        [&] { return WaitForSingleObject(hEventReq, 0) == WAIT_OBJECT_0; }, 10000))
        << "the request never reached the handshake";
    EXPECT_EQ(WaitForSingleObject(hCaller, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(TerminateThread(hThread, 4321));
    ASSERT_EQ(WaitForSingleObject(hCaller, 10000), WAIT_OBJECT_0);
    CloseHandle(hCaller);
    EXPECT_EQ(error, 4321u);
    EXPECT_EQ(busy.Net(), nullptr);
    DWORD canId = 0;
    EXPECT_EQ(EnumRemFrame(0xE0, 1, 0, &canId), (DWORD)ERROR_INVALID_HANDLE);
}

// Ends a net's receive thread through its own clean-up: a request whose
// event the thread may wait on but not reset, which ends it.
void EndThreadOnItsOwn(TestNet *t) {
    RibexNet *pRibexNet = t->Net();
    ASSERT_NE(pRibexNet, nullptr);
    RibexThreadParam *tp = &pRibexNet->threadParam;
    HANDLE hEventReq = tp->hEventReq, hWaitOnly = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), hEventReq, GetCurrentProcess(), &hWaitOnly,
                                SYNCHRONIZE, FALSE, 0));
    tp->hEventReq = hWaitOnly;
    tp->req = CAN_THREAD_REALLOC_EVENTS;
    ASSERT_TRUE(SetEvent(hEventReq));
    ASSERT_EQ(WaitForSingleObject(pRibexNet->hThread, 10000), WAIT_OBJECT_0);
    tp->hEventReq = hEventReq;
    CloseHandle(hWaitOnly);
}

DWORD HandleCount(HANDLE h) {
    DWORD count = 0;
    EXPECT_TRUE(GetObjectHandleCount(h, &count));
    return count;
}

TEST_F(Registry, AThreadThatEndedOnItsOwnLeavesItsTableToTheRegistryWhichClosesEachEventOnce) {
    TestNet first, dead, last;
    ASSERT_TRUE(first.Register(0xF0, 1));
    ASSERT_TRUE(dead.Register(0xF1, 1));
    ASSERT_TRUE(dead.Register(0xF1, 2));
    ASSERT_TRUE(last.Register(0xF2, 1));
    EXPECT_EQ(HandleCount(dead.events[0]), 2u);  // the client's and the server's
    EndThreadOnItsOwn(&dead);
    // Lookups that do not reap read the table of the dead net: it must
    // still be there, not freed under them.
    DWORD index = 99;
    EXPECT_EQ(GetRibexUniqueId(0xF1, 2, &index), dead.Net());
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(GetRibexUniqueId(0xF2, 1, &index), last.Net());
    // The next registry operation removes the dead net and closes its
    // clients' events, each exactly once; the other nets go on.
    ASSERT_TRUE(first.Register(0xF0, 2));
    EXPECT_EQ(dead.Net(), nullptr);
    EXPECT_EQ(HandleCount(dead.events[0]), 1u);
    EXPECT_EQ(HandleCount(dead.events[1]), 1u);
    EXPECT_EQ(GetRibexUniqueId(0xF1, 1, &index), nullptr);
    ASSERT_NE(last.Net(), nullptr);
    EXPECT_EQ(last.Net()->threadParam.pEvents->noEvents, 1u);
}

// What liveness builds on: every handle on an object counts, the server's
// own and any other process's alike, and a queue shows its mapping.
TEST(HandleCounts, EveryHandleOfAQueueOrAnEventCountsAndLocalQueuesCannotBeJudged) {
    std::wstring name = ribex_test::UniqueName(L"hc");
    MsgQHandle hFirst = MsgQCreate(name.c_str(), 1, 12, MSGQ_NAMED);
    ASSERT_NE(hFirst, nullptr);
    HANDLE hMapping = MsgQGetMappingHandle(hFirst);
    ASSERT_NE(hMapping, nullptr);
    EXPECT_EQ(HandleCount(hMapping), 1u);
    MsgQHandle hSecond = MsgQOpen(name.c_str(), 0);
    ASSERT_NE(hSecond, nullptr);
    EXPECT_EQ(HandleCount(hMapping), 2u);
    ASSERT_TRUE(MsgQClose(hSecond));
    EXPECT_EQ(HandleCount(hMapping), 1u);
    ASSERT_TRUE(MsgQClose(hFirst));
    EXPECT_EQ(MsgQGetMappingHandle(hFirst), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    MsgQHandle hLocal = MsgQCreate(ribex_test::UniqueName(L"hcl").c_str(), 1, 12, 0);
    ASSERT_NE(hLocal, nullptr);
    EXPECT_EQ(MsgQGetMappingHandle(hLocal), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    MsgQClose(hLocal);

    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr), hCopy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), hEvent, GetCurrentProcess(), &hCopy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(HandleCount(hEvent), 2u);
    CloseHandle(hCopy);
    EXPECT_EQ(HandleCount(hEvent), 1u);
    CloseHandle(hEvent);
    DWORD count = 0;
    EXPECT_FALSE(GetObjectHandleCount(hEvent, &count));
}

TEST_F(Registry, UnRegisterAllGoesOverNetsWhoseThreadsEndedOnTheirOwn) {
    TestNet a, b, c;
    ASSERT_TRUE(a.Register(0xF3, 1));
    ASSERT_TRUE(b.Register(0xF3, 2));
    ASSERT_TRUE(b.Register(0xF3, 3));
    ASSERT_TRUE(c.Register(0xF3, 4));
    EndThreadOnItsOwn(&b);
    EndThreadOnItsOwn(&c);
    EXPECT_TRUE(UnRegisterAllRibexClients());
    EXPECT_EQ(CountRibexNets(), 0u);
    for (TestNet *t : {&a, &b, &c})
        for (HANDLE h : t->events) EXPECT_EQ(HandleCount(h), 1u);
}

}  // namespace

namespace {

// Undo takes back the registration an open just made when its confirm
// was lost; where there is none to take back, its line says which look-up
// found nothing, and nothing registered is touched.
TEST_F(Registry, AnUndoThatFindsNothingNamesTheLookUpAndLeavesEveryRegistration) {
    const std::string kNoNet =
        "\tribex::UnRegisterRibexClient, (pRibexNet = GetRibexNet( ... )) == NULL\n";
    const std::string kNoEntry =
        "\tribex::UnRegisterRibexClient, uniqueId == 0xf4:0x2 not in "
        "pRibexNet->threadParam.pEvents\n";
    const std::string kNoClient =
        "\tribex::UnRegisterRibexClient, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n";
    TestNet net;
    ASSERT_TRUE(net.Register(0xF4, 1));
    std::vector<std::string> before = TraceLines();

    EXPECT_FALSE(UndoRegisterRibexClient(ribex_test::UniqueName(L"none").c_str(), 0xF4, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(UndoRegisterRibexClient(net.name.c_str(), 0xF4, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    ASSERT_NE(net.Net(), nullptr);
    EXPECT_EQ(net.Net()->threadParam.pEvents->noEvents, 1u);
    std::vector<std::string> after = TraceLines();
    EXPECT_EQ(CountLines(after, kNoNet), CountLines(before, kNoNet) + 1);
    EXPECT_EQ(CountLines(after, kNoEntry), CountLines(before, kNoEntry) + 1);
    EXPECT_EQ(CountLines(after, kNoClient), CountLines(before, kNoClient));
}

}  // namespace
