// Clients that go without a close: killed processes, opens given up or
// refused. The server notices them by the handle counts of their objects,
// removes them as their close would, and their unique ids open again;
// live clients, however slowly they read, stay.
#include <gtest/gtest.h>

#include <stdio.h>

#include "registry_e2e.h"
#include "ribex_messages.h"
#include "test_names.h"
#include "wait_until.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::UniqueName;

namespace {

Server g_server;
TraceModule *g_trace = nullptr;

std::wstring Q() { return QueueArg(g_server); }

std::string Gone(DWORD high, DWORD low) {
    char text[96];
    snprintf(text, sizeof(text), "CLIENT GONE uniqueId == %#lx:%#lx,", (unsigned long)high,
             (unsigned long)low);
    return text;
}

// Starts a client that opens net under id, runs more, signals that it is
// ready, waits for go (or for ever) and closes.
void StartHeld(const std::wstring &net, const std::wstring &id, const std::wstring &more,
               ChildProcess *child, const std::wstring &go = UniqueName(L"never")) {
    std::wstring ready = UniqueName(L"rdy");
    ASSERT_TRUE(StartClient(Q() + L"id " + id + L" open " + net + L" " + more + L"signal " + ready +
                                L" wait " + go + L" close",
                            child));
    ASSERT_TRUE(WaitEvent(ready));
}

void Kill(ChildProcess *child) {
    ribex_test::KillChild(child);
    ribex_test::ReleaseChild(child);
}

bool SendToServer(const void *request, DWORD length) {
    return MsgQSend(g_server.hQueue, request, length, 5000) != FALSE;
}

// Sends the open by hand; the confirm's error code, its reference in *pRef.
DWORD OpenByHand(RawClient *c, DWORD major = RIBEX_CLIENT_MAJOR_VERSION) {
    canIfOpenReqMsg req = {RIBEX_REQ_IF_OPEN, major, 0, {c->high, c->low}, {}};
    wcsncpy(req.netName, c->net.c_str(), RIBEX_NET_NAME_MAX - 1);
    if (!SendToServer(&req, sizeof(req))) return (DWORD)-1;
    msgCfm cfm = {};
    DWORD length = 0;
    // A refused version shows the operator notice first; a fresh Wine may
    // take seconds for the first message box.
    if (!MsgQReceive(c->hReply, &cfm, sizeof(cfm), &length, 60000)) return (DWORD)-1;
    c->ref = cfm.canIfOpenCfm.hMsgQRef;
    return cfm.canIfOpenCfm.errorCode;
}

class RibexLiveness : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_trace = ReadServerTrace();
        ASSERT_NE(g_trace, nullptr);
        ASSERT_TRUE(StartServer(&g_server));
    }
    // The suite's server ends by itself once no client holds its queue.
    static void TearDownTestSuite() {
        EXPECT_EQ(StopServer(&g_server, 15000), 0u);
        TraceRelease(g_trace);
    }
    void SetUp() override { ASSERT_TRUE(ServerRunning(&g_server)); }
};

TEST_F(RibexLiveness,
       AKilledClientIsRemovedAsItsCloseWouldAndItsIdOpensAgainWhileASlowReaderStays) {
    std::wstring net = UniqueName(L"lkill"), go = UniqueName(L"go");
    Peer peer(net);
    ChildProcess keeper, victim;
    // The keeper never reads a frame while the victim dies and is removed.
    StartHeld(net, L"1e:1", L"", &keeper, go);
    StartHeld(net, L"1a:2", L"enable 2a1 ", &victim);
    ASSERT_TRUE(SendFrames(peer.h, 0, 300));
    LONG mark = TraceMark(g_trace);
    Kill(&victim);
    ASSERT_TRUE(WaitTraced(g_trace, mark, Gone(0x1a, 0x2)));
    // The same id at once: its event and reply queue are free again, and
    // its remote-frame reply went with it.
    EXPECT_EQ(RunClient(Q() + L"id 1a:2 open " + net + L" list enable 2a1 close"),
              Lines({"open 0", "list", "list end 259", "enable 0", "close 0"}));
    EXPECT_EQ(CountTraced(g_trace, mark, Gone(0x1a, 0x2)), 1);
    EXPECT_TRUE(Traced(g_trace, mark,
                       Gone(0x1a, 0x2) + " netName == " + std::string(net.begin(), net.end()) +
                           ", noRegistrations == 1, noReplyQueues == 1, errorCode == 0"));
    // Several seconds without reading: the keeper is still there.
    EXPECT_FALSE(Traced(g_trace, mark, Gone(0x1e, 0x1)));
    SignalEvent(go);
    EXPECT_EQ(FinishClient(&keeper), Lines({"open 0", "close 0"}));
    EXPECT_FALSE(NetExists(net));
}

TEST_F(RibexLiveness, ALastClientKilledWhileTheServerIsBusyWithRequestsStopsItsNet) {
    std::wstring net = UniqueName(L"lbusy"), syncNet = UniqueName(L"lsync");
    Peer peer(net), syncPeer(syncNet);
    RawClient sync(syncNet, 0x1b, 0x9);
    ASSERT_EQ(OpenByHand(&sync), 0u);
    ChildProcess victim;
    StartHeld(net, L"1b:1", L"", &victim);
    LONG mark = TraceMark(g_trace);
    Kill(&victim);
    // Requests back to back: the server's receive never times out.
    DWORD requests = 0;
    for (DWORD start = GetTickCount(); NetExists(net) && GetTickCount() - start < 20000;
         ++requests) {
        canEnumRemFrameReqMsg req = {RIBEX_REQ_ENUM_REM_FRAME, sync.ref, {sync.high, sync.low}, 0};
        ASSERT_TRUE(SendToServer(&req, sizeof(req)));
        msgCfm cfm = {};
        DWORD length = 0;
        ASSERT_TRUE(MsgQReceive(sync.hReply, &cfm, sizeof(cfm), &length, 10000));
    }
    EXPECT_FALSE(NetExists(net)) << requests << " requests";
    EXPECT_TRUE(Traced(g_trace, mark, Gone(0x1b, 0x1)));
    canIfCloseReqMsg close = {RIBEX_REQ_IF_CLOSE, sync.ref, {sync.high, sync.low}};
    ASSERT_TRUE(SendToServer(&close, sizeof(close)));
}

TEST_F(RibexLiveness, CloseThenOpenWithTheSameIdOnAQuietNetSucceedsAtOnce) {
    std::wstring net = UniqueName(L"lquiet"), go = UniqueName(L"go");
    Peer peer(net);  // sends nothing: no wake pass ever runs
    ChildProcess keeper;
    StartHeld(net, L"1d:1", L"", &keeper, go);
    EXPECT_EQ(RunClient(Q() + L"id 1d:2 open " + net + L" close open " + net + L" close open " +
                        net + L" close"),
              Lines({"open 0", "close 0", "open 0", "close 0", "open 0", "close 0"}));
    SignalEvent(go);
    EXPECT_EQ(FinishClient(&keeper), Lines({"open 0", "close 0"}));
}

TEST_F(RibexLiveness, AnOpenGivenUpOrRefusedLeavesNothingOnceItsClientLetsGo) {
    std::wstring net = UniqueName(L"lgive");
    Peer peer(net);
    LONG mark = TraceMark(g_trace);
    {
        // What our client library does when the open confirm came too late:
        // a close without reference, then its objects go.
        RawClient late(net, 0x1c, 0x1);
        ASSERT_EQ(OpenByHand(&late), 0u);
        canIfCloseReqMsg close = {RIBEX_REQ_IF_CLOSE, 0, {late.high, late.low}};
        ASSERT_TRUE(SendToServer(&close, sizeof(close)));
        // Refused: the server holds the reply queue without a registration.
        RawClient refused(net, 0x1c, 0x2);
        ASSERT_EQ(OpenByHand(&refused, RIBEX_CLIENT_MAJOR_VERSION - 1),
                  (DWORD)ERROR_REVISION_MISMATCH);
    }
    EXPECT_TRUE(WaitNetGone(net));
    EXPECT_TRUE(WaitTraced(g_trace, mark, Gone(0x1c, 0x1)));
    EXPECT_TRUE(
        Traced(g_trace, mark, ", noRegistrations == 1, noReplyQueues == 1, errorCode == 0"));
    EXPECT_TRUE(WaitTraced(g_trace, mark, Gone(0x1c, 0x2)));
    EXPECT_TRUE(
        Traced(g_trace, mark, ", noRegistrations == 0, noReplyQueues == 1, errorCode == 0"));
    for (const wchar_t *id : {L"1c:1", L"1c:2"})
        EXPECT_EQ(RunClient(Q() + L"id " + id + L" open " + net + L" close"),
                  Lines({"open 0", "close 0"}));

    // Through the library itself, with no time to wait for the confirm.
    // Whether the open came too late or not, nothing may stay behind.
    Lines first = RunClient(Q() + L"id 1c:3 timeout 1 open " + net);
    ASSERT_EQ(first.size(), 1u);
    Lines again;
    ribex_test::WaitUntil(
        [&] {
            again = RunClient(Q() + L"id 1c:3 open " + net + L" close");
            return again == Lines({"open 0", "close 0"});
        },
        20000, 200);
    EXPECT_EQ(again, Lines({"open 0", "close 0"})) << first[0];
    EXPECT_TRUE(WaitNetGone(net));
}

// A server of its own, whose one client was killed on its net: the
// liveness check removes it, and the server still ends cleanly.
TEST(RibexLivenessServerEnd, TheServerEndsWithExitCodeZeroAfterAClientWasKilled) {
    Server server;
    ASSERT_TRUE(StartServer(&server));
    std::wstring net = UniqueName(L"endk"), ready = UniqueName(L"rk");
    Peer peer(net);
    ChildProcess victim;
    ASSERT_TRUE(StartClient(QueueArg(server) + L"open " + net + L" signal " + ready + L" wait " +
                                UniqueName(L"never"),
                            &victim));
    ASSERT_TRUE(WaitEvent(ready));
    Kill(&victim);
    EXPECT_TRUE(WaitNetGone(net));
    EXPECT_EQ(StopServer(&server, 15000), 0u);
}

}  // namespace
