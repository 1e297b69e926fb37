// Opening a device and the five control codes, asked the way the server
// asks them (DeviceIoControl without OVERLAPPED on an overlapped handle).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vcan_test_util.h"

using namespace vcan_test;

namespace {

constexpr const wchar_t *DEVICE = L"VCAN1";

// The server's open: read access, read sharing, overlapped.
HANDLE OpenLikeServer(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

BOOL Ioctl(HANDLE h, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize, DWORD *returned)
{
    return DeviceIoControl(h, code, const_cast<void *>(in), inSize, out, outSize, returned, nullptr);
}

std::vector<uint8_t> Properties(HANDLE h)
{
    uint32_t size = 0;
    DWORD n = 0;
    EXPECT_TRUE(Ioctl(h, IOCTL_CAN_GET_PROPERTIES_SIZE, nullptr, 0, &size, sizeof(size), &n)) << GetLastError();
    EXPECT_EQ(4u, n);
    std::vector<uint8_t> block(size);
    EXPECT_TRUE(Ioctl(h, IOCTL_CAN_GET_PROPERTIES, nullptr, 0, block.data(), size, &n)) << GetLastError();
    EXPECT_EQ(size, n);
    return block;
}

std::wstring ServiceName(const std::vector<uint8_t> &block)
{
    const CanDrvProperties *p = reinterpret_cast<const CanDrvProperties *>(block.data());
    size_t chars = (block.size() - CAN_DRV_PROPERTIES_NAMES_OFFSET) / 2;
    if (p->serviceNameIndex >= chars) return L"<index out of the block>";
    const wchar_t *names = reinterpret_cast<const wchar_t *>(block.data() + CAN_DRV_PROPERTIES_NAMES_OFFSET);
    std::wstring name;
    for (size_t i = p->serviceNameIndex; i < chars && names[i]; i++) name += names[i];
    return name;
}

uint64_t DriverTime(HANDLE h)
{
    uint64_t stamp = 0;
    DWORD n = 0;
    EXPECT_TRUE(Ioctl(h, IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, &stamp, sizeof(stamp), &n)) << GetLastError();
    EXPECT_EQ(8u, n);
    return stamp;
}

uint64_t ProgramTime()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return (uint64_t)(c.QuadPart / f.QuadPart) * 10000000ull +
           (uint64_t)(c.QuadPart % f.QuadPart) * 10000000ull / (uint64_t)f.QuadPart;
}

TEST(VcanOpen, DeviceOpensByNameAndUnknownNamesDoNot)
{
    Handle h(OpenLikeServer(L"\\\\.\\VCAN1"));
    EXPECT_TRUE(h.valid()) << GetLastError();

    Handle missing(OpenLikeServer(L"\\\\.\\VCAN99"));
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError()) << "the server takes 2 to mean: no device";

    Handle below(OpenLikeServer(L"\\\\.\\VCAN1\\below"));
    EXPECT_FALSE(below.valid()) << "nothing lives below a device";
}

TEST(VcanOpen, ServerOpensBesideWritersAndWritersBesideTheServer)
{
    Handle writer(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(writer.valid()) << GetLastError();
    Handle server(OpenLikeServer(L"\\\\.\\VCAN1"));
    ASSERT_TRUE(server.valid()) << GetLastError();
    Handle secondWriter(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(secondWriter.valid()) << GetLastError();
    // Closes reach the driver a moment after CloseHandle returns.
    EXPECT_TRUE(WaitForOpenHandles(server.get(), 3, 5000));
}

TEST(VcanControlCodes, PropertyBlockNamesTheServiceKeyAndVersion)
{
    Handle h(OpenLikeServer(L"\\\\.\\VCAN1"));
    ASSERT_TRUE(h.valid());
    std::vector<uint8_t> block = Properties(h.get());
    ASSERT_GE(block.size(), CAN_DRV_PROPERTIES_NAMES_OFFSET + 2);
    const CanDrvProperties *p = reinterpret_cast<const CanDrvProperties *>(block.data());
    EXPECT_EQ(VCAN_DEFAULT_MAJOR_VERSION, p->majorVersion);
    EXPECT_EQ(VCAN_DEFAULT_MINOR_VERSION, p->minorVersion);
    EXPECT_NE(0u, p->serviceNameIndex) << "the device name comes first; readers must use the index";
    std::wstring service = ServiceName(block);
    EXPECT_EQ(std::wstring(SERVICE), service);

    // The name leads to the key that holds the server's settings.
    HKEY key;
    std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key));
    RegCloseKey(key);
}

TEST(VcanControlCodes, ShortOutputBuffersAreRefused)
{
    Handle h(OpenLikeServer(L"\\\\.\\VCAN1"));
    ASSERT_TRUE(h.valid());
    uint8_t small[8];
    DWORD n = 0;
    EXPECT_FALSE(Ioctl(h.get(), IOCTL_CAN_GET_PROPERTIES_SIZE, nullptr, 0, small, 3, &n));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    uint32_t size = 0;
    ASSERT_TRUE(Ioctl(h.get(), IOCTL_CAN_GET_PROPERTIES_SIZE, nullptr, 0, &size, 4, &n));
    std::vector<uint8_t> block(size);
    EXPECT_FALSE(Ioctl(h.get(), IOCTL_CAN_GET_PROPERTIES, nullptr, 0, block.data(), size - 1, &n));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_FALSE(Ioctl(h.get(), IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, small, 7, &n));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_FALSE(Ioctl(h.get(), 0x222FFC, nullptr, 0, small, 8, &n)) << "unknown code";
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
}

TEST(VcanControlCodes, TimeStampCountsHundredNanosecondsOfTheSharedClock)
{
    Handle h(OpenLikeServer(L"\\\\.\\VCAN1"));
    ASSERT_TRUE(h.valid());
    uint64_t before = ProgramTime();
    uint64_t t1 = DriverTime(h.get());
    Sleep(200);
    uint64_t t2 = DriverTime(h.get());
    uint64_t after = ProgramTime();
    EXPECT_GE(t2 - t1, 1500000u) << "200 ms are 2,000,000 units";
    EXPECT_LE(t2 - t1, 20000000u);
    // The driver uses the performance counter, as a program without a
    // device does, so both clocks agree.
    EXPECT_GE(t1 + 10000, before);
    EXPECT_LE(t2, after + 10000);
}

TEST(VcanControlCodes, RemoteReplyIdsAreKeptPerHandle)
{
    Handle a(OpenLikeServer(L"\\\\.\\VCAN1"));
    Handle b(OpenLikeServer(L"\\\\.\\VCAN1"));
    ASSERT_TRUE(a.valid() && b.valid());
    DWORD n = 0;
    uint32_t ids[] = {0x123, 0x80000456u, 0x123, 0x1FFFFFFF};
    for (uint32_t id : ids) {
        EXPECT_TRUE(Ioctl(a.get(), IOCTL_CAN_ENABLE_REMREPLY, &id, 4, nullptr, 0, &n)) << id << " " << GetLastError();
    }
    DWORD got[8] = {};
    DWORD count = 0;
    ASSERT_TRUE(VcanGetEnabledIds(a.get(), got, 8, &count));
    ASSERT_EQ(3u, count) << "enabling twice counts once; the remote flag is not part of the id";
    EXPECT_EQ(0x123u, got[0]);
    EXPECT_EQ(0x456u, got[1]);
    EXPECT_EQ(0x1FFFFFFFu, got[2]);
    ASSERT_TRUE(VcanGetEnabledIds(b.get(), got, 8, &count));
    EXPECT_EQ(0u, count);

    uint32_t id = 0x123;
    EXPECT_TRUE(Ioctl(a.get(), IOCTL_CAN_DISABLE_REMREPLY, &id, 4, nullptr, 0, &n));
    EXPECT_FALSE(Ioctl(a.get(), IOCTL_CAN_DISABLE_REMREPLY, &id, 4, nullptr, 0, &n));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    EXPECT_FALSE(Ioctl(b.get(), IOCTL_CAN_DISABLE_REMREPLY, &ids[1], 4, nullptr, 0, &n))
        << "another handle's id is not ours to remove";
    EXPECT_FALSE(Ioctl(a.get(), IOCTL_CAN_ENABLE_REMREPLY, &id, 2, nullptr, 0, &n));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    // Only the first ids that fit come back; the count is the full one.
    ASSERT_TRUE(VcanGetEnabledIds(a.get(), got, 1, &count));
    EXPECT_EQ(2u, count);
}

TEST(VcanControlCodes, EnabledIdTableIsBounded)
{
    Handle a(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid());
    DWORD n = 0;
    for (uint32_t id = 0; id < VCAN_MAX_ENABLED_IDS; id++) {
        ASSERT_TRUE(Ioctl(a.get(), IOCTL_CAN_ENABLE_REMREPLY, &id, 4, nullptr, 0, &n)) << id;
    }
    uint32_t one = VCAN_MAX_ENABLED_IDS;
    EXPECT_FALSE(Ioctl(a.get(), IOCTL_CAN_ENABLE_REMREPLY, &one, 4, nullptr, 0, &n));
    EXPECT_EQ((DWORD)ERROR_NO_SYSTEM_RESOURCES, GetLastError());
}

TEST(VcanControlCodes, FailNextReadRejectsCodesThatAreNoErrors)
{
    Handle a(VcanOpenDevice(DEVICE));
    ASSERT_TRUE(a.valid());
    EXPECT_FALSE(VcanFailNextRead(a.get(), 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(VcanFailNextRead(a.get(), 0x10000));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

}  // namespace
