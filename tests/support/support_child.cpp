// A child program for the test-support tests: exits with a code, prints a
// line, or stops at a kill point.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "child_process.h"

int wmain(int argc, wchar_t **argv) {
    if (argc >= 3 && wcscmp(argv[1], L"exit") == 0) return _wtoi(argv[2]);
    if (argc >= 3 && wcscmp(argv[1], L"print") == 0) {
        std::printf("%ls\n", argv[2]);
        return 0;
    }
    if (argc >= 3 && wcscmp(argv[1], L"point") == 0) ribex_test::ReachPoint(argv[2]);
    return 100;
}
