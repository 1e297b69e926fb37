// Small helpers shared by the driver's test suites.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vcan_control.h"

namespace vcan_test {

// The driver the CTest fixture installs: service "vcan", devices VCAN1..8.
// Each of our suites keeps to its own device, so suites run side by side
// without seeing each other's frames.
constexpr const wchar_t *SERVICE = L"vcan";

inline RxMsg Frame(uint32_t id, uint32_t length, uint8_t firstByte)
{
    RxMsg msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.can.id = id;
    msg.length = length;
    for (uint32_t i = 0; i < 8; i++) msg.can.data[i] = (uint8_t)(firstByte + i);
    return msg;
}

class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { Close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    void Close()
    {
        if (valid()) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE h_;
};

// One overlapped read of up to 16 records that the test starts and then
// watches; the destructor makes sure it has ended before its buffer goes.
struct PendingRead {
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    OVERLAPPED ov = {};
    RxMsg frames[16];
    BOOL started = FALSE;  // ReadFile's own result
    DWORD startError = 0;

    PendingRead() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~PendingRead()
    {
        if (hDevice != INVALID_HANDLE_VALUE && startError == ERROR_IO_PENDING &&
            WaitForSingleObject(ov.hEvent, 0) != WAIT_OBJECT_0) {
            CancelIoEx(hDevice, &ov);
            WaitForSingleObject(ov.hEvent, 5000);
        }
        CloseHandle(ov.hEvent);
    }
    // Starts the read; TRUE when it stays pending.
    bool Start(HANDLE h, DWORD maxFrames = 16)
    {
        hDevice = h;
        ResetEvent(ov.hEvent);
        DWORD n = 0;
        started = ReadFile(h, frames, maxFrames * (DWORD)sizeof(RxMsg), &n, &ov);
        startError = started ? 0 : GetLastError();
        return !started && startError == ERROR_IO_PENDING;
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
    DWORD start = GetTickCount();
    for (;;) {
        VcanCounters c;
        if (VcanGetCounters(h, &c) && c.openHandles == expected) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
}

}  // namespace vcan_test
