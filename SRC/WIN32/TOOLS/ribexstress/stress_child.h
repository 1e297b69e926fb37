// The client child: ribexstress started again with --child. It joins one
// net, reads every frame and leaves, or waits to be killed.
#pragma once

#include <windows.h>

#include <string>

#define STRESS_CHILD_ROLE L"--child"

// How a child behaves; the controller kills the ones that wait.
enum class ChildMode : wchar_t {
    Leave = L'L',        // open, read for lifeMs, close, exit 0
    Read = L'R',         // open and read until killed
    StallInOpen = L'O',  // send its own open request and wait, unanswered, to be killed
};

struct ChildArgs {
    std::wstring blockName;
    DWORD slot = 0;
    std::wstring netName;
    DWORD uniqueLow = 0;
    ChildMode mode = ChildMode::Leave;
    DWORD lifeMs = 0;
    std::wstring serverQueue;
    DWORD remFrameId = 0;  // non-zero: enable this remote-frame reply after joining
    DWORD streamCanId = 0;
};

// The child's command line after the program name.
std::wstring BuildChildCommandLine(const ChildArgs &args);

// Reads what BuildChildCommandLine wrote (argv[0] the program).
bool ParseChildArgs(int argc, wchar_t **argv, ChildArgs *args);

// argv[1] is STRESS_CHILD_ROLE; returns the child's exit code.
int RunChildRole(int argc, wchar_t **argv);
