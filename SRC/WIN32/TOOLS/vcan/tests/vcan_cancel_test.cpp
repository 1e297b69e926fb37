// Reads that wait when their handle closes, when they are cancelled, and
// when their process ends without closing (killed or returning normally).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "test_names.h"
#include "vcan_test_util.h"

using namespace vcan_test;

namespace {

constexpr const wchar_t *DEVICE = L"VCAN4";
constexpr uint32_t STATUS_CANCELLED_VALUE = 0xC0000120u;

TEST(VcanCancel, ClosingTheHandleEndsItsPendingRead)
{
    Handle watcher(VcanOpenDevice(DEVICE));
    Handle reader(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(watcher.valid() && reader.valid());
    PendingRead read;
    ASSERT_TRUE(read.Start(reader.get()));
    read.hDevice = INVALID_HANDLE_VALUE;  // nothing to cancel through a closed handle
    reader.Close();
    ASSERT_TRUE(read.Done(5000)) << "the read must not outlive its handle";
    EXPECT_EQ(STATUS_CANCELLED_VALUE, (uint32_t)read.ov.Internal) << "ERROR_OPERATION_ABORTED to its caller";
    EXPECT_TRUE(WaitForOpenHandles(watcher.get(), 1, 5000));
}

TEST(VcanCancel, CancelledReadEndsAndTheHandleStaysUsable)
{
    Handle writer(VcanOpenDevice(DEVICE));
    Handle reader(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(writer.valid() && reader.valid());
    {
        PendingRead read;
        ASSERT_TRUE(read.Start(reader.get()));
        ASSERT_TRUE(CancelIoEx(reader.get(), &read.ov));
        ASSERT_TRUE(read.Done(5000));
        DWORD n = 0;
        EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, read.Result(&n));
    }
    EXPECT_EQ(0u, Counters(reader.get()).pendingReads);
    RxMsg f = Frame(0x700, 2, 0);
    ASSERT_TRUE(VcanWriteFrames(writer.get(), &f, 1));
    RxMsg got;
    DWORD n = 0;
    ASSERT_TRUE(VcanReadFrames(reader.get(), &got, 1, &n, 2000));
    EXPECT_EQ(0x700u, got.can.id) << "the frame went to the next read, not the cancelled one";
}

TEST(VcanCancel, KilledProcessLeavesNoReaderBehind)
{
    Handle watcher(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(watcher.valid());
    std::wstring point = ribex_test::UniqueName(L"vcan-pendread");
    HANDLE prepared = ribex_test::PreparePoint(point);
    ribex_test::ScopedChild child;
    ASSERT_TRUE(ribex_test::StartChild(L"vcan_test_helper", std::wstring(L"pendread ") + DEVICE + L" " + point,
                                       child.get()));
    ASSERT_TRUE(ribex_test::WaitForPoint(point, 10000));
    CloseHandle(prepared);
    EXPECT_TRUE(WaitForOpenHandles(watcher.get(), 2, 5000));

    ribex_test::KillChild(child.get());
    EXPECT_TRUE(WaitForOpenHandles(watcher.get(), 1, 5000)) << "the dead reader's handle must go";

    // The bus works on for those who are left.
    Handle reader(VcanOpenDevice(DEVICE));
    RxMsg f = Frame(0x701, 0, 0);
    ASSERT_TRUE(VcanWriteFrames(watcher.get(), &f, 1));
    RxMsg got;
    DWORD n = 0;
    ASSERT_TRUE(VcanReadFrames(reader.get(), &got, 1, &n, 2000));
    EXPECT_EQ(0x701u, got.can.id);
}

TEST(VcanCancel, ProcessEndingWithoutClosingLeavesNoReaderBehind)
{
    Handle watcher(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(watcher.valid());
    std::wstring eventName = ribex_test::UniqueName(L"vcan-pendexit");
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(nullptr, started);
    ribex_test::ScopedChild child;
    ASSERT_TRUE(ribex_test::StartChild(L"vcan_test_helper", std::wstring(L"pendexit ") + DEVICE + L" " + eventName,
                                       child.get()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, 10000));
    DWORD exitCode = 99;
    EXPECT_TRUE(ribex_test::WaitChild(child.get(), 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    CloseHandle(started);
    EXPECT_TRUE(WaitForOpenHandles(watcher.get(), 1, 5000));
}

}  // namespace
