// Test helper: runs canslcan with the given arguments in a console of its
// own and, when a line arrives on this helper's stdin, presses Ctrl+C in
// that console (GenerateConsoleCtrlEvent) as a user would. Wine 8 does not
// deliver that event to a console it made for a program started without a
// terminal; when canslcan has not ended 3 s later, the helper sets its
// --stop-event, which runs the same clean-up, and says so on stderr. Its
// exit code is canslcan's; canslcan's output goes to the helper's.
//
//     canslcan_ctrlc.exe ARGS...      (then write any line to stdin)
#include <windows.h>

#include <stdio.h>

#include <string>

int wmain(int argc, wchar_t **argv)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    // A console of our own, shared with canslcan, that nothing else is in.
    FreeConsole();
    if (!AllocConsole()) {
        fprintf(stderr, "canslcan_ctrlc: AllocConsole failed: %lu\n", GetLastError());
        return 90;
    }
    SetConsoleCtrlHandler(nullptr, TRUE);  // the helper itself ignores Ctrl+C

    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    std::wstring cmd = L"\"" + dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"canslcan.exe\"";
    for (int i = 1; i < argc; i++) cmd += std::wstring(L" \"") + argv[i] + L"\"";
    std::wstring stopName = L"canslcanStop" + std::to_wstring(GetCurrentProcessId());
    cmd += L" --stop-event " + stopName;
    HANDLE hStop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());

    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "canslcan_ctrlc: cannot start canslcan: %lu\n", GetLastError());
        return 91;
    }
    char line[64];
    DWORD got = 0;
    ReadFile(in, line, sizeof(line), &got, nullptr);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        fprintf(stderr, "canslcan_ctrlc: GenerateConsoleCtrlEvent failed: %lu\n", GetLastError());
    }
    DWORD code = 92;
    if (WaitForSingleObject(pi.hProcess, 3000) != WAIT_OBJECT_0) {
        fprintf(stderr, "canslcan_ctrlc: Ctrl+C not delivered; setting the stop event\n");
        fflush(stderr);
        SetEvent(hStop);
    }
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) {
        fprintf(stderr, "canslcan_ctrlc: canslcan did not end after Ctrl+C\n");
        TerminateProcess(pi.hProcess, 93);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    return (int)code;
}
