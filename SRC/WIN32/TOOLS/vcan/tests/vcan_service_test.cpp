// The driver's service key and life cycle, on a service of this test's own
// (so that restarting it disturbs nobody): device names and count, queue
// size, the version override, unloading with handles open and reads
// pending, and install cycles that leave nothing behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "vcan_test_util.h"

using namespace vcan_test;

namespace {

class VcanService : public ::testing::Test {
  protected:
    std::wstring id_ = std::to_wstring(GetCurrentProcessId());
    std::wstring service_ = L"vcant" + id_, prefix_ = L"VT" + id_ + L"_";
    const wchar_t *svc() const { return service_.c_str(); }
    HANDLE Open(int device) const { return VcanOpenDevice((prefix_ + std::to_wstring(device)).c_str()); }

    void SetUp() override
    {
        VcanUninstallService(svc());  // left over by a crashed run
        ASSERT_TRUE(VcanInstallService(svc(), prefix_.c_str(), 2, nullptr)) << GetLastError();
    }
    void TearDown() override { EXPECT_TRUE(VcanUninstallService(svc())) << GetLastError(); }

    uint32_t MajorVersionAfterRestart()
    {
        EXPECT_TRUE(VcanStopService(svc()) && VcanStartService(svc())) << GetLastError();
        Handle h(Open(1));
        EXPECT_TRUE(h.valid());
        return h.valid() ? reinterpret_cast<const CanDrvProperties *>(Properties(h.get()).data())->majorVersion : 0;
    }
};

TEST_F(VcanService, KeyValuesShapeDevicesQueuesAndVersion)
{
    ASSERT_TRUE(VcanSetServiceValue(svc(), L"DeviceCount", 3));
    ASSERT_TRUE(VcanSetServiceValue(svc(), L"QueueFrames", 8));
    ASSERT_TRUE(VcanStartService(svc())) << GetLastError();
    Handle one(Open(1)), two(Open(2)), three(Open(3)), four(Open(4));
    EXPECT_TRUE(one.valid() && two.valid() && three.valid());
    EXPECT_FALSE(four.valid());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    ASSERT_TRUE(one.valid());
    EXPECT_EQ(8u, Counters(one.get()).capacity);
    std::vector<uint8_t> block = Properties(three.get());
    EXPECT_EQ(service_, ServiceName(block)) << "the block names the key the device came from";
    EXPECT_EQ(6u, reinterpret_cast<const CanDrvProperties *>(block.data())->majorVersion);
    one.Close();
    two.Close();
    three.Close();

    for (DWORD version : {3u, 5u, 7u}) {
        ASSERT_TRUE(VcanSetServiceValue(svc(), L"MajorVersion", version));
        EXPECT_EQ(version, MajorVersionAfterRestart());
    }
    ASSERT_TRUE(VcanSetServiceString(svc(), L"MajorVersion", L"5"));
    EXPECT_EQ(6u, MajorVersionAfterRestart()) << "a value of the wrong type is ignored";
}

TEST_F(VcanService, UnloadEndsPendingReadsAndInstallCyclesLeaveNothingBehind)
{
    RxMsg f = Frame(0x1, 0, 0);
    for (int cycle = 0; cycle < 3; cycle++) {
        ASSERT_TRUE(VcanStartService(svc())) << cycle << " " << GetLastError();
        Handle a(Open(1)), b(Open(1));
        ASSERT_TRUE(a.valid() && b.valid());
        PendingRead read;
        ASSERT_TRUE(read.Start(b.get()));
        ASSERT_TRUE(VcanStopService(svc())) << GetLastError();
        ASSERT_TRUE(read.Done(5000)) << "a read must not wait for a driver that is gone";
        DWORD n = 0;
        EXPECT_EQ(VCAN_ERROR_UNLOADED, read.Result(&n));
        EXPECT_FALSE(VcanWriteFrames(a.get(), &f, 1)) << "handles of the old driver lead nowhere";
        Handle gone(Open(1));
        EXPECT_FALSE(gone.valid());

        // Reinstalled while the old handles are still open.
        ASSERT_TRUE(VcanUninstallService(svc())) << GetLastError();
        HKEY key;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + service_).c_str(),
                                               0, KEY_READ, &key));
        ASSERT_TRUE(VcanInstallService(svc(), prefix_.c_str(), 2, nullptr)) << GetLastError();
    }
    ASSERT_TRUE(VcanStartService(svc())) << GetLastError();
    Handle c(Open(1)), d(Open(1));
    ASSERT_TRUE(c.valid() && d.valid());
    ASSERT_TRUE(VcanWriteFrames(c.get(), &f, 1));
    RxMsg got;
    DWORD n = 0;
    EXPECT_TRUE(VcanReadFrames(d.get(), &got, 1, &n, 2000));
    EXPECT_TRUE(WaitForOpenHandles(d.get(), 2, 5000)) << "nothing of the earlier loads is left";
}

}  // namespace
