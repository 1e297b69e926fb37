// Requests sent byte by byte, as a careless or hostile client could: wrong
// versions, missing or full reply queues, references the server never
// handed out, names without terminator, requests cut short. The server
// answers what deserves an answer, drops the rest with a trace line, and
// goes on serving.
#include <gtest/gtest.h>

#include <string.h>

#include "registry_e2e.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "test_names.h"

using namespace registry_e2e;
using ribex_test::UniqueName;

namespace {

Server g_server;
TraceRing g_trace;

// A client made by hand: reply queue (room for one confirm) and wake-up
// event under the names the server derives from the net and the id.
struct RawClient {
    std::wstring net;
    DWORD high = 0, low = 0;
    MsgQHandle hReply = nullptr;
    HANDLE hEvent = nullptr;
    DWORD ref = 0;
};

bool MakeRawClient(const std::wstring &net, DWORD high, DWORD low, RawClient *c, bool withReplyQueue = true) {
    c->net = net;
    c->high = high;
    c->low = low;
    if (withReplyQueue) {
        c->hReply = CreateMsgQ(net.c_str(), high, low, 12);
        if (c->hReply == nullptr) return false;
    }
    wchar_t *name = CreateUniqueName(net.c_str(), high, low, L"EVT");
    c->hEvent = CreateEventW(nullptr, FALSE, FALSE, name);
    HeapFree(GetProcessHeap(), 0, name);
    return c->hEvent != nullptr;
}

void FreeRawClient(RawClient *c) {
    if (c->hReply) MsgQClose(c->hReply);
    if (c->hEvent) CloseHandle(c->hEvent);
    c->hReply = nullptr;
    c->hEvent = nullptr;
}

bool Send(const void *request, DWORD length) { return MsgQSend(g_server.hQueue, request, length, 5000) != FALSE; }

bool SendOpen(const RawClient &c, DWORD major = RIBEX_CLIENT_MAJOR_VERSION) {
    canIfOpenReqMsg req = {};
    req.id = RIBEX_REQ_IF_OPEN;
    req.majorVersion = major;
    req.minorVersion = 3;
    req.uniqueId.high = c.high;
    req.uniqueId.low = c.low;
    wcsncpy(req.netName, c.net.c_str(), RIBEX_NET_NAME_MAX - 1);
    return Send(&req, sizeof(req));
}

// The next confirm on the client's reply queue: its length, 0 when none
// came within timeoutMs.
DWORD Receive(const RawClient &c, msgCfm *cfm, DWORD timeoutMs) {
    DWORD length = 0;
    memset(cfm, 0, sizeof(*cfm));
    if (!MsgQReceive(c.hReply, cfm, sizeof(*cfm), &length, timeoutMs)) return 0;
    return length;
}

bool Open(RawClient *c) {
    msgCfm cfm;
    if (!SendOpen(*c) || Receive(*c, &cfm, 10000) != RIBEX_IF_OPEN_CFM_SIZE) return false;
    if (cfm.id != RIBEX_CFM_IF_OPEN || cfm.canIfOpenCfm.errorCode != 0) return false;
    c->ref = cfm.canIfOpenCfm.hMsgQRef;
    return c->ref != 0;
}

void SendEnum(const RawClient &c, DWORD ref, DWORD index) {
    canEnumRemFrameReqMsg req = {RIBEX_REQ_ENUM_REM_FRAME, ref, {c.high, c.low}, index};
    ASSERT_TRUE(Send(&req, sizeof(req)));
}

void SendEnable(const RawClient &c, DWORD ref, DWORD canId, DWORD length = sizeof(canEnableRemFrameReqMsg)) {
    canEnableRemFrameReqMsg req = {RIBEX_REQ_ENABLE_REM_FRAME, ref, {c.high, c.low}, {canId}, 0};
    ASSERT_TRUE(Send(&req, length));
}

void SendDisable(const RawClient &c, DWORD ref, DWORD canId) {
    canDisableRemFrameReqMsg req = {RIBEX_REQ_DISABLE_REM_FRAME, ref, {c.high, c.low}, canId};
    ASSERT_TRUE(Send(&req, sizeof(req)));
}

void SendClose(const RawClient &c, DWORD ref, DWORD length = sizeof(canIfCloseReqMsg)) {
    canIfCloseReqMsg req = {RIBEX_REQ_IF_CLOSE, ref, {c.high, c.low}};
    ASSERT_TRUE(Send(&req, length));
}

// Requests are served in arrival order: once the sync client's confirm is
// back, everything sent before it has been handled.
class RibexWire : public ::testing::Test {
  protected:
    static RawClient sync;
    static std::wstring syncNet;
    static MsgQHandle hSyncPeer;

    static void SetUpTestSuite() {
        SetEnvironmentVariableW(L"TRACESIZE", L"2048 240");
        SetEnvironmentVariableW(L"ribex.exe", L"0");
        SetEnvironmentVariableW(L"ribex.exe::main", L"4");
        SetEnvironmentVariableW(L"ribex.exe::UnRegisterRibexClient", L"0xC");
        ASSERT_TRUE(OpenTraceRing(&g_trace));
        ASSERT_TRUE(StartServer(&g_server));
        syncNet = UniqueName(L"sync");
        hSyncPeer = CreatePeer(syncNet);
        ASSERT_NE(hSyncPeer, nullptr);
        ASSERT_TRUE(MakeRawClient(syncNet, 0x5, 0x1, &sync));
        ASSERT_TRUE(Open(&sync));
    }

    void SetUp() override { ASSERT_TRUE(ServerRunning(&g_server)); }

    // Also proves the server alive and serving.
    static void Sync() {
        SendEnum(sync, sync.ref, 0);
        msgCfm cfm;
        ASSERT_EQ(Receive(sync, &cfm, 10000), RIBEX_ENUM_REM_FRAME_CFM_SIZE);
        EXPECT_EQ(cfm.id, RIBEX_CFM_ENUM_REM_FRAME);
        EXPECT_EQ(cfm.canEnumRemFrameCfm.errorCode, (uint32_t)ERROR_NO_MORE_ITEMS);
    }

    static bool NetExists(const std::wstring &net) {
        HANDLE h = nullptr;
        const RxBufferLayout *p = MapRxBuffer(net, &h);
        if (p == nullptr) return false;
        UnmapViewOfFile(p);
        CloseHandle(h);
        return true;
    }
};

RawClient RibexWire::sync;
std::wstring RibexWire::syncNet;
MsgQHandle RibexWire::hSyncPeer = nullptr;

TEST_F(RibexWire, AnOpenWithAnotherMajorVersionIsAnsweredWith1306AndLeavesTheReplyQueueUsable) {
    std::wstring net = UniqueName(L"v5");
    MsgQHandle hPeer = CreatePeer(net);
    RawClient c;
    ASSERT_TRUE(MakeRawClient(net, 0x15, 0x1, &c));
    ASSERT_TRUE(SendOpen(c, 5));
    msgCfm cfm;
    // The operator notice comes first; a fresh Wine may take seconds to
    // show (and, headless, dismiss) the first message box.
    ASSERT_EQ(Receive(c, &cfm, 60000), RIBEX_IF_OPEN_CFM_SIZE);
    EXPECT_EQ(cfm.id, RIBEX_CFM_IF_OPEN);
    EXPECT_EQ(cfm.canIfOpenCfm.errorCode, (uint32_t)ERROR_REVISION_MISMATCH);
    DWORD ref = cfm.canIfOpenCfm.hMsgQRef;
    EXPECT_NE(ref, 0u);
    EXPECT_FALSE(NetExists(net));

    // The reference still reaches the queue: the client is simply unknown.
    SendEnum(c, ref, 0);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_ENUM_REM_FRAME_CFM_SIZE);
    EXPECT_EQ(cfm.canEnumRemFrameCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);
    SendClose(c, ref);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.id, RIBEX_CFM_STATUS);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);

    // Closed means closed: the old reference is not served again.
    LONG mark = TraceMark(&g_trace);
    SendEnum(c, ref, 0);
    Sync();
    EXPECT_EQ(Receive(c, &cfm, 200), 0u);
    EXPECT_TRUE(TraceContains(&g_trace, mark, "LookupMsgQRef"));
    FreeRawClient(&c);
    MsgQClose(hPeer);
}

TEST_F(RibexWire, AnOpenBeforeTheReplyQueueExistsGetsNoAnswerAndChangesNothing) {
    std::wstring net = UniqueName(L"noq");
    MsgQHandle hPeer = CreatePeer(net);
    RawClient c;
    ASSERT_TRUE(MakeRawClient(net, 0x16, 0x1, &c, false));
    LONG mark = TraceMark(&g_trace);
    ASSERT_TRUE(SendOpen(c));
    Sync();
    EXPECT_FALSE(NetExists(net));
    EXPECT_TRUE(TraceContains(&g_trace, mark, "OpenMsgQ( ... )) == 0, errorCode == 1460"));

    // Once the queue is there the same client opens normally.
    c.hReply = CreateMsgQ(net.c_str(), c.high, c.low, 12);
    ASSERT_NE(c.hReply, nullptr);
    ASSERT_TRUE(Open(&c));
    EXPECT_TRUE(NetExists(net));
    SendClose(c, c.ref);
    msgCfm cfm;
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, 0u);
    FreeRawClient(&c);
    MsgQClose(hPeer);
}

TEST_F(RibexWire, AnOpenConfirmLostToAFullReplyQueueUndoesTheRegistration) {
    std::wstring net = UniqueName(L"full");
    MsgQHandle hPeer = CreatePeer(net);
    // Another id is registered on the same net: the undo must take back
    // the new entry only, and the net must live on for the other client.
    RawClient other, c;
    ASSERT_TRUE(MakeRawClient(net, 0x17, 0x2, &other));
    ASSERT_TRUE(Open(&other));
    ASSERT_TRUE(MakeRawClient(net, 0x17, 0x1, &c));
    const char filler[12] = "occupied";
    ASSERT_TRUE(MsgQSend(c.hReply, filler, sizeof(filler), 0));
    LONG mark = TraceMark(&g_trace);
    ASSERT_TRUE(SendOpen(c));
    Sync();
    EXPECT_TRUE(TraceContains(&g_trace, mark, "!MsgQSend( ... ), errorCode == 1460"));
    // The undo took the new entry out and left the other client alone.
    EXPECT_TRUE(TraceContains(&g_trace, mark,
                              "ribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->\n\tnoEvents == 1\n"
                              "\t\t0x17:0x2\n\t\t0x"));

    char got[12];
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(c.hReply, got, sizeof(got), &length, 0));
    EXPECT_EQ(memcmp(got, filler, sizeof(filler)), 0);
    EXPECT_FALSE(MsgQReceive(c.hReply, got, sizeof(got), &length, 200));

    // The lost client is not registered: through the other client's
    // reference, the server does not know it.
    msgCfm cfm;
    SendEnable(c, other.ref, 0x321);
    ASSERT_EQ(Receive(other, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(NetExists(net));
    SendClose(other, other.ref);
    ASSERT_EQ(Receive(other, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, 0u);
    EXPECT_FALSE(NetExists(net));
    FreeRawClient(&c);
    FreeRawClient(&other);
    MsgQClose(hPeer);
}

TEST_F(RibexWire, ReferencesTheServerNeverIssuedAreIgnoredAndTheClientStaysRegistered) {
    std::wstring net = UniqueName(L"forge");
    MsgQHandle hPeer = CreatePeer(net);
    RawClient c;
    ASSERT_TRUE(MakeRawClient(net, 0x18, 0x1, &c));
    ASSERT_TRUE(Open(&c));
    LONG mark = TraceMark(&g_trace);
    const DWORD forged[] = {0, 0x7777, c.ref + 1000, 0xFFFFFFFF};
    for (DWORD ref : forged) {
        SendEnum(c, ref, 0);
        SendEnable(c, ref, 0x55);
        SendDisable(c, ref, 0x55);
        SendClose(c, ref);
    }
    Sync();
    msgCfm cfm;
    EXPECT_EQ(Receive(c, &cfm, 200), 0u);
    EXPECT_TRUE(TraceContains(&g_trace, mark, "LookupMsgQRef( 0x7777 )) == NULL"));
    // Nothing was acted upon: 0x55 is not enabled and the client is still open.
    SendEnable(c, c.ref, 0x55);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, 0u);
    SendClose(c, c.ref);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, 0u);
    FreeRawClient(&c);
    MsgQClose(hPeer);
}

TEST_F(RibexWire, UnterminatedNamesAndShortRequestsAreDroppedWithATraceLine) {
    std::wstring net = UniqueName(L"short");
    MsgQHandle hPeer = CreatePeer(net);
    RawClient c;
    ASSERT_TRUE(MakeRawClient(net, 0x19, 0x1, &c));
    LONG mark = TraceMark(&g_trace);

    canIfOpenReqMsg open = {};
    open.id = RIBEX_REQ_IF_OPEN;
    open.majorVersion = RIBEX_CLIENT_MAJOR_VERSION;
    open.uniqueId.high = c.high;
    open.uniqueId.low = c.low;
    for (DWORD i = 0; i < RIBEX_NET_NAME_MAX; ++i) open.netName[i] = L'N';
    ASSERT_TRUE(Send(&open, sizeof(open)));
    // The right name, but cut before its terminator.
    wcsncpy(open.netName, net.c_str(), RIBEX_NET_NAME_MAX);
    ASSERT_TRUE(Send(&open, 20 + 2 * (DWORD)(net.size() - 1)));
    ASSERT_TRUE(Send(&open, 16));
    Sync();
    msgCfm cfm;
    EXPECT_EQ(Receive(c, &cfm, 200), 0u);
    EXPECT_FALSE(NetExists(net));
    EXPECT_TRUE(TraceContains(&g_trace, mark, "netName has no terminator"));

    ASSERT_TRUE(Open(&c));
    mark = TraceMark(&g_trace);
    SendEnable(c, c.ref, 0x66, 20);  // no length field
    SendClose(c, c.ref, 12);         // no low word
    canEnumRemFrameReqMsg shortEnum = {RIBEX_REQ_ENUM_REM_FRAME, c.ref, {c.high, c.low}, 0};
    ASSERT_TRUE(Send(&shortEnum, 4));
    Sync();
    EXPECT_EQ(Receive(c, &cfm, 200), 0u);
    EXPECT_TRUE(TraceContains(&g_trace, mark, "receivedLength < sizeof( layout ), msgReq.id == 0xc, receivedLength == 20"));
    EXPECT_TRUE(TraceContains(&g_trace, mark, "receivedLength < sizeof( layout ), msgReq.id == 0x4, receivedLength == 12"));
    // Still open and served.
    SendEnum(c, c.ref, 0);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_ENUM_REM_FRAME_CFM_SIZE);
    EXPECT_EQ(cfm.canEnumRemFrameCfm.errorCode, (uint32_t)ERROR_NO_MORE_ITEMS);
    SendClose(c, c.ref);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, 0u);
    FreeRawClient(&c);
    MsgQClose(hPeer);
}

TEST_F(RibexWire, RequestsForAnUnknownUniqueIdAreAnsweredWith6AndCloseRetiresTheReference) {
    std::wstring net = UniqueName(L"unk");
    MsgQHandle hPeer = CreatePeer(net);
    RawClient c, stranger;
    ASSERT_TRUE(MakeRawClient(net, 0x1a, 0x1, &c));
    ASSERT_TRUE(Open(&c));
    stranger.high = 0x1a;
    stranger.low = 0x99;
    msgCfm cfm;
    SendEnable(stranger, c.ref, 0x10);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);
    SendDisable(stranger, c.ref, 0x10);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);
    SendEnum(stranger, c.ref, 0);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_ENUM_REM_FRAME_CFM_SIZE);
    EXPECT_EQ(cfm.id, RIBEX_CFM_ENUM_REM_FRAME);
    EXPECT_EQ(cfm.canEnumRemFrameCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);
    // A close for an unknown id is answered and closes the reply queue all
    // the same; the real client is left registered.
    SendClose(stranger, c.ref);
    ASSERT_EQ(Receive(c, &cfm, 10000), RIBEX_STATUS_CFM_SIZE);
    EXPECT_EQ(cfm.canStatusCfm.errorCode, (uint32_t)ERROR_INVALID_HANDLE);
    SendEnum(c, c.ref, 0);
    Sync();
    EXPECT_EQ(Receive(c, &cfm, 200), 0u);
    EXPECT_TRUE(NetExists(net));
    // Disable-all for a value owning nothing: no change, no answer.
    canDisableAllRemFrameReqMsg all = {RIBEX_REQ_DISABLE_ALL_REM_FRAME, 0xdead};
    ASSERT_TRUE(Send(&all, sizeof(all)));
    Sync();
    EXPECT_EQ(Receive(c, &cfm, 200), 0u);
    FreeRawClient(&c);
    MsgQClose(hPeer);
}

TEST_F(RibexWire, ZTheServerEndsWithExitCodeZeroAndTearsDownWhatIsStillOpen) {
    // The sync client is still registered: the shutdown must free its net.
    ASSERT_TRUE(NetExists(syncNet));
    FreeRawClient(&sync);
    EXPECT_EQ(StopServer(&g_server, 15000), 0u);
    MsgQClose(hSyncPeer);
    TraceRelease(g_trace.module);
}

}  // namespace
