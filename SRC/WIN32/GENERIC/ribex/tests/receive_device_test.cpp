// The receive thread against the virtual CAN driver: version check,
// configuration from the service key, device batches, read errors, both
// sources merged, remote-frame identifiers passed to the driver.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "can_driver.h"
#include "msgq.h"
#include "receive_harness.h"
#include "vcan_control.h"

using namespace receive_test;

namespace {

std::wstring Hex(DWORD v) {
    wchar_t text[16];
    swprintf(text, 16, L"%lx", static_cast<unsigned long>(v));
    return text;
}

RxMsg Frame(uint32_t id, uint32_t length = 1) {
    RxMsg msg = {};
    msg.can.id = id;
    msg.length = length;
    for (int i = 0; i < 8; i++) msg.can.data[i] = static_cast<uint8_t>(id + i);
    return msg;
}

// A private instance of the driver, so that versions, queue sizes and the
// service key values of one test never reach another suite.
class DevicePath : public ::testing::Test {
  protected:
    std::wstring service_ = L"rxrcv" + Hex(GetCurrentProcessId());
    std::wstring prefix_ = L"RXR" + Hex(GetCurrentProcessId()) + L"_";
    TestNet net_;
    HANDLE hPeer_ = INVALID_HANDLE_VALUE;

    std::wstring Device(int i) const { return prefix_ + std::to_wstring(i); }

    void SetUp() override {
        VcanUninstallService(service_.c_str());  // left over by a crashed run
        ASSERT_TRUE(VcanInstallService(service_.c_str(), prefix_.c_str(), 2, nullptr))
            << GetLastError();
    }
    void TearDown() override {
        if (net_.net) StopTestNet(&net_);
        if (hPeer_ != INVALID_HANDLE_VALUE) CloseHandle(hPeer_);
        EXPECT_TRUE(VcanUninstallService(service_.c_str())) << GetLastError();
    }
    void Start() { ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError(); }
    void Restart() {
        ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
        Start();
    }
    void Set(const wchar_t *name, DWORD value) {
        ASSERT_TRUE(VcanSetServiceValue(service_.c_str(), name, value)) << GetLastError();
    }
    // Opens the net on device i and a second handle on its bus to write with.
    void OpenNet(int i) {
        ASSERT_EQ(StartTestNet(Device(i), &net_), 0u);
        hPeer_ = VcanOpenDevice(Device(i).c_str());
        ASSERT_NE(hPeer_, INVALID_HANDLE_VALUE);
    }
    void Write(const std::vector<RxMsg> &frames) {
        ASSERT_TRUE(VcanWriteFrames(hPeer_, frames.data(), static_cast<DWORD>(frames.size())))
            << GetLastError();
    }
    void Close() {
        EXPECT_EQ(StopTestNet(&net_), 0u);
        CloseHandle(hPeer_);
        hPeer_ = INVALID_HANDLE_VALUE;
    }
    // Slots from `from` on that carry the current lap before being written.
    DWORD MarkedFrom(DWORD from) {
        DWORD n = 0;
        while (from + n < RX_BUFFER_NO_ENTRIES && net_.pRxBuffer->seqNo[from + n] == 1) n++;
        return n;
    }
};

TEST_F(DevicePath, DriverMajorVersion3Or7FailsTheNetWith1306And5IsAccepted) {
    Start();
    for (DWORD major : {3u, 7u, 5u}) {
        Set(L"MajorVersion", major);
        Restart();
        DWORD error = StartTestNet(Device(1), &net_);
        EXPECT_EQ(error, major == 5 ? 0u : (DWORD)ERROR_REVISION_MISMATCH) << major;
        if (error == 0) {
            EXPECT_EQ(StopTestNet(&net_), 0u);
        }
    }
}

TEST_F(DevicePath, NoMsgPerReadFromTheServiceKeySetsTheBatchSize) {
    Start();
    struct {
        const wchar_t *text;  // REG_SZ when set, else the DWORD below
        DWORD value;
        bool present;
        DWORD framesPerRead;
    } cases[] = {
        {nullptr, 0, false, 2},  {L"16", 0, false, 2}, {nullptr, 4, true, 4},
        {nullptr, 0, true, 1},   {nullptr, 1000, true, 246},
    };
    for (const auto &c : cases) {
        VcanDeleteServiceValue(service_.c_str(), L"NoMsgPerRead");
        if (c.text) {
            ASSERT_TRUE(VcanSetServiceString(service_.c_str(), L"NoMsgPerRead", c.text));
        }
        if (c.present) Set(L"NoMsgPerRead", c.value);
        OpenNet(1);
        std::vector<RxMsg> frames;
        for (DWORD i = 0; i < 10; i++) frames.push_back(Frame(0x10 + i, i % 9));
        Write(frames);
        auto entries = TakeEntries(&net_, 10);
        ASSERT_EQ(entries.size(), 10u);
        for (DWORD i = 0; i < 10; i++) {
            EXPECT_EQ(entries[i].errorCode, 0u);
            EXPECT_EQ(entries[i].msg.can.id, 0x10 + i);
            EXPECT_EQ(entries[i].msg.length, i % 9);
            EXPECT_EQ(entries[i].uniqueId.high, 0u);
            EXPECT_EQ(entries[i].uniqueId.low, 0u);
            EXPECT_NE(entries[i].msg.timeStamp, 0u);  // the driver's clock
        }
        // The next read asks for exactly the frames it marked.
        EXPECT_EQ(MarkedFrom(10), c.framesPerRead) << c.value;
        EXPECT_EQ(net_.pRxBuffer->header.noRxMsgs, 0u);  // device frames are not counted
        Close();
    }
}

TEST_F(DevicePath, RxProcPrioRaisesButNeverLowersTheProcessClass) {
    Start();
    struct {
        DWORD asked, expected;
    } steps[] = {{HIGH_PRIORITY_CLASS, HIGH_PRIORITY_CLASS},
                 {NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS},
                 {5, HIGH_PRIORITY_CLASS},
                 {IDLE_PRIORITY_CLASS, HIGH_PRIORITY_CLASS}};
    for (const auto &s : steps) {
        Set(L"RxProcPrio", s.asked);
        OpenNet(1);
        EXPECT_EQ(currentPriorityClass, s.expected) << s.asked;
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), s.expected) << s.asked;
        Close();  // closing a net never lowers the class
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), s.expected);
    }
    Set(L"RxProcPrio", REALTIME_PRIORITY_CLASS);
    OpenNet(1);
    // Where the system grants it, the class goes up; otherwise nothing changes.
    DWORD now = GetPriorityClass(GetCurrentProcess());
    EXPECT_EQ(currentPriorityClass, now);
    EXPECT_TRUE(now == REALTIME_PRIORITY_CLASS || now == HIGH_PRIORITY_CLASS) << now;
    Close();
    VcanDeleteServiceValue(service_.c_str(), L"RxProcPrio");
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
}

TEST_F(DevicePath, AReadErrorIsOneErrorEntryAndReadingGoesOn) {
    // A queue of 2 frames and reads of 1: a burst of 10 overflows the
    // server's queue, and its next read reports the loss once.
    Set(L"QueueFrames", 2);
    Set(L"NoMsgPerRead", 1);
    Start();
    OpenNet(1);
    std::vector<RxMsg> burst;
    for (DWORD i = 0; i < 10; i++) burst.push_back(Frame(0x20 + i));
    Write(burst);
    auto entries = TakeEntries(&net_, 4);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].errorCode, 0u);
    EXPECT_EQ(entries[0].msg.can.id, 0x20u);
    EXPECT_EQ(entries[1].errorCode, 1117u);
    EXPECT_EQ(entries[1].msg.can.id, 0u);
    EXPECT_EQ(entries[1].msg.length, 0u);
    EXPECT_EQ(entries[1].uniqueId.high, 0u);
    EXPECT_EQ(entries[2].errorCode, 0u);
    EXPECT_EQ(entries[2].msg.can.id, 0x21u);
    EXPECT_EQ(entries[3].msg.can.id, 0x22u);
    Sleep(200);
    EXPECT_TRUE(TakeAvailable(&net_).empty());  // one entry per failure, no more
    Write({Frame(0x30)});
    entries = TakeEntries(&net_, 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].msg.can.id, 0x30u);
}

TEST_F(DevicePath, ADeviceThatKeepsFailingIsPacedAndRequestsAreStillServed) {
    Start();
    OpenNet(1);
    Write({Frame(0x40)});
    ASSERT_EQ(TakeEntries(&net_, 1).size(), 1u);
    // The driver goes away under the open handle: every read fails at once.
    ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
    Sleep(1500);
    ASSERT_TRUE(RequestNetThread(net_.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"))
        << GetLastError();
    auto entries = TakeAvailable(&net_);
    // Unpaced, the thread would have lapped the ring many times by now.
    EXPECT_EQ(net_.pRxBuffer->header.currSeqNo, 1u);
    EXPECT_GE(entries.size(), 3u);
    EXPECT_LE(entries.size(), 60u);
    // The waiting read learns that the driver is gone; later reads on the
    // orphaned handle fail with whatever the system says (Wine: 5).
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].errorCode, 1617u);
    for (const RingEntry &e : entries) EXPECT_NE(e.errorCode, 0u);
    printf("%zu error entries in 1.5 s of a failing device\n", entries.size());
    EXPECT_EQ(StopTestNet(&net_), 0u);
}

TEST_F(DevicePath, EnableAndDisableReachTheDriver) {
    Start();
    OpenNet(1);
    ASSERT_TRUE(RequestNetThread(net_.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"));
    RemReplyTable *pRemote = net_.net->threadParam.pRemote;
    pRemote->reply[0] = {0x42, {0x123}};
    pRemote->noReplies = 1;
    auto remoteThen = [&](DWORD dataId) {
        Write({Frame(0x80000123, 0), Frame(dataId)});
        return TakeEntries(&net_, dataId == 0x2 ? 2 : 1);
    };
    auto entries = remoteThen(0x1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].msg.can.id, 0x1u);  // not enabled: the driver kept it back

    ASSERT_TRUE(RequestNetThread(net_.net, CAN_THREAD_ENABLE_REMREPLY, 0, nullptr, "Test"))
        << GetLastError();
    entries = remoteThen(0x2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].msg.can.id, 0x80000123u);
    EXPECT_EQ(entries[1].msg.can.id, 0x2u);

    ASSERT_TRUE(RequestNetThread(net_.net, CAN_THREAD_DISABLE_REMREPLY, 0, nullptr, "Test"));
    entries = remoteThen(0x3);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].msg.can.id, 0x3u);

    // The driver refuses to disable what is not enabled: confirmed with its
    // code, and the thread runs on.
    EXPECT_FALSE(RequestNetThread(net_.net, CAN_THREAD_DISABLE_REMREPLY, 0, nullptr, "Test"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    Write({Frame(0x4)});
    EXPECT_EQ(TakeEntries(&net_, 1).size(), 1u);
}

TEST_F(DevicePath, BothSourcesMergeAndABatchPastTheRingsEndIsSplit) {
    Set(L"NoMsgPerRead", 16);
    Start();
    std::wstring net = Device(2);
    MsgQHandle hSim = MsgQCreate(net.c_str(), 256, 32, MSGQ_NAMED);
    ASSERT_NE(hSim, nullptr);
    auto sendSim = [&](DWORD id) {
        SimCanMsg m = {};
        m.uniqueIdHigh = 0xAA;
        m.uniqueIdLow = id;
        m.frame.can.id = id;
        m.frame.length = 2;
        return MsgQSend(hSim, &m, sizeof(m), 2000) != FALSE;
    };
    OpenNet(2);
    Write({Frame(0x1), Frame(0x2), Frame(0x3)});
    auto entries = TakeEntries(&net_, 3);
    ASSERT_EQ(entries.size(), 3u);
    for (const RingEntry &e : entries) EXPECT_EQ(e.uniqueId.high, 0u);
    // Simulated frames move head while the device read waits.
    for (DWORD i = 0; i < 247; i++) ASSERT_TRUE(sendSim(0x500 + i));
    entries = TakeEntries(&net_, 247);
    ASSERT_EQ(entries.size(), 247u);
    EXPECT_EQ(net_.pRxBuffer->header.head, 250u);
    for (DWORD i = 0; i < 247; i++) {
        EXPECT_EQ(entries[i].uniqueId.high, 0xAAu);
        EXPECT_EQ(entries[i].msg.can.id, 0x500 + i);
        EXPECT_NE(entries[i].msg.timeStamp, 0u);  // the driver's clock stamps them too
    }
    // 16 device frames complete the waiting read with only 6 slots left.
    std::vector<RxMsg> batch;
    for (DWORD i = 0; i < 16; i++) batch.push_back(Frame(0x100 + i));
    Write(batch);
    entries = TakeEntries(&net_, 16);
    ASSERT_EQ(entries.size(), 16u);
    for (DWORD i = 0; i < 16; i++) {
        EXPECT_EQ(entries[i].slot, (250 + i) % 256);
        EXPECT_EQ(entries[i].msg.can.id, 0x100 + i);
        EXPECT_EQ(entries[i].uniqueId.high, 0u);
        EXPECT_EQ(entries[i].seqNo, i < 6 ? 1u : 2u);
    }
    EXPECT_EQ(net_.pRxBuffer->header.currSeqNo, 2u);
    EXPECT_EQ(net_.pRxBuffer->header.noRxMsgs, 247u);
    Close();
    MsgQClose(hSim);
}

}  // namespace
