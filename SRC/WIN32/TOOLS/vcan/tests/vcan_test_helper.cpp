// Second process for the driver tests.
//
//   vcan_test_helper write DEVICE ID COUNT     writes COUNT frames (data[0] = index), exit 0 or the error
//   vcan_test_helper pendread DEVICE POINT     starts a read, reaches the kill point and waits to be killed
//   vcan_test_helper pendexit DEVICE EVENT     starts a read, sets EVENT and returns from main with the
//                                              handle open and the read pending
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "child_process.h"
#include "vcan_control.h"

namespace {

int Usage()
{
    std::fwprintf(stderr, L"usage: vcan_test_helper write|pendread|pendexit DEVICE ...\n");
    return 2;
}

int Write(const wchar_t *device, DWORD id, DWORD count)
{
    HANDLE h = VcanOpenDevice(device);
    if (h == INVALID_HANDLE_VALUE) return (int)GetLastError();
    for (DWORD i = 0; i < count; i++) {
        RxMsg msg = {};
        msg.can.id = id;
        msg.length = 1;
        msg.can.data[0] = (uint8_t)i;
        if (!VcanWriteFrames(h, &msg, 1)) return (int)GetLastError();
    }
    CloseHandle(h);
    return 0;
}

// The OVERLAPPED and buffer stay valid: this process never returns from
// here while the read could still complete into them.
RxMsg g_frames[16];
OVERLAPPED g_ov;

bool StartRead(HANDLE h)
{
    g_ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n;
    return !ReadFile(h, g_frames, sizeof(g_frames), &n, &g_ov) && GetLastError() == ERROR_IO_PENDING;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) return Usage();
    std::wstring mode = argv[1];
    const wchar_t *device = argv[2];
    if (mode == L"write" && argc == 5) {
        return Write(device, wcstoul(argv[3], nullptr, 16), wcstoul(argv[4], nullptr, 10));
    }
    if ((mode == L"pendread" || mode == L"pendexit") && argc == 4) {
        HANDLE h = VcanOpenDevice(device);
        if (h == INVALID_HANDLE_VALUE) return (int)GetLastError();
        if (!StartRead(h)) return 3;
        if (mode == L"pendread") ribex_test::ReachPoint(argv[3]);
        HANDLE ev = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
        if (!ev) return 4;
        SetEvent(ev);
        return 0;  // the read is still pending, the handle still open
    }
    return Usage();
}
