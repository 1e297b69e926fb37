// The receive thread against the virtual CAN driver: version check,
// configuration from the service key, read errors, both sources merged,
// remote-frame identifiers passed to the driver.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "can_driver.h"
#include "msgq.h"
#include "receive_harness.h"
#include "trace_ring.h"
#include "wait_until.h"
#include "vcan_control.h"

using namespace receive_test;
using namespace server_test;

namespace {

// The receive thread's events and details (its tries to open a device that
// went away) go to the trace ring.
::testing::Environment *const kTraceRing = ::testing::AddGlobalTestEnvironment(new TraceRing(
    L"3000 1024", {{L"ribex_receive_device_test.exe::CanReadThread", L"0xC"}}));

RxMsg Frame(uint32_t id, uint32_t length = 1) {
    RxMsg msg = {};
    msg.can.id = id;
    msg.length = length;
    return msg;
}

// A private instance of the driver, so that versions, queue sizes and the
// service key values of one test never reach another suite.
class DevicePath : public ::testing::Test {
  protected:
    std::wstring service_ = L"rxrcv" + std::to_wstring(GetCurrentProcessId());
    std::wstring device_ = L"RXR" + std::to_wstring(GetCurrentProcessId()) + L"_";
    TestNet net_;
    HANDLE hBus_ = INVALID_HANDLE_VALUE;

    void SetUp() override {
        VcanUninstallService(service_.c_str());  // left over by a crashed run
        ASSERT_TRUE(VcanInstallService(service_.c_str(), device_.c_str(), 2, nullptr))
            << GetLastError();
        device_ += L"1";
    }
    void TearDown() override {
        Close();
        EXPECT_TRUE(VcanUninstallService(service_.c_str())) << GetLastError();
    }
    void Start() { ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError(); }
    void Set(const wchar_t *name, DWORD value) {
        ASSERT_TRUE(VcanSetServiceValue(service_.c_str(), name, value)) << GetLastError();
    }
    // Opens the net and a second handle on its bus to write with.
    void OpenNet() {
        ASSERT_EQ(0u, StartTestNet(device_, &net_));
        hBus_ = VcanOpenDevice(device_.c_str());
        ASSERT_NE(INVALID_HANDLE_VALUE, hBus_);
    }
    void Write(const std::vector<RxMsg> &frames) {
        ASSERT_TRUE(VcanWriteFrames(hBus_, frames.data(), (DWORD)frames.size())) << GetLastError();
    }
    void Close() {
        if (net_.net) {
            EXPECT_EQ(0u, StopTestNet(&net_));
        }
        if (hBus_ != INVALID_HANDLE_VALUE) CloseHandle(hBus_);
        hBus_ = INVALID_HANDLE_VALUE;
    }
    bool Request(DWORD req) { return RequestNetThread(net_.net, req, 0, nullptr, "Test") != FALSE; }
};

TEST_F(DevicePath, DriverMajorVersion3Or7FailsTheNetWith1306And5IsAccepted) {
    Start();
    for (DWORD major : {3u, 7u, 5u}) {
        Set(L"MajorVersion", major);
        ASSERT_TRUE(VcanStopService(service_.c_str()));
        Start();
        EXPECT_EQ(major == 5 ? 0u : (DWORD)ERROR_REVISION_MISMATCH, StartTestNet(device_, &net_))
            << major;
        Close();
    }
}

TEST_F(DevicePath, ServiceKeySetsTheBatchSizeAndRaisesButNeverLowersThePriority) {
    Start();
    struct {
        const wchar_t *text;  // NoMsgPerRead as REG_SZ when set, else as the DWORD value
        DWORD value, framesPerRead, prioAsked;
    } cases[] = {{L"16", 0, 2, HIGH_PRIORITY_CLASS},
                 {nullptr, 4, 4, IDLE_PRIORITY_CLASS},
                 {nullptr, 0, 1, 5},
                 {nullptr, 1000, 246, NORMAL_PRIORITY_CLASS}};
    for (const auto &c : cases) {
        if (c.text) {
            ASSERT_TRUE(VcanSetServiceString(service_.c_str(), L"NoMsgPerRead", c.text));
        }
        if (!c.text) Set(L"NoMsgPerRead", c.value);
        Set(L"RxProcPrio", c.prioAsked);
        OpenNet();
        EXPECT_EQ((DWORD)HIGH_PRIORITY_CLASS, currentPriorityClass) << c.prioAsked;
        EXPECT_EQ((DWORD)HIGH_PRIORITY_CLASS, GetPriorityClass(GetCurrentProcess())) << c.prioAsked;
        std::vector<RxMsg> frames;
        for (DWORD i = 0; i < 10; i++) frames.push_back(Frame(0x10 + i, i % 9));
        Write(frames);
        auto entries = TakeEntries(&net_, 10);
        ASSERT_EQ(10u, entries.size());
        for (DWORD i = 0; i < 10; i++) {
            EXPECT_EQ(0x10 + i, entries[i].msg.can.id);
            EXPECT_EQ(i % 9, entries[i].msg.length);
            EXPECT_EQ(0u, entries[i].errorCode + entries[i].uniqueId.high);
            EXPECT_NE(0u, entries[i].msg.timeStamp);  // the driver's clock
        }
        // The next read asks for exactly the slots it marked.
        DWORD marked = 0;
        while (10 + marked < 256 && net_.pRxBuffer->seqNo[10 + marked] == 1) marked++;
        EXPECT_EQ(c.framesPerRead, marked) << c.value;
        EXPECT_EQ(0u, net_.pRxBuffer->header.noRxMsgs);  // device frames are not counted
        Close();  // closing a net never lowers the class either
    }
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
}

TEST_F(DevicePath, AReadErrorIsOneEntry) {
    // A queue of 2 frames and reads of 1: a burst of 10 overflows the
    // server's queue, and its next read reports the loss once.
    Set(L"QueueFrames", 2);
    Set(L"NoMsgPerRead", 1);
    Start();
    OpenNet();
    std::vector<RxMsg> burst;
    for (DWORD i = 0; i < 10; i++) burst.push_back(Frame(0x20 + i));
    Write(burst);
    auto entries = TakeEntries(&net_, 4);
    ASSERT_EQ(4u, entries.size());
    const DWORD codes[4] = {0, 1117, 0, 0}, ids[4] = {0x20, 0, 0x21, 0x22};
    for (DWORD i = 0; i < 4; i++) {
        EXPECT_EQ(codes[i], entries[i].errorCode) << i;
        EXPECT_EQ(ids[i], entries[i].msg.can.id) << i;
    }
    // One entry per failure, no more: the next frame follows at once.
    Write({Frame(0x2F)});
    entries = TakeEntries(&net_, 1);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0x2Fu, entries[0].msg.can.id);
}

// The thread's tries to open a device that went away, as its trace shows
// them: the pause before each next try, in ms.
std::vector<DWORD> ReopenPauses() {
    const std::string head =
        "ribex::CanReadThread, hDevice == INVALID_HANDLE_VALUE, errorCode == ";
    std::vector<DWORD> pauses;
    for (const std::string &line : TraceLines()) {
        if (line.compare(0, head.size(), head) != 0) continue;
        size_t at = line.find("next try in ");
        if (at != std::string::npos) pauses.push_back(strtoul(line.c_str() + at + 12, nullptr, 10));
    }
    return pauses;
}

// Waits until the thread has tried at least `tries` more opens than
// before; the pauses so far.
std::vector<DWORD> WaitForReopenTries(size_t before, size_t tries) {
    std::vector<DWORD> pauses;
    ribex_test::WaitUntil(
        [&] {
            pauses = ReopenPauses();
            return pauses.size() >= before + tries;
        },
        30000, 20);
    return pauses;
}

TEST_F(DevicePath, ADeviceThatWentAwayIsOpenedAgainWithItsRemoteIdsAndTwoEntriesSayWhen) {
    Start();
    OpenNet();
    ASSERT_TRUE(Request(CAN_THREAD_REALLOC_REMREPLIES));
    net_.net->threadParam.pRemote->reply[0] = {0x42, {0x123}};
    net_.net->threadParam.pRemote->noReplies = 1;
    ASSERT_TRUE(Request(CAN_THREAD_ENABLE_REMREPLY)) << GetLastError();
    Write({Frame(0x1)});
    ASSERT_EQ(1u, TakeEntries(&net_, 1).size());

    size_t triesBefore = ReopenPauses().size();
    ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
    auto entries = TakeEntries(&net_, 1, 20000);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(1617u, entries[0].errorCode);  // the waiting read learns that the driver went
    // Tries to open it again, and none of them publishes anything;
    // requests are served meanwhile (with no device to pass them to).
    std::vector<DWORD> pauses = WaitForReopenTries(triesBefore, 4);
    ASSERT_GE(pauses.size(), triesBefore + 4);
    EXPECT_TRUE(TakeAvailable(&net_).empty());
    ASSERT_TRUE(Request(CAN_THREAD_ENABLE_REMREPLY)) << GetLastError();
    EXPECT_EQ(1u, net_.pRxBuffer->header.currSeqNo);  // no lap of error entries

    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    entries = TakeEntries(&net_, 1, 20000);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ((DWORD)RX_ERROR_DEVICE_BACK, entries[0].errorCode);
    EXPECT_NE(0u, entries[0].msg.timeStamp);  // stamped by the driver's clock
    EXPECT_EQ(0u, entries[0].uniqueId.high);
    // The pause grows from try to try and never passes 1 s.
    pauses = ReopenPauses();
    for (size_t i = triesBefore; i < pauses.size(); i++) {
        EXPECT_LE(pauses[i], 1000u) << i;
        if (i > triesBefore) {
            EXPECT_GE(pauses[i], pauses[i - 1]) << i;
        }
    }
    EXPECT_GT(pauses.back(), pauses[triesBefore]);

    // The bus reaches the net again, and the driver answers for 0x123 on
    // the new handle without being asked twice.
    CloseHandle(hBus_);
    hBus_ = VcanOpenDevice(device_.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, hBus_);
    Write({Frame(0x80000123, 0), Frame(0x2)});
    entries = TakeEntries(&net_, 2);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(0x80000123u, entries[0].msg.can.id);
    EXPECT_EQ(0x2u, entries[1].msg.can.id);
    EXPECT_EQ(0u, entries[0].errorCode + entries[1].errorCode);
}

TEST_F(DevicePath, ANetWhoseDeviceWentAwayClosesAtOnce) {
    Start();
    OpenNet();
    size_t triesBefore = ReopenPauses().size();
    ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
    auto entries = TakeEntries(&net_, 1, 20000);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(1617u, entries[0].errorCode);
    // Once the pauses between tries have grown near 1 s, CAN_THREAD_EXIT
    // still ends the thread well inside one: it waits for requests too.
    std::vector<DWORD> pauses;
    ribex_test::WaitUntil(
        [&] {
            pauses = ReopenPauses();
            return pauses.size() > triesBefore && pauses.back() >= 800;
        },
        30000, 20);
    ASSERT_GT(pauses.size(), triesBefore);
    ASSERT_GE(pauses.back(), 800u);
    EXPECT_EQ(0u, StopTestNet(&net_, 700));
}

TEST_F(DevicePath, TheSimulatedPeerOfANetKeepsFeedingItWhileItsDeviceIsAway) {
    Start();
    MsgQHandle hSim = MsgQCreate(device_.c_str(), 64, 32, MSGQ_NAMED);
    ASSERT_NE(nullptr, hSim);
    OpenNet();
    ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
    auto entries = TakeEntries(&net_, 1, 20000);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(1617u, entries[0].errorCode);
    for (DWORD i = 0; i < 5; i++) {
        SimCanMsg m = {0xBB, i, Frame(0x600 + i, 2)};
        ASSERT_TRUE(MsgQSend(hSim, &m, sizeof(m), 2000));
    }
    entries = TakeEntries(&net_, 5);
    ASSERT_EQ(5u, entries.size());
    for (DWORD i = 0; i < 5; i++) {
        EXPECT_EQ(0x600 + i, entries[i].msg.can.id);
        EXPECT_EQ(0xBBu, entries[i].uniqueId.high);
        EXPECT_EQ(0u, entries[i].errorCode);
    }
    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    entries = TakeEntries(&net_, 1, 20000);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ((DWORD)RX_ERROR_DEVICE_BACK, entries[0].errorCode);
    CloseHandle(hBus_);
    hBus_ = VcanOpenDevice(device_.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, hBus_);
    Write({Frame(0x3)});
    entries = TakeEntries(&net_, 1);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0x3u, entries[0].msg.can.id);
    EXPECT_EQ(0u, entries[0].uniqueId.high);
    Close();
    MsgQClose(hSim);
}

// The receive thread's own handle of the device: the vcan handle of this
// process that is not the test's bus handle.
HANDLE FindThreadDeviceHandle(HANDLE hBus) {
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        VcanCounters counters = {};
        if (h == hBus || !GetHandleInformation(h, &flags) || GetFileType(h) == FILE_TYPE_PIPE)
            continue;
        if (GetFileType(h) != FILE_TYPE_UNKNOWN && GetFileType(h) != FILE_TYPE_CHAR) continue;
        if (VcanGetCounters(h, &counters) && counters.openHandles == 2) return h;
    }
    return nullptr;
}

TEST_F(DevicePath, ReadsThatWaitedAndThenFailedAreNeverPaced) {
    Start();
    OpenNet();
    HANDLE hThreadDevice = FindThreadDeviceHandle(hBus_);
    ASSERT_NE(nullptr, hThreadDevice);
    // A client event: the thread wakes its clients only after it has
    // issued the next read, or, paced, without one (10 ms doubling to 1 s
    // from the second failure on).
    HANDLE hWake = CreateEventW(nullptr, FALSE, FALSE, nullptr), hThreadCopy = nullptr;
    ASSERT_NE(nullptr, hWake);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), hWake, GetCurrentProcess(), &hThreadCopy, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(AddClient(&net_, 0x1, 0x2, hThreadCopy)) << GetLastError();
    VcanCounters counters = {};
    ribex_test::WaitUntil(
        [&] { return VcanGetCounters(hThreadDevice, &counters) && counters.pendingReads == 1; },
        20000, 1);
    ASSERT_EQ(1u, counters.pendingReads);
    // Each failure hits a read that was waiting: the next read is out by
    // the time the clients are woken, every time.
    for (DWORD k = 0; k < 20; k++) {
        ASSERT_TRUE(VcanFailNextRead(hThreadDevice, ERROR_CRC)) << GetLastError();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hWake, 20000)) << k;
        ASSERT_TRUE(VcanGetCounters(hThreadDevice, &counters)) << GetLastError();
        EXPECT_EQ(1u, counters.pendingReads) << "the thread paced a read that had waited, " << k;
        auto entries = TakeEntries(&net_, 1);
        ASSERT_EQ(1u, entries.size()) << k;
        EXPECT_EQ((DWORD)ERROR_CRC, entries[0].errorCode) << k;
    }
    CloseHandle(hWake);
    // And frames still flow at once after them.
    Write({Frame(0x77)});
    auto entries = TakeEntries(&net_, 1);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0x77u, entries[0].msg.can.id);
}

TEST_F(DevicePath, EnableAndDisableReachTheDriver) {
    Start();
    OpenNet();
    ASSERT_TRUE(Request(CAN_THREAD_REALLOC_REMREPLIES));
    net_.net->threadParam.pRemote->reply[0] = {0x42, {0x123}};
    net_.net->threadParam.pRemote->noReplies = 1;
    struct {
        DWORD req;  // 0: none
        bool remotePasses;
    } steps[] = {
        {0, false}, {CAN_THREAD_ENABLE_REMREPLY, true}, {CAN_THREAD_DISABLE_REMREPLY, false}};
    for (DWORD i = 0; i < 3; i++) {
        if (steps[i].req) {
            ASSERT_TRUE(Request(steps[i].req)) << GetLastError();
        }
        Write({Frame(0x80000123, 0), Frame(i)});
        auto entries = TakeEntries(&net_, steps[i].remotePasses ? 2 : 1);
        ASSERT_EQ(steps[i].remotePasses ? 2u : 1u, entries.size()) << i;
        if (steps[i].remotePasses) {
            EXPECT_EQ(0x80000123u, entries[0].msg.can.id);
        }
        EXPECT_EQ(i, entries.back().msg.can.id);
    }
    // The driver refuses to disable what is not enabled: confirmed with its
    // code, and the thread runs on.
    EXPECT_FALSE(Request(CAN_THREAD_DISABLE_REMREPLY));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    Write({Frame(0x4)});
    EXPECT_EQ(1u, TakeEntries(&net_, 1).size());
}

TEST_F(DevicePath, BothSourcesMergeAndABatchPastTheRingsEndIsSplit) {
    Set(L"NoMsgPerRead", 16);
    Start();
    MsgQHandle hSim = MsgQCreate(device_.c_str(), 256, 32, MSGQ_NAMED);
    ASSERT_NE(nullptr, hSim);
    OpenNet();
    Write({Frame(0x1), Frame(0x2), Frame(0x3)});
    ASSERT_EQ(3u, TakeEntries(&net_, 3).size());
    // Simulated frames move head while the device read waits.
    for (DWORD i = 0; i < 247; i++) {
        SimCanMsg m = {0xAA, i, Frame(0x500 + i, 2)};
        ASSERT_TRUE(MsgQSend(hSim, &m, sizeof(m), 2000));
    }
    auto entries = TakeEntries(&net_, 247);
    ASSERT_EQ(247u, entries.size());
    EXPECT_EQ(250u, net_.pRxBuffer->header.head);
    for (DWORD i = 0; i < 247; i++) {
        EXPECT_EQ(0xAAu, entries[i].uniqueId.high);
        EXPECT_EQ(0x500 + i, entries[i].msg.can.id);
        EXPECT_NE(0u, entries[i].msg.timeStamp);  // the driver's clock stamps them too
    }
    // 16 device frames complete the waiting read with only 6 slots left.
    std::vector<RxMsg> batch;
    for (DWORD i = 0; i < 16; i++) batch.push_back(Frame(0x100 + i));
    Write(batch);
    entries = TakeEntries(&net_, 16);
    ASSERT_EQ(16u, entries.size());
    for (DWORD i = 0; i < 16; i++) {
        EXPECT_EQ((250 + i) % 256, entries[i].slot);
        EXPECT_EQ(0x100 + i, entries[i].msg.can.id);
        EXPECT_EQ(0u, entries[i].uniqueId.high);
        EXPECT_EQ(i < 6 ? 1u : 2u, entries[i].seqNo);
    }
    EXPECT_EQ(2u, net_.pRxBuffer->header.currSeqNo);
    EXPECT_EQ(247u, net_.pRxBuffer->header.noRxMsgs);
    Close();
    MsgQClose(hSim);
}

}  // namespace
