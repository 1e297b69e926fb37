#include "child_process.h"

#include <tlhelp32.h>

#include <vector>

namespace ribex_test {

std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : p.substr(0, slash + 1);
}

std::wstring ProgramPath(const std::wstring &name) {
    std::wstring p = ExeDir() + name;
    if (p.size() < 4 || _wcsicmp(p.c_str() + p.size() - 4, L".exe") != 0) p += L".exe";
    return p;
}

BOOL StartChild(const std::wstring &name, const std::wstring &args, ChildProcess *child,
                bool captureOutput) {
    std::wstring path = ProgramPath(name);
    std::wstring cmd = L"\"" + path + L"\"";
    if (!args.empty()) cmd += L" " + args;
    std::vector<wchar_t> cmdBuf(cmd.begin(), cmd.end());
    cmdBuf.push_back(L'\0');

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    HANDLE hRead = nullptr, hWrite = nullptr;
    BOOL inherit = FALSE;
    if (captureOutput) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        if (!CreatePipe(&hRead, &hWrite, &sa, 0)) return FALSE;
        SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = hWrite;
        si.hStdError = hWrite;
        inherit = TRUE;
    }
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessW(path.c_str(), cmdBuf.data(), nullptr, nullptr, inherit, 0, nullptr,
                             nullptr, &si, &pi);
    DWORD err = GetLastError();
    if (hWrite) CloseHandle(hWrite);
    if (!ok) {
        if (hRead) CloseHandle(hRead);
        SetLastError(err);
        return FALSE;
    }
    CloseHandle(pi.hThread);
    child->hProcess = pi.hProcess;
    child->pid = pi.dwProcessId;
    child->hStdoutRead = hRead;
    return TRUE;
}

BOOL WaitChild(ChildProcess *child, DWORD timeoutMs, DWORD *exitCode) {
    if (!child->hProcess) return FALSE;
    if (WaitForSingleObject(child->hProcess, timeoutMs) != WAIT_OBJECT_0) return FALSE;
    DWORD code = 0;
    GetExitCodeProcess(child->hProcess, &code);
    if (exitCode) *exitCode = code;
    return TRUE;
}

std::string ReadAllOutput(ChildProcess *child) {
    std::string out;
    if (!child->hStdoutRead) return out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(child->hStdoutRead, buf, sizeof(buf), &got, nullptr) && got > 0)
        out.append(buf, got);
    return out;
}

bool ReadOutputUntil(ChildProcess *child, const std::string &text, DWORD timeoutMs,
                     std::string *output) {
    if (!child->hStdoutRead) return false;
    char buf[4096];
    for (DWORD start = GetTickCount(); output->find(text) == std::string::npos;) {
        DWORD available = 0;
        if (!PeekNamedPipe(child->hStdoutRead, nullptr, 0, nullptr, &available, nullptr))
            return false;  // the child closed its end
        if (available == 0) {
            if (GetTickCount() - start >= timeoutMs) return false;
            Sleep(10);
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(child->hStdoutRead, buf, sizeof(buf) < available ? sizeof(buf) : available,
                      &got, nullptr))
            return false;
        output->append(buf, got);
    }
    return true;
}

DWORD FindProcessByName(const wchar_t *exeName) {
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnap == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    DWORD pid = 0;
    for (BOOL more = Process32FirstW(hSnap, &entry); more; more = Process32NextW(hSnap, &entry))
        if (_wcsicmp(entry.szExeFile, exeName) == 0) pid = entry.th32ProcessID;
    CloseHandle(hSnap);
    return pid;
}

void KillChild(ChildProcess *child, UINT exitCode) {
    if (!child->hProcess) return;
    TerminateProcess(child->hProcess, exitCode);
    WaitForSingleObject(child->hProcess, 10000);
}

bool KillProcessById(DWORD pid, UINT exitCode) {
    HANDLE hProcess = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (hProcess == nullptr) return false;
    bool gone = TerminateProcess(hProcess, exitCode) &&
                WaitForSingleObject(hProcess, 10000) == WAIT_OBJECT_0;
    CloseHandle(hProcess);
    return gone;
}

void ReleaseChild(ChildProcess *child) {
    if (child->hProcess) {
        if (WaitForSingleObject(child->hProcess, 0) == WAIT_TIMEOUT) KillChild(child);
        CloseHandle(child->hProcess);
    }
    if (child->hStdoutRead) CloseHandle(child->hStdoutRead);
    *child = ChildProcess{};
}

DWORD RunProgram(const std::wstring &name, const std::wstring &args, DWORD timeoutMs,
                 std::string *output) {
    ChildProcess child;
    if (!StartChild(name, args, &child, output != nullptr)) return (DWORD)-1;
    // Drain the pipe on a helper thread so a chatty child never blocks.
    struct Drain {
        ChildProcess *child;
        std::string text;
    } drain{&child, {}};
    HANDLE hThread = nullptr;
    if (output) {
        hThread = CreateThread(
            nullptr, 0,
            [](void *p) -> DWORD {
                auto *d = static_cast<Drain *>(p);
                d->text = ReadAllOutput(d->child);
                return 0;
            },
            &drain, 0, nullptr);
    }
    DWORD code = (DWORD)-1;
    if (!WaitChild(&child, timeoutMs, &code)) {
        KillChild(&child);
        code = (DWORD)-1;
    }
    if (hThread) {
        WaitForSingleObject(hThread, 10000);
        CloseHandle(hThread);
        *output = drain.text;
    }
    ReleaseChild(&child);
    return code;
}

static std::wstring PointEventName(const std::wstring &pointName) {
    return L"ribexTestPoint-" + pointName;
}

HANDLE PreparePoint(const std::wstring &pointName) {
    return CreateEventW(nullptr, TRUE, FALSE, PointEventName(pointName).c_str());
}

void ReachPoint(const std::wstring &pointName) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, PointEventName(pointName).c_str());
    if (h) SetEvent(h);
    for (;;) Sleep(INFINITE);
}

BOOL WaitForPoint(const std::wstring &pointName, DWORD timeoutMs) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, PointEventName(pointName).c_str());
    if (!h) return FALSE;
    BOOL reached = WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(h);
    return reached;
}

}  // namespace ribex_test
