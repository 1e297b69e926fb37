// Requests sent byte by byte, as a careless or hostile client could: wrong
// versions, missing or full reply queues, references the server never
// handed out, names without terminator, requests cut short. The server
// answers what deserves an answer, drops the rest with a trace line, and
// goes on serving.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "registry_e2e.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "test_names.h"
#include "trace.h"

using namespace registry_e2e;
using ribex_test::UniqueName;

namespace {

Server g_server;
TraceModule *g_trace = nullptr;
const DWORD kNone = 0xFFFFFFFF;  // no confirm came

LONG Mark() { return TraceMark(g_trace); }
std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof(text), "%#lx", (unsigned long)value);
    return text;
}
bool Traced(LONG mark, const std::string &text) {
    return registry_e2e::Traced(g_trace, mark, text);
}

bool Send(const void *request, DWORD length, const Server &server = g_server) {
    return MsgQSend(server.hQueue, request, length, 5000) != FALSE;
}

void SendOpen(const RawClient &c, DWORD major = RIBEX_CLIENT_MAJOR_VERSION,
              const Server &server = g_server) {
    canIfOpenReqMsg req = {RIBEX_REQ_IF_OPEN, major, 3, {c.high, c.low}, {}};
    wcsncpy(req.netName, c.net.c_str(), RIBEX_NET_NAME_MAX - 1);
    ASSERT_TRUE(Send(&req, sizeof(req), server));
}

// Close (4), enum (10), enable (12) or disable (13) for c through ref: they
// share id, reference and unique id, then the index or identifier. The
// length is the request's full layout unless given.
void Req(const RawClient &c, DWORD id, DWORD ref, DWORD arg = 0, DWORD length = 0) {
    static_assert(sizeof(canDisableRemFrameReqMsg) == sizeof(canEnumRemFrameReqMsg), "same layout");
    msgReq req = {};
    req.canEnableRemFrameReq = {id, ref, {c.high, c.low}, {arg}, 0};
    if (length == 0)
        length = id == RIBEX_REQ_IF_CLOSE           ? sizeof(canIfCloseReqMsg)
                 : id == RIBEX_REQ_ENABLE_REM_FRAME ? sizeof(canEnableRemFrameReqMsg)
                                                    : sizeof(canEnumRemFrameReqMsg);
    ASSERT_TRUE(Send(&req, length));
}

// The error code of the next confirm on c's reply queue, which must be of
// kind cfmId with that kind's exact length; kNone when none came in time.
DWORD Answer(const RawClient &c, DWORD cfmId, DWORD timeoutMs = 10000, DWORD *pRef = nullptr) {
    msgCfm cfm = {};
    DWORD length = 0;
    if (!MsgQReceive(c.hReply, &cfm, sizeof(cfm), &length, timeoutMs)) return kNone;
    EXPECT_EQ(cfm.id, cfmId);
    EXPECT_EQ(length, cfmId == RIBEX_CFM_STATUS    ? RIBEX_STATUS_CFM_SIZE
                      : cfmId == RIBEX_CFM_IF_OPEN ? RIBEX_IF_OPEN_CFM_SIZE
                                                   : RIBEX_ENUM_REM_FRAME_CFM_SIZE);
    if (pRef) *pRef = cfm.canIfOpenCfm.hMsgQRef;
    return cfm.canStatusCfm.errorCode;
}

DWORD Silence(const RawClient &c) { return Answer(c, 0, 200); }

bool Open(RawClient *c, const Server &server = g_server) {
    SendOpen(*c, RIBEX_CLIENT_MAJOR_VERSION, server);
    return Answer(*c, RIBEX_CFM_IF_OPEN, 10000, &c->ref) == 0 && c->ref != 0;
}

// Requests are served in arrival order: once the sync client's confirm is
// back, everything sent before it has been handled, and the server is
// alive and serving.
RawClient *g_sync = nullptr;
MsgQHandle g_hSyncPeer = nullptr;

void Sync() {
    Req(*g_sync, RIBEX_REQ_ENUM_REM_FRAME, g_sync->ref);
    EXPECT_EQ(Answer(*g_sync, RIBEX_CFM_ENUM_REM_FRAME), (DWORD)ERROR_NO_MORE_ITEMS);
}

class RibexWire : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_trace = ReadServerTrace({{L"UnRegisterRibexClient", L"0xC"}});
        ASSERT_NE(g_trace, nullptr);
        ASSERT_TRUE(StartServer(&g_server));
        std::wstring syncNet = UniqueName(L"sync");
        g_hSyncPeer = CreatePeer(syncNet);
        g_sync = new RawClient(syncNet, 0x5, 0x1);
        ASSERT_TRUE(Open(g_sync));
    }
    // The sync client is still registered: the server ends by itself all the same.
    static void TearDownTestSuite() {
        delete g_sync;
        EXPECT_EQ(StopServer(&g_server, 15000), 0u);
        MsgQClose(g_hSyncPeer);
        TraceRelease(g_trace);
    }
    void SetUp() override { ASSERT_TRUE(ServerRunning(&g_server)); }
};

TEST_F(RibexWire, AnOpenThatCannotBeServedLeavesNoNetAndTheReplyQueueOpen) {
    std::wstring net = UniqueName(L"fail");
    Peer peer(net);
    RawClient v5(net, 0x16, 0x5), early(net, 0x16, 0x1, false),
        noEvent(net, 0x16, 0x2, true, false);
    SendOpen(v5, 5);
    DWORD ref = 0;
    // The operator notice comes first; a fresh Wine may take seconds to
    // show (and, headless, dismiss) the first message box.
    EXPECT_EQ(Answer(v5, RIBEX_CFM_IF_OPEN, 60000, &ref), (DWORD)ERROR_REVISION_MISMATCH);
    Req(v5, RIBEX_REQ_ENUM_REM_FRAME, ref);
    EXPECT_EQ(Answer(v5, RIBEX_CFM_ENUM_REM_FRAME), (DWORD)ERROR_INVALID_HANDLE);
    // Before the client made its reply queue: nobody to answer.
    LONG mark = Mark();
    SendOpen(early);
    Sync();
    EXPECT_TRUE(Traced(mark, "OpenMsgQ( ... )) == 0, errorCode == 1460"));
    // Without its wake-up event: the net started for it is taken down.
    SendOpen(noEvent);
    EXPECT_EQ(Answer(noEvent, RIBEX_CFM_IF_OPEN), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(NetExists(net));
    // Once its queue is there the early client opens normally.
    early.hReply = CreateMsgQ(net.c_str(), early.high, early.low, 12);
    ASSERT_TRUE(Open(&early));
    EXPECT_TRUE(NetExists(net));
    Req(early, RIBEX_REQ_IF_CLOSE, early.ref);
    EXPECT_EQ(Answer(early, RIBEX_CFM_STATUS), 0u);
}

TEST_F(RibexWire, AnOpenConfirmLostToAFullReplyQueueUndoesOnlyThatRegistration) {
    std::wstring netA = UniqueName(L"keep"), netB = UniqueName(L"full");
    Peer peerA(netA), peerB(netB);
    // The same id on the net nearer the head: the undo must not take it.
    RawClient other(netA, 0x17, 0x1), c(netB, 0x17, 0x1), noEvent(netA, 0x17, 0x2, true, false);
    ASSERT_TRUE(Open(&other));
    const char filler[12] = "occupied";
    ASSERT_TRUE(MsgQSend(c.hReply, filler, sizeof(filler), 0));
    LONG mark = Mark();
    SendOpen(c);
    Sync();
    EXPECT_TRUE(Traced(mark, "!MsgQSend( ... ), errorCode == 1460"));
    EXPECT_FALSE(NetExists(netB));
    char got[12];
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(c.hReply, got, sizeof(got), &length, 0));
    EXPECT_EQ(memcmp(got, filler, sizeof(filler)), 0);
    EXPECT_EQ(Silence(c), kNone);
    // A failed open on a net with a client leaves that client as it was.
    SendOpen(noEvent);
    EXPECT_EQ(Answer(noEvent, RIBEX_CFM_IF_OPEN), (DWORD)ERROR_FILE_NOT_FOUND);
    Req(other, RIBEX_REQ_ENABLE_REM_FRAME, other.ref, 0x321);
    EXPECT_EQ(Answer(other, RIBEX_CFM_STATUS), 0u);
    Req(other, RIBEX_REQ_IF_CLOSE, other.ref);
    EXPECT_EQ(Answer(other, RIBEX_CFM_STATUS), 0u);
    EXPECT_FALSE(NetExists(netA));
}

TEST_F(RibexWire, RemovingTheFirstOfThreeClientsMovesTheThirdIntoEntryZero) {
    std::wstring net = UniqueName(L"three");
    Peer peer(net);
    RawClient c1(net, 0x1b, 0x1), c2(net, 0x1b, 0x2), c3(net, 0x1b, 0x3);
    ASSERT_TRUE(Open(&c1) && Open(&c2) && Open(&c3));
    LONG mark = Mark();
    Req(c1, RIBEX_REQ_IF_CLOSE, c1.ref);
    EXPECT_EQ(Answer(c1, RIBEX_CFM_STATUS), 0u);
    EXPECT_TRUE(
        Traced(mark,
               "ribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->\n\tnoEvents == 2\n"
               "\t\t0x1b:0x3\n"));
    for (RawClient *c : {&c3, &c2}) {
        Req(*c, RIBEX_REQ_IF_CLOSE, c->ref);
        EXPECT_EQ(Answer(*c, RIBEX_CFM_STATUS), 0u);
    }
    EXPECT_FALSE(NetExists(net));
}

TEST_F(RibexWire, ForgedReferencesAndUnknownIdsAreNeverActedUpon) {
    std::wstring net = UniqueName(L"forge");
    Peer peer(net);
    RawClient c(net, 0x18, 0x1), stranger(net, 0x18, 0x99, false, false);
    ASSERT_TRUE(Open(&c));
    LONG mark = Mark();
    const DWORD forged[] = {0, 0x7777, c.ref + 1000, 0xFFFFFFFF};
    for (DWORD ref : forged)
        for (DWORD id : {RIBEX_REQ_ENUM_REM_FRAME, RIBEX_REQ_ENABLE_REM_FRAME,
                         RIBEX_REQ_DISABLE_REM_FRAME, RIBEX_REQ_IF_CLOSE})
            Req(c, id, ref, 0x55);
    Sync();
    EXPECT_EQ(Silence(c), kNone);
    EXPECT_TRUE(Traced(mark, "LookupMsgQRef( 0x7777 )) == NULL"));
    // A unique id the server does not know, through a real reference: 6.
    for (DWORD id :
         {RIBEX_REQ_ENABLE_REM_FRAME, RIBEX_REQ_DISABLE_REM_FRAME, RIBEX_REQ_ENUM_REM_FRAME}) {
        Req(stranger, id, c.ref, 0x55);
        EXPECT_EQ(
            Answer(c, id == RIBEX_REQ_ENUM_REM_FRAME ? RIBEX_CFM_ENUM_REM_FRAME : RIBEX_CFM_STATUS),
            (DWORD)ERROR_INVALID_HANDLE);
    }
    // Disable-all for a process part owning nothing: no change, no answer.
    canDisableAllRemFrameReqMsg all = {RIBEX_REQ_DISABLE_ALL_REM_FRAME, 0xdead};
    ASSERT_TRUE(Send(&all, sizeof(all)));
    // Nothing was acted upon: 0x55 is not enabled and the client is open.
    Req(c, RIBEX_REQ_ENABLE_REM_FRAME, c.ref, 0x55);
    EXPECT_EQ(Answer(c, RIBEX_CFM_STATUS), 0u);
    // A close for an unknown id is answered and retires the reference all
    // the same; the real client stays registered.
    Req(stranger, RIBEX_REQ_IF_CLOSE, c.ref);
    EXPECT_EQ(Answer(c, RIBEX_CFM_STATUS), (DWORD)ERROR_INVALID_HANDLE);
    Req(c, RIBEX_REQ_ENUM_REM_FRAME, c.ref);
    Sync();
    EXPECT_EQ(Silence(c), kNone);
    EXPECT_TRUE(NetExists(net));
}

// A reference names the reply queue of the client it was issued to: a
// request that carries a registered unique id with another client's
// reference (a stale or copied id) is dropped with one line and changes
// nothing, since an answer through that reference would reach a stranger.
TEST_F(RibexWire, ARegisteredIdWithAnotherClientsReferenceIsDroppedAndChangesNothing) {
    std::wstring net = UniqueName(L"owner"), other = UniqueName(L"owner2");
    Peer peer(net), peer2(other);
    RawClient a(net, 0x1c, 0x1), b(net, 0x1c, 0x2), c(other, 0x1d, 0x1);
    ASSERT_TRUE(Open(&a) && Open(&b) && Open(&c));
    Req(a, RIBEX_REQ_ENABLE_REM_FRAME, a.ref, 0x71);
    ASSERT_EQ(Answer(a, RIBEX_CFM_STATUS), 0u);
    LONG mark = Mark();
    // Another client's id through b's reference; a's own id through b's
    // and through c's (a client of another net).
    Req(a, RIBEX_REQ_IF_CLOSE, b.ref);
    Req(a, RIBEX_REQ_DISABLE_REM_FRAME, b.ref, 0x71);
    Req(a, RIBEX_REQ_ENABLE_REM_FRAME, c.ref, 0x72);
    Req(a, RIBEX_REQ_ENUM_REM_FRAME, c.ref, 0);
    Req(c, RIBEX_REQ_IF_CLOSE, a.ref);
    Sync();
    EXPECT_EQ(Silence(a), kNone);
    EXPECT_EQ(Silence(b), kNone);
    EXPECT_EQ(Silence(c), kNone);
    EXPECT_EQ(CountTraced(g_trace, mark, "!MsgQRefIsOf("), 5);
    EXPECT_TRUE(Traced(mark, "ribex::main, !MsgQRefIsOf( " + Hex(b.ref) +
                                 ", 0x1c:0x1 ), msgReq.id == 0x4\n"));
    // Nothing changed: every client is registered with its queue and
    // reference, a's entry is in place and 0x72 was never added.
    for (RawClient *x : {&a, &b, &c}) {
        Req(*x, RIBEX_REQ_ENUM_REM_FRAME, x->ref, 0);
        DWORD expected = x == &c ? (DWORD)ERROR_NO_MORE_ITEMS : 0u;
        EXPECT_EQ(Answer(*x, RIBEX_CFM_ENUM_REM_FRAME), expected);
    }
    Req(a, RIBEX_REQ_ENUM_REM_FRAME, a.ref, 1);
    EXPECT_EQ(Answer(a, RIBEX_CFM_ENUM_REM_FRAME), (DWORD)ERROR_NO_MORE_ITEMS);
    // Well-behaved requests are served as ever.
    Req(a, RIBEX_REQ_DISABLE_REM_FRAME, a.ref, 0x71);
    EXPECT_EQ(Answer(a, RIBEX_CFM_STATUS), 0u);
    for (RawClient *x : {&a, &b, &c}) {
        Req(*x, RIBEX_REQ_IF_CLOSE, x->ref);
        EXPECT_EQ(Answer(*x, RIBEX_CFM_STATUS), 0u);
    }
    EXPECT_FALSE(NetExists(net));
    EXPECT_FALSE(NetExists(other));
}

TEST_F(RibexWire, UnterminatedNamesAndShortRequestsAreDroppedWithATraceLine) {
    std::wstring net = UniqueName(L"short");
    Peer peer(net);
    RawClient c(net, 0x19, 0x1);
    LONG mark = Mark();
    canIfOpenReqMsg open = {RIBEX_REQ_IF_OPEN, RIBEX_CLIENT_MAJOR_VERSION, 3, {c.high, c.low}, {}};
    for (DWORD i = 0; i < RIBEX_NET_NAME_MAX; ++i) open.netName[i] = L'N';
    ASSERT_TRUE(Send(&open, sizeof(open)));
    // The right name, but cut before its terminator; and no name at all.
    wcsncpy(open.netName, net.c_str(), RIBEX_NET_NAME_MAX);
    ASSERT_TRUE(Send(&open, 20 + 2 * (DWORD)(net.size() - 1)));
    ASSERT_TRUE(Send(&open, 16));
    Sync();
    EXPECT_EQ(Silence(c), kNone);
    EXPECT_FALSE(NetExists(net));
    EXPECT_TRUE(Traced(mark, "netName has no terminator"));

    ASSERT_TRUE(Open(&c));
    mark = Mark();
    Req(c, RIBEX_REQ_ENABLE_REM_FRAME, c.ref, 0x66, 20);  // no length field
    Req(c, RIBEX_REQ_IF_CLOSE, c.ref, 0, 12);             // no low word
    Req(c, RIBEX_REQ_ENUM_REM_FRAME, c.ref, 0, 4);
    Sync();
    EXPECT_EQ(Silence(c), kNone);
    EXPECT_TRUE(
        Traced(mark, "receivedLength < sizeof( layout ), msgReq.id == 0xc, receivedLength == 20"));
    EXPECT_TRUE(
        Traced(mark, "receivedLength < sizeof( layout ), msgReq.id == 0x4, receivedLength == 12"));
    // Still open and served.
    Req(c, RIBEX_REQ_IF_CLOSE, c.ref);
    EXPECT_EQ(Answer(c, RIBEX_CFM_STATUS), 0u);
}

// A server of its own ends while a client is still registered, its
// objects still there: the shutdown frees the net and the exit code is 0.
TEST(RibexWireServerEnd, TheServerEndsWithExitCodeZeroAndTearsDownWhatIsStillOpen) {
    Server server;
    ASSERT_TRUE(StartServer(&server));
    std::wstring net = UniqueName(L"left");
    Peer peer(net);
    RawClient c(net, 0x6, 0x1);
    ASSERT_TRUE(Open(&c, server));
    ASSERT_TRUE(NetExists(net));
    EXPECT_EQ(StopServer(&server, 15000), 0u);
    EXPECT_FALSE(NetExists(net));
}

}  // namespace
