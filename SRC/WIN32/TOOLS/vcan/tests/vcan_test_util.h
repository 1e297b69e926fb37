// Small helpers shared by the driver's test suites.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "vcan_control.h"

namespace vcan_test {

inline RxMsg Frame(uint32_t id, uint32_t length, uint8_t firstByte)
{
    RxMsg msg = {};
    msg.can.id = id;
    msg.length = length;
    for (uint8_t &b : msg.can.data) b = firstByte++;
    return msg;
}

// A device handle closed at the end of its scope.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return h; }
    bool valid() const { return h != INVALID_HANDLE_VALUE; }
    void Close()
    {
        if (valid()) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

// One overlapped read of up to 16 records that the test starts and then
// watches; the destructor makes sure it has ended before its buffer goes.
struct PendingRead {
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    OVERLAPPED ov = {};
    RxMsg frames[16];
    bool pending = false;

    PendingRead() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~PendingRead()
    {
        if (pending && !Done(0)) {
            CancelIoEx(hDevice, &ov);
            Done(5000);
        }
        CloseHandle(ov.hEvent);
    }
    // Starts the read; true when it stays pending.
    bool Start(HANDLE h, DWORD maxFrames = 16)
    {
        hDevice = h;
        DWORD n = 0;
        pending = !ReadFile(h, frames, maxFrames * (DWORD)sizeof(RxMsg), &n, &ov) && GetLastError() == ERROR_IO_PENDING;
        return pending;
    }
    bool Done(DWORD timeoutMs) { return WaitForSingleObject(ov.hEvent, timeoutMs) == WAIT_OBJECT_0; }
    // After Done: the error code (0 for success) and the frame count.
    DWORD Result(DWORD *noFrames)
    {
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(hDevice, &ov, &bytes, FALSE);
        *noFrames = bytes / (DWORD)sizeof(RxMsg);
        return ok ? 0 : GetLastError();
    }
};

inline VcanCounters Counters(HANDLE h)
{
    VcanCounters c;
    std::memset(&c, 0xFF, sizeof(c));
    EXPECT_TRUE(VcanGetCounters(h, &c)) << GetLastError();
    return c;
}

// Polls the device-wide handle count seen through h until it equals
// expected (the driver learns of another process's close asynchronously).
inline bool WaitForOpenHandles(HANDLE h, uint32_t expected, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount();; Sleep(10)) {
        VcanCounters c;
        if (VcanGetCounters(h, &c) && c.openHandles == expected) return true;
        if (GetTickCount() - start > timeoutMs) return false;
    }
}

// The property block as the server fetches it: size first, then the block.
inline std::vector<uint8_t> Properties(HANDLE h)
{
    uint32_t size = 0;
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_CAN_GET_PROPERTIES_SIZE, nullptr, 0, &size, 4, &n, nullptr));
    EXPECT_EQ(4u, n);
    std::vector<uint8_t> block(std::max(size, CAN_DRV_PROPERTIES_NAMES_OFFSET));
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_CAN_GET_PROPERTIES, nullptr, 0, block.data(), size, &n, nullptr));
    EXPECT_EQ(size, n);
    return block;
}

// The service key name the block points at with serviceNameIndex.
inline std::wstring ServiceName(const std::vector<uint8_t> &block)
{
    const CanDrvProperties *p = reinterpret_cast<const CanDrvProperties *>(block.data());
    const wchar_t *names = reinterpret_cast<const wchar_t *>(block.data() + CAN_DRV_PROPERTIES_NAMES_OFFSET);
    size_t chars = (block.size() - CAN_DRV_PROPERTIES_NAMES_OFFSET) / 2;
    std::wstring name;
    for (size_t i = p->serviceNameIndex; i < chars && names[i]; i++) name += names[i];
    return p->serviceNameIndex < chars ? name : L"<index out of the block>";
}

}  // namespace vcan_test
