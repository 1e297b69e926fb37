// The whole server with several client processes on our client library:
// nets shared and separated, frames reaching every client, remote-frame
// replies managed from different processes, and the server ending by
// itself once its last client is gone.
#include <gtest/gtest.h>

#include <stdio.h>

#include "registry_e2e.h"
#include "test_names.h"
#include "wait_until.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::UniqueName;

namespace {

Server g_server;

std::wstring Q() { return QueueArg(g_server); }

class RibexClients : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartServer(&g_server)); }
    // The suite's server, too, ends by itself once no client holds its queue.
    static void TearDownTestSuite() { EXPECT_EQ(StopServer(&g_server, 15000), 0u); }
    void SetUp() override { ASSERT_TRUE(ServerRunning(&g_server)); }
};

TEST_F(RibexClients, AJoiningClientSharesTheRingAndANetOpenedAfterItsLastClientLeftStartsAfresh) {
    std::wstring net = UniqueName(L"share"), ready = UniqueName(L"r"), read = UniqueName(L"h"),
                 go = UniqueName(L"g");
    Peer peer(net);
    ChildProcess first;
    ASSERT_TRUE(StartClient(Q() + L"open " + net + L" signal " + ready + L" read 5 10000 signal " +
                                read + L" wait " + go + L" header close",
                            &first));
    ASSERT_TRUE(WaitEvent(ready));
    ASSERT_TRUE(SendFrames(peer.h, 0, 5));
    ASSERT_TRUE(WaitEvent(read));
    EXPECT_EQ(RunClient(Q() + L"open " + net + L" header close"),
              Lines({"open 0", "header currSeqNo=1 head=5", "close 0"}));
    SignalEvent(go);
    EXPECT_EQ(FinishClient(&first),
              Lines({"open 0", "read 5+0 exact", "header currSeqNo=1 head=5", "close 0"}));
    EXPECT_FALSE(NetExists(net));
    EXPECT_EQ(RunClient(Q() + L"open " + net + L" header close"),
              Lines({"open 0", "header currSeqNo=1 head=0", "close 0"}));
}

TEST_F(RibexClients, NineClientsAreAllWokenAndEachCountsExactlyWhatItLost) {
    std::wstring net = UniqueName(L"nine"), go = UniqueName(L"go");
    Peer peer(net);
    const unsigned kFrames = 300;  // more than the ring holds
    ChildProcess clients[9];
    for (int i = 0; i < 9; ++i) {
        std::wstring ready = UniqueName(L"r9");
        // The ninth, which grows the table, reads only after the writer lapped it.
        std::wstring slow = i == 8 ? L" wait " + go : L"";
        ASSERT_TRUE(StartClient(
            Q() + L"open " + net + L" signal " + ready + slow + L" read 300 20000 close",
            &clients[i]));
        ASSERT_TRUE(WaitEvent(ready)) << "client " << i;
    }
    HANDLE hMapping = nullptr;
    const RxBufferLayout *b = MapRxBuffer(net, &hMapping);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(SendFrames(peer.h, 0, kFrames));
    EXPECT_TRUE(ribex_test::WaitUntil(
        [&] { return b->header.head == kFrames % 256 && b->header.currSeqNo == 2; }, 20000))
        << "the writer did not lap the ring";
    SignalEvent(go);
    for (int i = 0; i < 9; ++i) {
        Lines lines = FinishClient(&clients[i]);
        ASSERT_EQ(lines.size(), 3u) << "client " << i;
        EXPECT_EQ(lines[0], "open 0");
        unsigned frames = 0, lost = 0;
        char how[8] = "";
        ASSERT_EQ(sscanf(lines[1].c_str(), "read %u+%u %7s", &frames, &lost, how), 3) << lines[1];
        EXPECT_EQ(frames + lost, kFrames) << "client " << i;
        EXPECT_STREQ(how, "exact") << "client " << i;
        EXPECT_GT(frames, 0u) << "client " << i;
        if (i == 8) {
            EXPECT_GE(lost, kFrames - RX_BUFFER_NO_ENTRIES);
        }
        EXPECT_EQ(lines[2], "close 0");
    }
    UnmapViewOfFile(b);
    CloseHandle(hMapping);
}

TEST_F(RibexClients, NetNamesThatDifferOnlyInCaseAreDifferentNetsButNeverShareARing) {
    std::wstring upper = UniqueName(L"CASE"), lower = upper, ru = UniqueName(L"ru"),
                 rl = UniqueName(L"rl");
    for (wchar_t &c : lower) c = towlower(c);
    Peer pu(upper), pl(lower);
    ChildProcess cu, cl;
    ASSERT_TRUE(
        StartClient(Q() + L"open " + upper + L" signal " + ru + L" read 2 10000 close", &cu));
    ASSERT_TRUE(WaitEvent(ru));
    // Where object names ignore case the twin's buffer is found existing
    // (made by hand here, as Wine keeps the spellings apart): refused
    // rather than given a second writer.
    HANDLE hTwin = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      RX_BUFFER_SIZE, (lower + L"0000000000000000FMO").c_str());
    ASSERT_NE(hTwin, nullptr);
    EXPECT_EQ(RunClient(Q() + L"open " + lower), Lines({"open 183"}));
    CloseHandle(hTwin);
    ASSERT_TRUE(
        StartClient(Q() + L"open " + lower + L" signal " + rl + L" read 2 1500 close", &cl));
    ASSERT_TRUE(WaitEvent(rl));
    ASSERT_TRUE(SendFrames(pu.h, 0, 2));
    EXPECT_EQ(FinishClient(&cu), Lines({"open 0", "read 2+0 exact", "close 0"}));
    EXPECT_EQ(FinishClient(&cl), Lines({"open 0", "read 0+0 exact", "close 0"}));
}

TEST_F(RibexClients, RemoteFrameRepliesAreSharedPerNetAndOwnedByTheirProcessPart) {
    std::wstring net = UniqueName(L"rem"), readyA = UniqueName(L"ra"), doneB = UniqueName(L"db");
    Peer peer(net);
    ChildProcess a;
    ASSERT_TRUE(StartClient(Q() + L"id aaaa:1 open " + net + L" enable 123 enable 123 signal " +
                                readyA + L" wait " + doneB + L" list disable 123 list close",
                            &a));
    ASSERT_TRUE(WaitEvent(readyA));
    // 183 also for another process; only the owning process part may
    // disable (5); never enabled (1168); an identifier with bit 31 set is
    // kept exactly as given, an entry of its own at its index, and another
    // client of the same process part may disable it.
    EXPECT_EQ(RunClient(Q() + L"id bbbb:1 open " + net +
                        L" enable 123 disable 123 disable 456 enable 80000456 list"
                        L" id bbbb:2 open " + net + L" disable 80000456 disable 80000456"
                        L" enable 80000123 close use 0 close"),
              Lines({"open 0", "enable 183", "disable 5", "disable 1168", "enable 0",
                     "list 123 80000456", "list end 259", "open 0", "disable 0", "disable 1168",
                     "enable 0", "close 0", "close 0"}));
    SignalEvent(doneB);
    EXPECT_EQ(FinishClient(&a),
              Lines({"open 0", "enable 0", "enable 183", "list 123 80000123", "list end 259",
                     "disable 0", "list 80000123", "list end 259", "close 0"}));
}

TEST_F(RibexClients, DisableAllDropsOneProcessPartOnEveryNetAndMovesTheLastEntryIntoEachGap) {
    std::wstring net1 = UniqueName(L"da1"), net2 = UniqueName(L"da2");
    Peer p1(net1), p2(net2);
    // Handles 0 (aaaa) and 2 (bbbb) on net1, 1 (aaaa) on net2. net1 holds
    // 1 2 4 3 5; taking 1, 2, 3 out in turn, each gap filled by the last
    // entry, leaves 5 4.
    EXPECT_EQ(
        RunClient(
            Q() + L"id aaaa:1 open " + net1 + L" id aaaa:2 open " + net2 + L" id bbbb:1 open " +
            net1 +
            L" use 0 enable 1 enable 2 use 2 enable 4 use 0 enable 3 use 2 enable 5 use 1 enable 10"
            L" enable 11 use 0 disableall use 2 list use 1 list use 0 close use 1 close use 2 "
            L"close"),
        Lines({"open 0", "open 0", "open 0", "enable 0", "enable 0", "enable 0", "enable 0",
               "enable 0", "enable 0", "enable 0", "disableall 0", "list 5 4", "list end 259",
               "list", "list end 259", "close 0", "close 0", "close 0"}));
}

TEST_F(RibexClients, AUniqueIdOnTwoNetsIsServedOnTheNetOpenedFirst) {
    std::wstring net1 = UniqueName(L"twin1"), net2 = UniqueName(L"twin2");
    Peer p1(net1), p2(net2);
    // Handles 0 and 1: id cccc:7 on net1 and net2; 2 and 3: watchers on
    // net1 and net2. Sent through the net2 handle, the enable lands on
    // net1; the close through it takes the net1 registration, so the id
    // then lives on net2 only.
    EXPECT_EQ(RunClient(Q() + L"id cccc:7 open " + net1 + L" open " + net2 + L" id dddd:1 open " +
                        net1 + L" id eeee:1 open " + net2 +
                        L" use 1 enable 77 use 2 list use 3 list use 1 close use 0 enable 78 use 3 "
                        L"list use 2 list"
                        L" use 0 close use 2 close use 3 close"),
              Lines({"open 0", "open 0", "open 0", "open 0", "enable 0", "list 77", "list end 259",
                     "list", "list end 259", "close 0", "enable 0", "list 78", "list end 259",
                     "list 77", "list end 259", "close 0", "close 0", "close 0"}));
}

TEST_F(RibexClients, AClientKilledWhileOnANetDisturbsNeitherTheOthersNorTheShutdown) {
    std::wstring net = UniqueName(L"kill"), readyK = UniqueName(L"rk"), readyL = UniqueName(L"rl");
    Peer peer(net);
    ChildProcess victim, live;
    ASSERT_TRUE(StartClient(
        Q() + L"open " + net + L" signal " + readyK + L" wait " + UniqueName(L"nv"), &victim));
    ASSERT_TRUE(WaitEvent(readyK));
    ribex_test::KillChild(&victim);
    ribex_test::ReleaseChild(&victim);
    ASSERT_TRUE(
        StartClient(Q() + L"open " + net + L" signal " + readyL + L" read 4 10000 close", &live));
    ASSERT_TRUE(WaitEvent(readyL));
    ASSERT_TRUE(SendFrames(peer.h, 0, 4));
    EXPECT_EQ(FinishClient(&live), Lines({"open 0", "read 4+0 exact", "close 0"}));
    // The dead client does not keep the net: liveness removes it, and the
    // net stops with its last client.
    EXPECT_TRUE(WaitNetGone(net));
}

// A server of its own, served one client that came and went.
TEST(RibexClientsServerEnd, TheServerEndsWithExitCodeZeroOnceNoClientHoldsItsQueue) {
    Server server;
    ASSERT_TRUE(StartServer(&server));
    std::wstring net = UniqueName(L"end");
    Peer peer(net);
    EXPECT_EQ(RunClient(QueueArg(server) + L"open " + net + L" close"),
              Lines({"open 0", "close 0"}));
    EXPECT_EQ(StopServer(&server, 15000), 0u);
    EXPECT_FALSE(NetExists(net));
}

}  // namespace
