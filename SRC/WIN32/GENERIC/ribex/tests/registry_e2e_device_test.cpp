// A device net on the virtual CAN driver: frames put on the bus reach
// every client of the net, and remote frames reach them only while an
// identifier is enabled, because the server passes the identifiers on to
// the driver.
#include <gtest/gtest.h>

#include "registry_e2e.h"
#include "test_names.h"
#include "wait_until.h"
#include "vcan_control.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::UniqueName;

namespace {

// Devices VCAN5..VCAN8 of the fixture are left to other suites; this one
// takes VCAN7.
const wchar_t kDeviceNet[] = L"VCAN7";

Server g_server;

class RibexDevice : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartServer(&g_server)); }
    // The suite's server ends by itself once no client holds its queue.
    static void TearDownTestSuite() { EXPECT_EQ(StopServer(&g_server, 15000), 0u); }
    void SetUp() override {
        ASSERT_TRUE(ServerRunning(&g_server));
        hBus = CreateFileW(L"\\\\.\\VCAN7", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(hBus, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    }
    void TearDown() override {
        if (hBus != INVALID_HANDLE_VALUE) CloseHandle(hBus);
    }
    void Put(DWORD canId, DWORD length = 2) {
        RxMsg msg = {};
        msg.length = length;
        msg.can.id = canId;
        msg.can.data[0] = (uint8_t)canId;
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(hBus, &msg, sizeof(msg), &written, nullptr))
            << "error " << GetLastError();
        ASSERT_EQ(written, sizeof(msg));
    }
    HANDLE hBus = INVALID_HANDLE_VALUE;
};

TEST_F(RibexDevice, BusFramesReachEveryClientAndRemoteFramesOnlyWhileEnabled) {
    std::wstring q = QueueArg(g_server) + L"open " + kDeviceNet;
    std::wstring ready = UniqueName(L"dr"), readyB = UniqueName(L"drb"),
                 enabled = UniqueName(L"de"), disabled = UniqueName(L"dd"), s1 = UniqueName(L"d1"),
                 s2 = UniqueName(L"d2"), s3 = UniqueName(L"d3");
    ChildProcess a, b;
    ASSERT_TRUE(StartClient(q + L" signal " + ready + L" wait " + s1 +
                                L" readids 3 5000 enable 123 signal " + enabled + L" wait " + s2 +
                                L" readids 1 5000 disable 123 signal " + disabled + L" wait " + s3 +
                                L" readids 1 5000 close",
                            &a));
    ASSERT_TRUE(WaitEvent(ready));
    ASSERT_TRUE(StartClient(q + L" signal " + readyB + L" readids 5 8000 close", &b));
    ASSERT_TRUE(WaitEvent(readyB));

    Put(0x100);
    Put(0x80000123, 0);  // not enabled yet: the driver keeps it from the server
    Put(0x101);
    Put(0x1F334455);
    SignalEvent(s1);
    ASSERT_TRUE(WaitEvent(enabled));
    Put(0x80000123, 0);
    SignalEvent(s2);
    ASSERT_TRUE(WaitEvent(disabled));
    Put(0x80000123, 0);
    Put(0x102);
    SignalEvent(s3);

    using Lines = std::vector<std::string>;
    EXPECT_EQ(FinishClient(&a), Lines({"open 0", "ids 100 101 1f334455", "enable 0", "ids 80000123",
                                       "disable 0", "ids 102", "close 0"}));
    EXPECT_EQ(FinishClient(&b), Lines({"open 0", "ids 100 101 1f334455 80000123 102", "close 0"}));
}

TEST_F(RibexDevice, AKilledClientsRemoteFrameRepliesLeaveTheServerAndTheDriver) {
    using Lines = std::vector<std::string>;
    std::wstring q = QueueArg(g_server), ready = UniqueName(L"dk"), readyW = UniqueName(L"dw");
    std::wstring readyK = UniqueName(L"dkr"), goK = UniqueName(L"dkg");
    ChildProcess keeper, victim, watcher;
    // The keeper holds the net (and the server's device handle) open
    // throughout: the driver must hear of the removal, not of a closed handle.
    ASSERT_TRUE(StartClient(
        q + L"id 31:1 open " + kDeviceNet + L" signal " + readyK + L" wait " + goK + L" close",
        &keeper));
    ASSERT_TRUE(WaitEvent(readyK));
    ASSERT_TRUE(StartClient(q + L"id 2f:1 open " + kDeviceNet + L" enable 124 signal " + ready +
                                L" wait " + UniqueName(L"never"),
                            &victim));
    ASSERT_TRUE(WaitEvent(ready));
    ribex_test::KillChild(&victim);
    ribex_test::ReleaseChild(&victim);
    // Once the server has noticed, the net's table no longer holds 0x124.
    Lines listed;
    ribex_test::WaitUntil(
        [&] {
            listed = RunClient(q + L"id 30:1 open " + kDeviceNet + L" list close");
            return listed == Lines({"open 0", "list", "list end 259", "close 0"});
        },
        20000, 200);
    EXPECT_EQ(listed, Lines({"open 0", "list", "list end 259", "close 0"}));
    // Nor does the driver pass remote frames 0x124 on any more.
    ASSERT_TRUE(StartClient(
        q + L"id 30:2 open " + kDeviceNet + L" signal " + readyW + L" readids 2 3000 close",
        &watcher));
    ASSERT_TRUE(WaitEvent(readyW));
    Put(0x80000124, 0);
    Put(0x103);
    EXPECT_EQ(FinishClient(&watcher), Lines({"open 0", "ids 103", "close 0"}));
    // The identifier is free for the restarted program.
    EXPECT_EQ(RunClient(q + L"id 2f:1 open " + kDeviceNet + L" enable 124 close"),
              Lines({"open 0", "enable 0", "close 0"}));
    SignalEvent(goK);
    EXPECT_EQ(FinishClient(&keeper), Lines({"open 0", "close 0"}));
}

// Server and driver agree on what an identifier is: both keep it exactly
// as given, and both look a remote frame up by its identifier with bit 31
// cleared, so an entry with bit 31 set is listed and disabled like any
// other but never lets a remote frame through, and disabling it leaves the
// plain identifier enabled.
TEST_F(RibexDevice, AnIdentifierWithBitThirtyOneIsKeptButNeverMatchesOnServerOrDriver) {
    std::wstring q = QueueArg(g_server) + L"open " + kDeviceNet;
    std::wstring ready = UniqueName(L"dbr"), go = UniqueName(L"dbg"), done = UniqueName(L"dbd");
    ChildProcess a;
    ASSERT_TRUE(StartClient(q + L" enable 123 enable 80000123 enable 80000124 disable 80000123"
                                L" list signal " + ready + L" wait " + go +
                                L" readids 2 5000 disable 123 disable 123 list signal " + done +
                                L" close",
                            &a));
    ASSERT_TRUE(WaitEvent(ready));
    Put(0x80000123, 0);  // 123 is still enabled
    Put(0x80000124, 0);  // only 80000124 is: no match
    Put(0x124);
    SignalEvent(go);
    ASSERT_TRUE(WaitEvent(done));
    using Lines = std::vector<std::string>;
    EXPECT_EQ(FinishClient(&a),
              Lines({"open 0", "enable 0", "enable 0", "enable 0", "disable 0", "list 123 80000124",
                     "list end 259", "ids 80000123 124", "disable 0", "disable 1168",
                     "list 80000124", "list end 259", "close 0"}));
}

// A named event held from before the client starts, so that a signal it
// gives while the test is busy stopping or starting the driver is kept.
struct HeldEvent {
    HANDLE h;
    explicit HeldEvent(const std::wstring &name) : h(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
    ~HeldEvent() {
        if (h) CloseHandle(h);
    }
    bool Wait(DWORD timeoutMs = 30000) const {
        return h && WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    }
};

// A private driver instance stopped and started under an open net: the
// client sees one error entry when the device goes and one (1111) when it
// is back, and then the bus again, remote frames of the identifier it had
// enabled included, without reopening anything.
TEST_F(RibexDevice, ADeviceThatGoesAndComesBackIsReadAgainWithItsRemoteFrameIdentifiers) {
    std::wstring service = UniqueName(L"rxgb"), prefix = UniqueName(L"RXGB");
    std::wstring device = prefix + L"1";
    VcanUninstallService(service.c_str());
    ASSERT_TRUE(VcanInstallService(service.c_str(), prefix.c_str(), 1, nullptr)) << GetLastError();
    ASSERT_TRUE(VcanStartService(service.c_str())) << GetLastError();
    std::wstring ready = UniqueName(L"gbr"), gone = UniqueName(L"gbg"), back = UniqueName(L"gbb");
    HeldEvent goneSeen(gone), backSeen(back);
    ChildProcess c;
    bool started = StartClient(QueueArg(g_server) + L"open " + device + L" enable 123 signal " +
                                   ready + L" errors 1 30000 signal " + gone +
                                   L" errors 1 30000 signal " + back + L" readids 2 10000 close",
                               &c);
    bool readied = started && WaitEvent(ready);
    bool stopped = readied && VcanStopService(service.c_str());
    bool sawGone = stopped && goneSeen.Wait();
    bool restarted = sawGone && VcanStartService(service.c_str());
    bool sawBack = restarted && backSeen.Wait();
    HANDLE hBus = sawBack ? VcanOpenDevice(device.c_str()) : INVALID_HANDLE_VALUE;
    if (hBus != INVALID_HANDLE_VALUE) {
        RxMsg frames[2] = {};
        frames[0].can.id = 0x80000123;
        frames[1].can.id = 0x124;
        frames[1].length = 1;
        EXPECT_TRUE(VcanWriteFrames(hBus, frames, 2)) << GetLastError();
        CloseHandle(hBus);
    }
    std::vector<std::string> lines = started ? FinishClient(&c) : std::vector<std::string>();
    EXPECT_TRUE(VcanUninstallService(service.c_str())) << GetLastError();
    ASSERT_TRUE(sawBack) << readied << stopped << sawGone << restarted << " " << GetLastError()
                         << " " << ::testing::PrintToString(lines);
    using Lines = std::vector<std::string>;
    EXPECT_EQ(lines, Lines({"open 0", "enable 0", "errors 1617", "errors 1111", "ids 80000123 124",
                            "close 0"}));
}

// The disable-all of a process visits every net, also one whose device has
// gone away under the server (the driver stopped): with the device away
// nothing holds its entries, they go like the others, and the device that
// comes back is given none of them.
TEST_F(RibexDevice, DisableAllRemovesTheEntriesOfANetWhoseDeviceWentAway) {
    std::wstring service = UniqueName(L"rxda"), prefix = UniqueName(L"RXDA");
    std::wstring device = prefix + L"1", simA = UniqueName(L"dasa"), simB = UniqueName(L"dasb");
    VcanUninstallService(service.c_str());
    ASSERT_TRUE(VcanInstallService(service.c_str(), prefix.c_str(), 1, nullptr)) << GetLastError();
    ASSERT_TRUE(VcanStartService(service.c_str())) << GetLastError();
    Peer peerA(simA), peerB(simB);
    std::wstring ready = UniqueName(L"dar"), go = UniqueName(L"dag");
    ChildProcess c;
    // A net opened before the device net and one after it, whichever order
    // the server keeps its nets in.
    std::wstring back = UniqueName(L"dab");
    HeldEvent backSeen(back);
    std::wstring script =
        QueueArg(g_server) + L"id 7a7a:1 open " + simA + L" enable 20 id 7a7a:2 open " + device +
        L" enable 10 id 7a7a:3 open " + simB + L" enable 30 signal " + ready +
        L" use 1 errors 1 30000 wait " + go +
        L" disableall use 0 list use 1 list use 2 list use 1 errors 1 30000 signal " + back +
        L" readids 1 10000 use 0 close use 1 close use 2 close";
    bool started = StartClient(script, &c);
    bool readied = started && WaitEvent(ready);
    bool stopped = readied && VcanStopService(service.c_str());
    SignalEvent(go);
    bool restarted = stopped && VcanStartService(service.c_str());
    bool sawBack = restarted && backSeen.Wait();
    HANDLE hBus = sawBack ? VcanOpenDevice(device.c_str()) : INVALID_HANDLE_VALUE;
    if (hBus != INVALID_HANDLE_VALUE) {
        RxMsg frames[2] = {};
        frames[0].can.id = 0x80000010;  // no longer enabled anywhere
        frames[1].can.id = 0x11;
        EXPECT_TRUE(VcanWriteFrames(hBus, frames, 2)) << GetLastError();
        CloseHandle(hBus);
    }
    std::vector<std::string> lines = started ? FinishClient(&c) : std::vector<std::string>();
    EXPECT_TRUE(VcanUninstallService(service.c_str())) << GetLastError();
    ASSERT_TRUE(sawBack) << readied << stopped << restarted << " " << GetLastError();
    using Lines = std::vector<std::string>;
    EXPECT_EQ(lines, Lines({"open 0", "enable 0", "open 0", "enable 0", "open 0", "enable 0",
                            "errors 1617", "disableall 0", "list", "list end 259", "list",
                            "list end 259", "list", "list end 259", "errors 1111", "ids 11",
                            "close 0", "close 0", "close 0"}));
}

// A server of its own, whose client opened and closed the device net.
TEST(RibexDeviceServerEnd, TheServerEndsWithExitCodeZeroAfterADeviceNet) {
    Server server;
    ASSERT_TRUE(StartServer(&server));
    EXPECT_EQ(RunClient(QueueArg(server) + L"open " + kDeviceNet + L" close"),
              Lines({"open 0", "close 0"}));
    EXPECT_EQ(StopServer(&server, 15000), 0u);
}

}  // namespace
