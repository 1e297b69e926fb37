#include "kernel_call_counter.h"

#include <cstring>

namespace {

volatile LONG callCount = 0;

decltype(&WaitForSingleObject) realWaitForSingleObject;
decltype(&WaitForMultipleObjects) realWaitForMultipleObjects;
decltype(&ReleaseSemaphore) realReleaseSemaphore;
decltype(&ReleaseMutex) realReleaseMutex;
decltype(&SetEvent) realSetEvent;
decltype(&ResetEvent) realResetEvent;
decltype(&ReadFile) realReadFile;
decltype(&WriteFile) realWriteFile;

DWORD WINAPI CountedWaitForSingleObject(HANDLE h, DWORD timeout) {
    InterlockedIncrement(&callCount);
    return realWaitForSingleObject(h, timeout);
}
DWORD WINAPI CountedWaitForMultipleObjects(DWORD n, const HANDLE *h, BOOL all, DWORD timeout) {
    InterlockedIncrement(&callCount);
    return realWaitForMultipleObjects(n, h, all, timeout);
}
BOOL WINAPI CountedReleaseSemaphore(HANDLE h, LONG count, LONG *previous) {
    InterlockedIncrement(&callCount);
    return realReleaseSemaphore(h, count, previous);
}
BOOL WINAPI CountedReleaseMutex(HANDLE h) {
    InterlockedIncrement(&callCount);
    return realReleaseMutex(h);
}
BOOL WINAPI CountedSetEvent(HANDLE h) {
    InterlockedIncrement(&callCount);
    return realSetEvent(h);
}
BOOL WINAPI CountedResetEvent(HANDLE h) {
    InterlockedIncrement(&callCount);
    return realResetEvent(h);
}
BOOL WINAPI CountedReadFile(HANDLE h, void *b, DWORD n, DWORD *done, OVERLAPPED *o) {
    InterlockedIncrement(&callCount);
    return realReadFile(h, b, n, done, o);
}
BOOL WINAPI CountedWriteFile(HANDLE h, const void *b, DWORD n, DWORD *done, OVERLAPPED *o) {
    InterlockedIncrement(&callCount);
    return realWriteFile(h, b, n, done, o);
}

struct Redirect {
    const char *name;
    void *replacement;
    void **real;
    bool done;
};

Redirect redirects[] = {
    {"WaitForSingleObject", (void *)CountedWaitForSingleObject, (void **)&realWaitForSingleObject,
     false},
    {"WaitForMultipleObjects", (void *)CountedWaitForMultipleObjects,
     (void **)&realWaitForMultipleObjects, false},
    {"ReleaseSemaphore", (void *)CountedReleaseSemaphore, (void **)&realReleaseSemaphore, false},
    {"ReleaseMutex", (void *)CountedReleaseMutex, (void **)&realReleaseMutex, false},
    {"SetEvent", (void *)CountedSetEvent, (void **)&realSetEvent, false},
    {"ResetEvent", (void *)CountedResetEvent, (void **)&realResetEvent, false},
    {"ReadFile", (void *)CountedReadFile, (void **)&realReadFile, false},
    {"WriteFile", (void *)CountedWriteFile, (void **)&realWriteFile, false},
};

}  // namespace

BOOL InstallKernelCallCounter() {
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return FALSE;
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name; imp++) {
        if (_stricmp(reinterpret_cast<char *>(base + imp->Name), "kernel32.dll") != 0) continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            for (Redirect &r : redirects) {
                if (r.done || strcmp(reinterpret_cast<char *>(byName->Name), r.name) != 0) continue;
                DWORD oldProtect;
                if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE,
                                    &oldProtect))
                    return FALSE;
                *r.real = reinterpret_cast<void *>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(r.replacement);
                VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), oldProtect,
                               &oldProtect);
                r.done = true;
            }
        }
    }
    // A function the program never imports is never called: nothing to count.
    // Waits are imported by every path measured, so they must be there.
    return redirects[0].done;
}

LONG KernelCallCount() { return callCount; }
