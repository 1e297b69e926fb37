// Takes the server's global lock and stops at a kill point holding it.
#include <windows.h>

#include "child_process.h"
#include "ribex_names.h"

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) return 87;
    HANDLE hGlobalLock = CreateMutexW(nullptr, FALSE, RIBEX_GLOBAL_LOCK_NAME);
    if (hGlobalLock == nullptr || WaitForSingleObject(hGlobalLock, INFINITE) == WAIT_FAILED)
        return (int)GetLastError();
    ribex_test::ReachPoint(argv[1]);
    return 0;
}
