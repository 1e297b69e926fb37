// The driver's service key and life cycle, on services of this test's own
// (so that restarting them disturbs nobody): device names and count, the
// version override, queue size, unloading with handles open and reads
// pending, and install cycles that leave nothing behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vcan_test_util.h"

using namespace vcan_test;

namespace {

std::wstring Hex(DWORD v)
{
    wchar_t text[16];
    swprintf(text, 16, L"%lx", (unsigned long)v);
    return text;
}

uint32_t MajorVersion(HANDLE h)
{
    uint8_t block[256];
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_CAN_GET_PROPERTIES, nullptr, 0, block, sizeof(block), &n, nullptr));
    return reinterpret_cast<CanDrvProperties *>(block)->majorVersion;
}

class VcanService : public ::testing::Test {
  protected:
    std::wstring service_ = L"vcant" + Hex(GetCurrentProcessId());
    std::wstring prefix_ = L"VT" + Hex(GetCurrentProcessId()) + L"_";

    std::wstring Device(int i) const { return prefix_ + std::to_wstring(i); }

    void SetUp() override
    {
        VcanUninstallService(service_.c_str());  // left over by a crashed run
        ASSERT_TRUE(VcanInstallService(service_.c_str(), prefix_.c_str(), 2, nullptr)) << GetLastError();
    }
    void TearDown() override { EXPECT_TRUE(VcanUninstallService(service_.c_str())) << GetLastError(); }

    void Restart()
    {
        ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
        ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    }
};

TEST_F(VcanService, DeviceCountAndPrefixNameTheDevices)
{
    ASSERT_TRUE(VcanSetServiceValue(service_.c_str(), L"DeviceCount", 3));
    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    for (int i = 1; i <= 3; i++) {
        Handle h(VcanOpenDevice(Device(i).c_str()));
        EXPECT_TRUE(h.valid()) << i;
    }
    Handle fourth(VcanOpenDevice(Device(4).c_str()));
    EXPECT_FALSE(fourth.valid());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(VcanService, MajorVersionComesFromTheServiceKey)
{
    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    {
        Handle h(VcanOpenDevice(Device(1).c_str()));
        ASSERT_TRUE(h.valid());
        EXPECT_EQ(6u, MajorVersion(h.get()));
    }
    for (DWORD version : {3u, 5u, 7u}) {
        ASSERT_TRUE(VcanSetServiceValue(service_.c_str(), L"MajorVersion", version));
        Restart();
        Handle h(VcanOpenDevice(Device(1).c_str()));
        ASSERT_TRUE(h.valid());
        EXPECT_EQ(version, MajorVersion(h.get()));
    }
    // A value of the wrong type is ignored.
    ASSERT_TRUE(VcanSetServiceString(service_.c_str(), L"MajorVersion", L"5"));
    Restart();
    Handle h(VcanOpenDevice(Device(2).c_str()));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(6u, MajorVersion(h.get()));
}

TEST_F(VcanService, QueueFramesBoundsEveryHandleQueue)
{
    ASSERT_TRUE(VcanSetServiceValue(service_.c_str(), L"QueueFrames", 8));
    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    Handle a(VcanOpenDevice(Device(1).c_str())), b(VcanOpenDevice(Device(1).c_str()));
    ASSERT_TRUE(a.valid() && b.valid());
    EXPECT_EQ(8u, Counters(b.get()).capacity);
    RxMsg frames[10];
    for (int i = 0; i < 10; i++) frames[i] = Frame(0x10 + i, 0, 0);
    ASSERT_TRUE(VcanWriteFrames(a.get(), frames, 10));
    VcanCounters c = Counters(b.get());
    EXPECT_EQ(8u, c.queued);
    EXPECT_EQ(2u, c.lost);
}

TEST_F(VcanService, StoppingWithHandlesOpenEndsTheirReadsAndLoadsAgain)
{
    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    Handle a(VcanOpenDevice(Device(1).c_str())), b(VcanOpenDevice(Device(1).c_str()));
    ASSERT_TRUE(a.valid() && b.valid());
    PendingRead read;
    ASSERT_TRUE(read.Start(b.get()));

    ASSERT_TRUE(VcanStopService(service_.c_str())) << GetLastError();
    ASSERT_TRUE(read.Done(5000)) << "a read must not wait for a driver that is gone";
    DWORD n = 0;
    EXPECT_EQ(VCAN_ERROR_UNLOADED, read.Result(&n));
    RxMsg f = Frame(0x1, 0, 0);
    EXPECT_FALSE(VcanWriteFrames(a.get(), &f, 1)) << "handles of the old driver lead nowhere";
    Handle gone(VcanOpenDevice(Device(1).c_str()));
    EXPECT_FALSE(gone.valid());
    a.Close();
    b.Close();

    ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    Handle c(VcanOpenDevice(Device(1).c_str())), d(VcanOpenDevice(Device(1).c_str()));
    ASSERT_TRUE(c.valid() && d.valid());
    ASSERT_TRUE(VcanWriteFrames(c.get(), &f, 1));
    RxMsg got;
    ASSERT_TRUE(VcanReadFrames(d.get(), &got, 1, &n, 2000));
    EXPECT_TRUE(WaitForOpenHandles(d.get(), 2, 5000)) << "nothing of the first load is left";
}

TEST_F(VcanService, InstallCyclesLeaveNothingBehind)
{
    for (int cycle = 0; cycle < 3; cycle++) {
        ASSERT_TRUE(VcanStartService(service_.c_str())) << cycle << " " << GetLastError();
        Handle a(VcanOpenDevice(Device(2).c_str())), b(VcanOpenDevice(Device(2).c_str()));
        ASSERT_TRUE(a.valid() && b.valid());
        PendingRead read;
        ASSERT_TRUE(read.Start(b.get()));
        read.hDevice = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(VcanUninstallService(service_.c_str())) << GetLastError();
        EXPECT_TRUE(read.Done(5000));

        HKEY key;
        std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + service_;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key));
        Handle gone(VcanOpenDevice(Device(2).c_str()));
        EXPECT_FALSE(gone.valid());
        ASSERT_TRUE(VcanInstallService(service_.c_str(), prefix_.c_str(), 2, nullptr)) << GetLastError();
    }
}

}  // namespace
