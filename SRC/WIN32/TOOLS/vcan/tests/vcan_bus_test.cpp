// The virtual bus: fan-out to the other handles of a device, whole
// records, pending reads, device isolation, the remote-frame rule, bounded
// queues that report their losses, injected read errors.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "vcan_test_util.h"

using namespace vcan_test;

namespace {

constexpr const wchar_t *DEVICE = L"VCAN2";
constexpr const wchar_t *OTHER_DEVICE = L"VCAN3";

uint64_t DriverTime(HANDLE h)
{
    uint64_t stamp = 0;
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, &stamp, 8, &n, nullptr));
    return stamp;
}

std::vector<RxMsg> ReadNow(HANDLE h, DWORD maxFrames)
{
    std::vector<RxMsg> frames(maxFrames);
    DWORD n = 0;
    EXPECT_TRUE(VcanReadFrames(h, frames.data(), maxFrames, &n, 2000)) << GetLastError();
    frames.resize(n);
    return frames;
}

// A write that another handle's read does not see stays invisible: its
// queue is empty and a read waits.
void ExpectNothingQueued(HANDLE h)
{
    VcanCounters c = Counters(h);
    EXPECT_EQ(0u, c.queued);
    EXPECT_EQ(0u, c.received);
    RxMsg frame;
    DWORD n = 0;
    EXPECT_FALSE(VcanReadFrames(h, &frame, 1, &n, 50));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
}

TEST(VcanBus, WriteReachesEveryOtherHandleStampedOnArrival)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE)), c(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid() && c.valid());
    RxMsg frames[3] = {Frame(0x100, 8, 0x10), Frame(0x1ABCDEF0, 3, 0x20), Frame(0x7FF, 0, 0x30)};
    for (RxMsg &f : frames) f.timeStamp = 0xDEADBEEFull;  // not ours to choose
    uint64_t before = DriverTime(a.get());
    ASSERT_TRUE(VcanWriteFrames(a.get(), frames, 3)) << GetLastError();
    uint64_t after = DriverTime(a.get());

    for (HANDLE h : {b.get(), c.get()}) {
        std::vector<RxMsg> got = ReadNow(h, 16);
        ASSERT_EQ(3u, got.size());
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(frames[i].can.id, got[i].can.id);
            EXPECT_EQ(frames[i].length, got[i].length);
            EXPECT_EQ(0, memcmp(frames[i].can.data, got[i].can.data, 8));
            EXPECT_GE(got[i].timeStamp, before);
            EXPECT_LE(got[i].timeStamp, after);
        }
    }
    EXPECT_EQ(3u, Counters(a.get()).written);
    ExpectNothingQueued(a.get());
}

TEST(VcanBus, ReadsTakeWholeRecordsUpToTheSizeAsked)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid());
    RxMsg frames[5];
    for (int i = 0; i < 5; i++) frames[i] = Frame(0x200 + i, 1, (uint8_t)i);
    ASSERT_TRUE(VcanWriteFrames(a.get(), frames, 5));

    // 2.5 records of room: two whole records.
    uint8_t buffer[24 * 2 + 12];
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = ReadFile(b.get(), buffer, sizeof(buffer), &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(b.get(), &ov, &bytes, TRUE);
    EXPECT_TRUE(ok);
    EXPECT_EQ(48u, bytes);

    // Less than one record is no read at all.
    ResetEvent(ov.hEvent);
    ok = ReadFile(b.get(), buffer, 23, &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(b.get(), &ov, &bytes, TRUE);
    EXPECT_FALSE(ok);
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(ov.hEvent);

    std::vector<RxMsg> rest = ReadNow(b.get(), 16);
    ASSERT_EQ(3u, rest.size()) << "a read completes with what is queued, not with what it asked";
    EXPECT_EQ(0x202u, rest[0].can.id);
    EXPECT_EQ(0x204u, rest[2].can.id);
}

TEST(VcanBus, WritesOfPartRecordsOrLongFramesPutNothingOnTheBus)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid());
    RxMsg frames[2] = {Frame(0x300, 8, 0), Frame(0x301, 9, 0)};
    EXPECT_FALSE(VcanWriteFrames(a.get(), frames, 2)) << "length 9 cannot be a CAN frame";
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = WriteFile(a.get(), frames, 25, &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(a.get(), &ov, &bytes, TRUE);
    EXPECT_FALSE(ok);
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(ov.hEvent);
    ExpectNothingQueued(b.get());
}

TEST(VcanBus, PendingReadIsCompletedByAnotherProcessWrite)
{
    Handle b(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(b.valid());
    PendingRead read;
    ASSERT_TRUE(read.Start(b.get())) << read.startError;
    EXPECT_FALSE(read.Done(50));
    EXPECT_EQ(1u, Counters(b.get()).pendingReads);

    DWORD exitCode = ribex_test::RunProgram(L"vcan_test_helper", std::wstring(L"write ") + DEVICE + L" 321 1", 10000);
    EXPECT_EQ(0u, exitCode);
    ASSERT_TRUE(read.Done(5000));
    DWORD n = 0;
    EXPECT_EQ(0u, read.Result(&n));
    ASSERT_EQ(1u, n);
    EXPECT_EQ(0x321u, read.frames[0].can.id);
    EXPECT_EQ(0u, Counters(b.get()).pendingReads);
}

TEST(VcanBus, FramesKeepTheirOrderAcrossPendingReads)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid());
    PendingRead first, second;
    ASSERT_TRUE(first.Start(b.get(), 2));
    ASSERT_TRUE(second.Start(b.get(), 16));
    RxMsg frames[5];
    for (int i = 0; i < 5; i++) frames[i] = Frame(0x400 + i, 0, 0);
    ASSERT_TRUE(VcanWriteFrames(a.get(), frames, 5));
    ASSERT_TRUE(first.Done(2000) && second.Done(2000));
    DWORD n1 = 0, n2 = 0;
    EXPECT_EQ(0u, first.Result(&n1));
    EXPECT_EQ(0u, second.Result(&n2));
    ASSERT_EQ(2u, n1) << "the older read is served first";
    ASSERT_EQ(3u, n2);
    EXPECT_EQ(0x400u, first.frames[0].can.id);
    EXPECT_EQ(0x402u, second.frames[0].can.id);
}

TEST(VcanBus, DevicesAreSeparateBuses)
{
    Handle onOther(VcanOpenDevice(OTHER_DEVICE)), otherPeer(VcanOpenDevice(OTHER_DEVICE));
    Handle here(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(onOther.valid() && otherPeer.valid() && here.valid());
    EXPECT_TRUE(WaitForOpenHandles(here.get(), 1, 5000)) << "handles of another device do not count here";
    PendingRead read;
    ASSERT_TRUE(read.Start(here.get()));
    RxMsg f = Frame(0x555, 2, 0);
    ASSERT_TRUE(VcanWriteFrames(onOther.get(), &f, 1));
    EXPECT_EQ(1u, ReadNow(otherPeer.get(), 16).size());
    EXPECT_FALSE(read.Done(100)) << "a frame on " << "VCAN3 reached VCAN2";
    EXPECT_EQ(0u, Counters(here.get()).received);
}

TEST(VcanBus, RemoteFrameReachesOnlyHandlesThatEnabledItsId)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE)), c(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid() && c.valid());
    RxMsg remote = Frame(0x123u | RX_REMOTE_FRAME_FLAG, 0, 0);
    RxMsg data = Frame(0x123, 1, 0);

    ASSERT_TRUE(VcanWriteFrames(a.get(), &remote, 1));
    ExpectNothingQueued(b.get());

    DWORD n = 0;
    uint32_t id = 0x123;
    ASSERT_TRUE(DeviceIoControl(b.get(), IOCTL_CAN_ENABLE_REMREPLY, &id, 4, nullptr, 0, &n, nullptr));
    RxMsg both[2] = {remote, data};
    ASSERT_TRUE(VcanWriteFrames(a.get(), both, 2));
    std::vector<RxMsg> atB = ReadNow(b.get(), 16);
    ASSERT_EQ(2u, atB.size());
    EXPECT_EQ(0x123u | RX_REMOTE_FRAME_FLAG, atB[0].can.id) << "the flag stays on the frame";
    std::vector<RxMsg> atC = ReadNow(c.get(), 16);
    ASSERT_EQ(1u, atC.size()) << "c enabled nothing: data frames only";
    EXPECT_EQ(0x123u, atC[0].can.id);

    RxMsg otherRemote = Frame(0x124u | RX_REMOTE_FRAME_FLAG, 0, 0);
    ASSERT_TRUE(VcanWriteFrames(a.get(), &otherRemote, 1));
    ASSERT_TRUE(DeviceIoControl(b.get(), IOCTL_CAN_DISABLE_REMREPLY, &id, 4, nullptr, 0, &n, nullptr));
    ASSERT_TRUE(VcanWriteFrames(a.get(), &remote, 1));
    EXPECT_EQ(2u, Counters(b.get()).received) << "neither another id nor a disabled one gets through";
}

TEST(VcanBus, OverflowIsReportedOnceThenTheOldestFramesFollow)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid());
    const uint32_t capacity = Counters(b.get()).capacity;
    ASSERT_GE(capacity, 2u);
    std::vector<RxMsg> frames(capacity + 5);
    for (uint32_t i = 0; i < frames.size(); i++) {
        frames[i] = Frame(0x500, 4, 0);
        memcpy(frames[i].can.data, &i, 4);
    }
    ASSERT_TRUE(VcanWriteFrames(a.get(), frames.data(), (DWORD)frames.size()));
    VcanCounters c = Counters(b.get());
    EXPECT_EQ(capacity, c.queued);
    EXPECT_EQ(5u, c.lost);

    RxMsg one;
    DWORD n = 0;
    EXPECT_FALSE(VcanReadFrames(b.get(), &one, 1, &n, 2000));
    EXPECT_EQ(VCAN_ERROR_OVERFLOW, GetLastError());

    uint32_t expected = 0;
    std::vector<RxMsg> chunk(256);
    while (expected < capacity) {
        ASSERT_TRUE(VcanReadFrames(b.get(), chunk.data(), 256, &n, 2000)) << "the error is reported once";
        for (DWORD i = 0; i < n; i++, expected++) {
            uint32_t index;
            memcpy(&index, chunk[i].can.data, 4);
            ASSERT_EQ(expected, index) << "the queued frames are the oldest, in order";
        }
    }
    EXPECT_FALSE(VcanReadFrames(b.get(), &one, 1, &n, 50));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());

    // A later loss is reported again.
    ASSERT_TRUE(VcanWriteFrames(a.get(), frames.data(), (DWORD)frames.size()));
    EXPECT_FALSE(VcanReadFrames(b.get(), &one, 1, &n, 2000));
    EXPECT_EQ(VCAN_ERROR_OVERFLOW, GetLastError());
    c = Counters(b.get());
    EXPECT_EQ(10u, c.lost);
    EXPECT_EQ((uint64_t)capacity, c.delivered);
}

TEST(VcanBus, InjectedErrorFailsTheNextReadOnlyEvenAPendingOne)
{
    Handle a(VcanOpenDevice(DEVICE)), b(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid() && b.valid());
    RxMsg f = Frame(0x600, 1, 0);
    ASSERT_TRUE(VcanWriteFrames(a.get(), &f, 1));
    ASSERT_TRUE(VcanFailNextRead(b.get(), ERROR_CRC));
    RxMsg got[4];
    DWORD n = 0;
    EXPECT_FALSE(VcanReadFrames(b.get(), got, 4, &n, 2000));
    EXPECT_EQ((DWORD)ERROR_CRC, GetLastError());
    ASSERT_TRUE(VcanReadFrames(b.get(), got, 4, &n, 2000)) << "the queued frame survives the error";
    EXPECT_EQ(1u, n);

    PendingRead read;
    ASSERT_TRUE(read.Start(b.get()));
    ASSERT_TRUE(VcanFailNextRead(b.get(), ERROR_GEN_FAILURE));
    ASSERT_TRUE(read.Done(2000)) << "a waiting read is the next read";
    EXPECT_EQ((DWORD)ERROR_GEN_FAILURE, read.Result(&n));
}

}  // namespace
