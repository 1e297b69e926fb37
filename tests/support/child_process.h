// Starting, watching and killing our own executables from a test.
//
// Children run under the same Wine (or Windows) as the test: CreateProcessW
// with a program that sits next to the test executable. A child can stop at
// a named point (ReachPoint) so that the test kills it exactly there.
#pragma once

#include <windows.h>

#include <string>

namespace ribex_test {

// Folder of the running executable, with a trailing backslash.
std::wstring ExeDir();

// Full path of one of our programs: ExeDir() + name, ".exe" added if absent.
std::wstring ProgramPath(const std::wstring &name);

struct ChildProcess {
    HANDLE hProcess = nullptr;
    DWORD pid = 0;
    HANDLE hStdoutRead = nullptr;  // set when the output is captured
};

// Starts ProgramPath(name) with the given argument text. With captureOutput
// the child's stdout and stderr go to a pipe that ReadAllOutput drains.
// Returns FALSE with the last error set when the process cannot be created.
BOOL StartChild(const std::wstring &name, const std::wstring &args, ChildProcess *child,
                bool captureOutput = false);

// Waits up to timeoutMs for the child to end. TRUE and its exit code when
// it ended in time; FALSE (child still running) otherwise.
BOOL WaitChild(ChildProcess *child, DWORD timeoutMs, DWORD *exitCode);

// Reads the captured output until the child closes its end.
std::string ReadAllOutput(ChildProcess *child);

// Reads the captured output into *output (appending) until it holds text,
// the child closes its end or timeoutMs pass. TRUE when the text came.
bool ReadOutputUntil(ChildProcess *child, const std::string &text, DWORD timeoutMs,
                     std::string *output);

// The id of a running process of that executable name ("ribex.exe"), 0
// when there is none (the last one listed when there are several).
DWORD FindProcessByName(const wchar_t *exeName);

// TerminateProcess and wait until it is gone.
void KillChild(ChildProcess *child, UINT exitCode = 9);

// The same for a process known by its id only (a server some client
// started): true once it has gone.
bool KillProcessById(DWORD pid, UINT exitCode = 9);

// Closes the handles (kills the child first if it still runs).
void ReleaseChild(ChildProcess *child);

// Owns a child for the length of a scope; kills it on the way out.
class ScopedChild {
  public:
    ScopedChild() = default;
    ~ScopedChild() { ReleaseChild(&child_); }
    ScopedChild(const ScopedChild &) = delete;
    ScopedChild &operator=(const ScopedChild &) = delete;
    ChildProcess *operator->() { return &child_; }
    ChildProcess *get() { return &child_; }

  private:
    ChildProcess child_;
};

// Runs a program to its end (or kills it after timeoutMs) and returns its
// exit code; the combined stdout/stderr goes to *output when given.
// Returns (DWORD)-1 when it could not be started or timed out.
DWORD RunProgram(const std::wstring &name, const std::wstring &args, DWORD timeoutMs,
                 std::string *output = nullptr);

// Kill points. A child calls ReachPoint(name): it signals the named event
// and then sleeps for ever, waiting for the test to kill it. The test calls
// WaitForPoint(name, timeout) to learn that the child is there.
void ReachPoint(const std::wstring &pointName);
BOOL WaitForPoint(const std::wstring &pointName, DWORD timeoutMs);

// Creates the named event in advance, so that WaitForPoint finds it even
// before the child got there. Returns the handle; close it when done.
HANDLE PreparePoint(const std::wstring &pointName);

}  // namespace ribex_test
