// The whole server with several client processes on our client library:
// nets shared and separated, frames reaching every client, remote-frame
// replies managed from different processes, and the server ending by
// itself once its last client is gone.
#include <gtest/gtest.h>

#include "registry_e2e.h"
#include "test_names.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::UniqueName;

namespace {

Server g_server;

std::wstring Q() { return L"queue " + g_server.queueName + L" "; }

class RibexClients : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartServer(&g_server)); }
    void SetUp() override { ASSERT_TRUE(ServerRunning(&g_server)); }
};

TEST_F(RibexClients, FramesReachEveryClientOfTheNetAndASlowReaderCountsExactlyWhatItLost) {
    std::wstring net = UniqueName(L"share");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    std::wstring readyA = UniqueName(L"ra"), readyB = UniqueName(L"rb"), goB = UniqueName(L"gb");
    const DWORD kFrames = 300;  // more than the ring holds

    ChildProcess fast, slow;
    ASSERT_TRUE(StartClient(Q() + L"open " + net + L" signal " + readyA + L" read 300 20000 close", &fast));
    ASSERT_TRUE(WaitEvent(readyA, 20000));
    ASSERT_TRUE(StartClient(Q() + L"open " + net + L" header signal " + readyB + L" wait " + goB +
                                L" read 300 3000 close",
                            &slow));
    ASSERT_TRUE(WaitEvent(readyB, 20000));

    HANDLE hMapping = nullptr;
    const RxBufferLayout *pBuffer = MapRxBuffer(net, &hMapping);
    ASSERT_NE(pBuffer, nullptr);
    ASSERT_TRUE(SendFrames(hPeer, 0, kFrames));
    // The slow client reads only after the writer has lapped it.
    ASSERT_TRUE(WaitForStored(pBuffer, kFrames, 20000));
    SignalEvent(goB);

    std::vector<std::string> a = FinishClient(&fast);
    std::vector<std::string> b = FinishClient(&slow);
    EXPECT_TRUE(Contains(a, "open 0"));
    EXPECT_TRUE(Contains(a, "read frames=300 lost=0 first=0 last=299 errors=0 contiguous=1"));
    EXPECT_TRUE(Contains(a, "close 0"));
    // One ring for both: the second client joined the running net.
    EXPECT_TRUE(Contains(b, "open 0"));
    EXPECT_TRUE(Contains(b, "header currSeqNo=1 head=0"));
    // Whatever it lost was exactly the frames before the first it got.
    bool checked = false;
    for (const std::string &line : b) {
        unsigned frames, lost, first, last, errors;
        int contiguous;
        if (sscanf(line.c_str(), "read frames=%u lost=%u first=%u last=%u errors=%u contiguous=%d", &frames, &lost,
                   &first, &last, &errors, &contiguous) == 6) {
            checked = true;
            EXPECT_GE(lost, kFrames - RX_BUFFER_NO_ENTRIES);
            EXPECT_EQ(lost, first);
            EXPECT_EQ(frames + lost, kFrames);
            EXPECT_EQ(last, kFrames - 1);
            EXPECT_EQ(contiguous, 1);
        }
    }
    EXPECT_TRUE(checked) << "no read line from the slow client";
    EXPECT_TRUE(Contains(b, "close 0"));
    UnmapViewOfFile(pBuffer);
    CloseHandle(hMapping);
    MsgQClose(hPeer);
}

TEST_F(RibexClients, NineClientsOnOneNetAreAllWoken) {
    std::wstring net = UniqueName(L"nine");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    std::wstring go = UniqueName(L"go9");
    ChildProcess clients[9];
    for (int i = 0; i < 9; ++i) {
        std::wstring ready = UniqueName(L"r9");
        ASSERT_TRUE(StartClient(Q() + L"open " + net + L" signal " + ready + L" read 3 10000 close", &clients[i]));
        // In turn: the ninth open must meet a table of eight.
        ASSERT_TRUE(WaitEvent(ready, 20000)) << "client " << i;
    }
    ASSERT_TRUE(SendFrames(hPeer, 7, 3));
    for (int i = 0; i < 9; ++i) {
        std::vector<std::string> lines = FinishClient(&clients[i]);
        EXPECT_TRUE(Contains(lines, "read frames=3 lost=0 first=7 last=9 errors=0 contiguous=1")) << "client " << i;
        EXPECT_TRUE(Contains(lines, "close 0")) << "client " << i;
    }
    MsgQClose(hPeer);
}

TEST_F(RibexClients, ANetOpenedAgainAfterItsLastClientLeftStartsAFreshRing) {
    std::wstring net = UniqueName(L"fresh");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    std::wstring ready = UniqueName(L"rf"), sent = UniqueName(L"sf");
    ChildProcess first;
    ASSERT_TRUE(StartClient(Q() + L"open " + net + L" signal " + ready + L" read 5 10000 header close", &first));
    ASSERT_TRUE(WaitEvent(ready, 20000));
    ASSERT_TRUE(SendFrames(hPeer, 0, 5));
    std::vector<std::string> a = FinishClient(&first);
    EXPECT_TRUE(Contains(a, "header currSeqNo=1 head=5"));
    EXPECT_TRUE(Contains(a, "close 0"));

    std::vector<std::string> b = RunClient(Q() + L"open " + net + L" header close");
    EXPECT_TRUE(Contains(b, "open 0"));
    EXPECT_TRUE(Contains(b, "header currSeqNo=1 head=0"));
    EXPECT_TRUE(Contains(b, "close 0"));
    MsgQClose(hPeer);
}

TEST_F(RibexClients, NetNamesThatDifferOnlyInCaseAreDifferentNets) {
    std::wstring upper = UniqueName(L"CASE"), lower = upper;
    for (wchar_t &c : lower) c = towlower(c);
    MsgQHandle hUpper = CreatePeer(upper), hLower = CreatePeer(lower);
    ASSERT_NE(hUpper, nullptr);
    ASSERT_NE(hLower, nullptr);
    std::wstring ru = UniqueName(L"ru"), rl = UniqueName(L"rl");
    ChildProcess cu, cl;
    ASSERT_TRUE(StartClient(Q() + L"open " + upper + L" signal " + ru + L" read 2 5000 close", &cu));
    ASSERT_TRUE(WaitEvent(ru, 20000));
    ASSERT_TRUE(StartClient(Q() + L"open " + lower + L" signal " + rl + L" read 2 1500 close", &cl));
    ASSERT_TRUE(WaitEvent(rl, 20000));
    ASSERT_TRUE(SendFrames(hUpper, 40, 2));
    std::vector<std::string> u = FinishClient(&cu);
    std::vector<std::string> l = FinishClient(&cl);
    EXPECT_TRUE(Contains(u, "read frames=2 lost=0 first=40 last=41 errors=0 contiguous=1"));
    EXPECT_TRUE(Contains(l, "open 0"));
    EXPECT_TRUE(Contains(l, "read frames=0 lost=0 first=0 last=0 errors=0 contiguous=1"));
    MsgQClose(hUpper);
    MsgQClose(hLower);
}

TEST_F(RibexClients, RemoteFrameRepliesAreSharedPerNetAndOwnedByTheirProcessPart) {
    std::wstring net = UniqueName(L"rem");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    std::wstring readyA = UniqueName(L"ra"), doneB = UniqueName(L"db");
    ChildProcess a;
    ASSERT_TRUE(StartClient(Q() + L"id aaaa:1 open " + net + L" enable 123 enable 123 signal " + readyA + L" wait " +
                                doneB + L" list disable 123 list close",
                            &a));
    ASSERT_TRUE(WaitEvent(readyA, 20000));
    std::vector<std::string> b = RunClient(Q() + L"id bbbb:1 open " + net +
                                           L" enable 123 disable 123 disable 456 enable 80000123 list close");
    SignalEvent(doneB);
    std::vector<std::string> la = FinishClient(&a);

    ASSERT_EQ(la.size(), 9u) << "client A output";
    EXPECT_EQ(la[0], "open 0");
    EXPECT_EQ(la[1], "enable 0");
    EXPECT_EQ(la[2], "enable 183");
    // B's identifier with bit 31 set is a different entry.
    EXPECT_EQ(la[3], "list 123 80000123");
    EXPECT_EQ(la[4], "list end 259");
    EXPECT_EQ(la[5], "disable 0");
    EXPECT_EQ(la[6], "list 80000123");
    EXPECT_EQ(la[7], "list end 259");
    EXPECT_EQ(la[8], "close 0");

    ASSERT_EQ(b.size(), 8u) << "client B output";
    EXPECT_EQ(b[0], "open 0");
    EXPECT_EQ(b[1], "enable 183");   // enabled by another process
    EXPECT_EQ(b[2], "disable 5");    // and only that process part may disable it
    EXPECT_EQ(b[3], "disable 1168"); // never enabled
    EXPECT_EQ(b[4], "enable 0");
    EXPECT_EQ(b[5], "list 123 80000123");
    EXPECT_EQ(b[6], "list end 259");
    EXPECT_EQ(b[7], "close 0");
    MsgQClose(hPeer);
}

TEST_F(RibexClients, DisableAllDropsOneProcessPartOnEveryNetAndMovesTheLastEntryIntoEachGap) {
    std::wstring net1 = UniqueName(L"da1"), net2 = UniqueName(L"da2");
    MsgQHandle p1 = CreatePeer(net1), p2 = CreatePeer(net2);
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p2, nullptr);
    std::vector<std::string> out = RunClient(
        Q() + L"id aaaa:1 open " + net1 + L" id aaaa:2 open " + net2 + L" id bbbb:1 open " + net1 +
        L" use 0 enable 1 use 0 enable 2 use 2 enable 4 use 0 enable 3 use 2 enable 5 use 1 enable 10"
        L" use 1 enable 11 use 0 disableall use 2 list use 1 list use 0 close use 1 close use 2 close");
    ASSERT_EQ(out.size(), 18u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], "open 0");
    for (int i = 3; i < 10; ++i) EXPECT_EQ(out[i], "enable 0");
    EXPECT_EQ(out[10], "disableall 0");
    // net1 held 1 2 4 3 5; removing 1, 2, 3 in turn with move-last-into-gap
    // leaves 5 4.
    EXPECT_EQ(out[11], "list 5 4");
    EXPECT_EQ(out[12], "list end 259");
    EXPECT_EQ(out[13], "list");
    EXPECT_EQ(out[14], "list end 259");
    for (int i = 15; i < 18; ++i) EXPECT_EQ(out[i], "close 0");
    MsgQClose(p1);
    MsgQClose(p2);
}

TEST_F(RibexClients, AUniqueIdOnTwoNetsIsServedOnTheNetOpenedFirst) {
    std::wstring net1 = UniqueName(L"twin1"), net2 = UniqueName(L"twin2");
    MsgQHandle p1 = CreatePeer(net1), p2 = CreatePeer(net2);
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p2, nullptr);
    // Handles 0 and 1: id cccc:7 on net1 and net2; 2: a watcher on net1;
    // 3: a watcher on net2.
    std::vector<std::string> out =
        RunClient(Q() + L"id cccc:7 open " + net1 + L" open " + net2 + L" id dddd:1 open " + net1 +
                  L" id eeee:1 open " + net2 +
                  L" use 1 enable 77 use 2 list use 3 list"
                  L" use 1 close use 0 enable 78 use 3 list use 2 list"
                  L" use 0 close use 2 close use 3 close");
    std::vector<std::string> want = {
        "open 0", "open 0", "open 0", "open 0",
        // Sent through the net2 handle, it lands on net1, the nearer one.
        "enable 0", "list 77", "list end 259", "list", "list end 259",
        // The close through the net2 handle took the net1 registration, so
        // the id now lives on net2 only and is served there.
        "close 0", "enable 0", "list 78", "list end 259", "list 77", "list end 259",
        "close 0", "close 0", "close 0"};
    EXPECT_EQ(out, want);
    MsgQClose(p1);
    MsgQClose(p2);
}

TEST_F(RibexClients, AClientKilledWhileOnANetDisturbsNeitherTheOthersNorTheShutdown) {
    std::wstring net = UniqueName(L"kill");
    MsgQHandle hPeer = CreatePeer(net);
    ASSERT_NE(hPeer, nullptr);
    std::wstring readyK = UniqueName(L"rk"), readyL = UniqueName(L"rl"), never = UniqueName(L"nv");
    ChildProcess victim, live;
    ASSERT_TRUE(StartClient(Q() + L"open " + net + L" signal " + readyK + L" wait " + never, &victim));
    ASSERT_TRUE(WaitEvent(readyK, 20000));
    ribex_test::KillChild(&victim);
    ribex_test::ReleaseChild(&victim);
    ASSERT_TRUE(StartClient(Q() + L"open " + net + L" signal " + readyL + L" read 4 10000 close", &live));
    ASSERT_TRUE(WaitEvent(readyL, 20000));
    ASSERT_TRUE(SendFrames(hPeer, 100, 4));
    std::vector<std::string> lines = FinishClient(&live);
    EXPECT_TRUE(Contains(lines, "read frames=4 lost=0 first=100 last=103 errors=0 contiguous=1"));
    EXPECT_TRUE(Contains(lines, "close 0"));
    // The dead client stays registered until the server's own shutdown
    // (the last test) tears the net down.
    HANDLE hMapping = nullptr;
    const RxBufferLayout *pBuffer = MapRxBuffer(net, &hMapping);
    EXPECT_NE(pBuffer, nullptr);
    if (pBuffer) {
        UnmapViewOfFile(pBuffer);
        CloseHandle(hMapping);
    }
    MsgQClose(hPeer);
}

TEST_F(RibexClients, ZTheServerEndsWithExitCodeZeroOnceNoClientHoldsItsQueue) {
    EXPECT_EQ(StopServer(&g_server, 15000), 0u);
}

}  // namespace
