// Waiting for a condition instead of for a time: a test polls what it
// expects, with a bound, and fails naming what never came.
#pragma once

#include <windows.h>

namespace ribex_test {

// Polls condition() every pollMs until it holds (TRUE) or limitMs have
// passed (FALSE, after one last look).
template <typename Condition>
bool WaitUntil(Condition condition, DWORD limitMs, DWORD pollMs = 10) {
    for (DWORD start = GetTickCount(); !condition(); Sleep(pollMs))
        if (GetTickCount() - start >= limitMs) return condition();
    return true;
}

}  // namespace ribex_test
