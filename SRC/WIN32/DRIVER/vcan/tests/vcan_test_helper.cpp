// Second process for the driver tests.
//
//   vcan_test_helper write DEVICE ID COUNT     writes COUNT (up to 64) frames in one write, data[0] = index;
//                                              exit 0 or the error
//   vcan_test_helper pendread DEVICE [POINT]   starts a read; with POINT reaches the kill point and waits
//                                              to be killed, without returns 0 from main with the handle
//                                              open and the read pending
#include <windows.h>

#include <cwchar>
#include <string>

#include "child_process.h"
#include "vcan_control.h"

// The read completes into these after main has returned, so they must
// outlive it.
static RxMsg g_frames[16];
static OVERLAPPED g_ov;

int wmain(int argc, wchar_t **argv)
{
    std::wstring mode = argc >= 3 ? argv[1] : L"";
    HANDLE h = argc >= 3 ? VcanOpenDevice(argv[2]) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) return mode.empty() ? 2 : (int)GetLastError();
    if (mode == L"write" && argc == 5) {
        RxMsg frames[64] = {};
        DWORD count = wcstoul(argv[4], nullptr, 10);
        for (DWORD i = 0; i < count && i < 64; i++) {
            frames[i].can.id = wcstoul(argv[3], nullptr, 16);
            frames[i].length = 1;
            frames[i].can.data[0] = (uint8_t)i;
        }
        return count <= 64 && VcanWriteFrames(h, frames, count) ? 0 : (int)GetLastError();
    }
    if (mode == L"pendread" && argc <= 4) {
        g_ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n;
        if (ReadFile(h, g_frames, sizeof(g_frames), &n, &g_ov) || GetLastError() != ERROR_IO_PENDING) return 3;
        if (argc == 4) ribex_test::ReachPoint(argv[3]);
        return 0;  // the read is still pending, the handle still open
    }
    return 2;
}
