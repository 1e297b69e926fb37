// Children of a run killed the moment they start: nothing of theirs may
// stay behind. A process left running (such as the host of a console made
// for a child) would hold the run's output open, so whatever reads it
// (CTest, a pipe) would wait for ever after the run has ended.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "stress_children.h"
#include "stress_server.h"
#include "test_names.h"
#include "wait_until.h"

namespace {

// Most kills land before the child has run any code of its own.
const DWORD KILL_AFTER_MS[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                               1, 1, 2, 2, 3, 5, 8, 10, 15, 20, 30, 40, 60, 80, 120, 150};
const DWORD SETTLE_TIMEOUT_MS = 10000;

std::vector<DWORD> AllPids() {
    std::vector<DWORD> pids;
    for (const PROCESSENTRY32W &entry : ProcessList()) pids.push_back(entry.th32ProcessID);
    return pids;
}

bool Contains(const std::vector<DWORD> &pids, DWORD pid) {
    for (DWORD p : pids)
        if (p == pid) return true;
    return false;
}

// Processes other than the children themselves that this test process
// started (directly, or by starting a child); ones there before the test
// are left out, as their parent's id may since have been given again.
std::vector<DWORD> OtherProcessesOf(DWORD parentPid, const std::vector<DWORD> &children,
                                    const std::vector<DWORD> &before) {
    std::vector<DWORD> found;
    for (const PROCESSENTRY32W &entry : ProcessList()) {
        bool ours =
            entry.th32ParentProcessID == parentPid || Contains(children, entry.th32ParentProcessID);
        if (ours && !Contains(children, entry.th32ProcessID) &&
            !Contains(before, entry.th32ProcessID))
            found.push_back(entry.th32ProcessID);
    }
    return found;
}

std::wstring Describe(const std::vector<DWORD> &pids) {
    std::wstring text;
    for (DWORD pid : pids) text += L" " + std::to_wstring(pid);
    return text;
}

TEST(StressChildren, KilledAtStartLeaveNoProcessBehind) {
    std::wstring program = ribex_test::ProgramPath(L"ribexstress");
    std::vector<DWORD> before = AllPids();
    std::vector<DWORD> children;
    for (DWORD afterMs : KILL_AFTER_MS) {
        HANDLE hProcess = nullptr;
        DWORD pid = 0;
        ASSERT_TRUE(StartQuietProcess(program, L"-V", &hProcess, &pid)) << GetLastError();
        children.push_back(pid);
        if (afterMs != 0) Sleep(afterMs);  // the kill lands at that point of the start
        TerminateProcess(hProcess, 9);
        EXPECT_EQ(WaitForSingleObject(hProcess, 10000), WAIT_OBJECT_0);
        CloseHandle(hProcess);
    }
    std::vector<DWORD> left;
    ribex_test::WaitUntil(
        [&] {
            left = OtherProcessesOf(GetCurrentProcessId(), children, before);
            return left.empty();
        },
        SETTLE_TIMEOUT_MS, 100);
    EXPECT_TRUE(left.empty()) << "still running:" << ribex_test::Narrow(Describe(left));
}

TEST(StressChildren, QuietProcessRunsAndReportsItsExitCode) {
    HANDLE hProcess = nullptr;
    DWORD pid = 0;
    ASSERT_TRUE(StartQuietProcess(ribex_test::ProgramPath(L"ribexstress"), L"--no-such-option",
                                  &hProcess, &pid));
    EXPECT_NE(pid, 0u);
    ASSERT_EQ(WaitForSingleObject(hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(hProcess, &exitCode);
    EXPECT_EQ(exitCode, 2u) << "a wrong argument";
    CloseHandle(hProcess);
    EXPECT_FALSE(StartQuietProcess(ribex_test::ExeDir() + L"no-such-program.exe", L"", &hProcess,
                                   &pid));
}

}  // namespace
