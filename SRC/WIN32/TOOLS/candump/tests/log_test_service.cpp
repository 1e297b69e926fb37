// A driver service of the log interop test's own, so that its queue size
// and read batch touch no other suite:
//
//   log_test_service install SERVICE PREFIX QUEUEFRAMES NOMSGPERREAD   one device PREFIX1, started
//   log_test_service stop SERVICE | start SERVICE   the driver gone and back
//   log_test_service uninstall SERVICE
//
// Exit code 0, or the Windows error of the step that failed.
#include <windows.h>

#include <cwchar>

#include "vcan_control.h"

int wmain(int argc, wchar_t **argv)
{
    if (argc == 6 && wcscmp(argv[1], L"install") == 0) {
        const wchar_t *service = argv[2];
        VcanUninstallService(service);
        if (!VcanInstallService(service, argv[3], 1, nullptr) ||
            !VcanSetServiceValue(service, L"QueueFrames", wcstoul(argv[4], nullptr, 10)) ||
            !VcanSetServiceValue(service, L"NoMsgPerRead", wcstoul(argv[5], nullptr, 10)) ||
            !VcanStartService(service))
            return (int)GetLastError();
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"stop") == 0)
        return VcanStopService(argv[2]) ? 0 : (int)GetLastError();
    if (argc == 3 && wcscmp(argv[1], L"start") == 0)
        return VcanStartService(argv[2]) ? 0 : (int)GetLastError();
    if (argc == 3 && wcscmp(argv[1], L"uninstall") == 0)
        return VcanUninstallService(argv[2]) ? 0 : (int)GetLastError();
    fwprintf(stderr,
             L"usage: log_test_service install SERVICE PREFIX QUEUEFRAMES NOMSGPERREAD | stop SERVICE | "
             L"start SERVICE | uninstall SERVICE\n");
    return 2;
}
