// The clear count of the shared ring: a 32-bit counter in its own small
// mapping "TRACEBUFFERCLR", so that a follower can tell a cleared ring from
// one that merely grew, however many lines came after the clear. The ring's
// layout, which every writer relies on, is not touched.
#include "trace_internal.h"

static const wchar_t kClearCountName[] = L"TRACEBUFFERCLR";

volatile LONG *TraceClearCounter(TraceModule *module) {
    TraceModuleRecord *record = (TraceModuleRecord *)module;
    if (module == NULL || module->pBuffer == NULL) return NULL;
    if (record->pClearCount != NULL) return record->pClearCount;
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE | SEC_COMMIT, 0,
                                        sizeof(LONG), kClearCountName);
    if (mapping == NULL) return NULL;
    volatile LONG *view =
        (volatile LONG *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG));
    if (view == NULL) {
        CloseHandle(mapping);
        return NULL;
    }
    // Two threads may get here at once with one module: the first one wins.
    PVOID volatile *slot = (PVOID volatile *)&record->pClearCount;
    if (InterlockedCompareExchangePointer(slot, (PVOID)view, NULL) != NULL) {
        UnmapViewOfFile((LPCVOID)view);
        CloseHandle(mapping);
        return record->pClearCount;
    }
    record->hClearCountMapping = mapping;
    return view;
}

void TraceReleaseClearCounter(TraceModule *module) {
    TraceModuleRecord *record = (TraceModuleRecord *)module;
    if (record->pClearCount != NULL) UnmapViewOfFile((LPCVOID)record->pClearCount);
    record->pClearCount = NULL;
    if (record->hClearCountMapping != NULL) CloseHandle(record->hClearCountMapping);
    record->hClearCountMapping = NULL;
}

extern "C" BOOL TraceGetClearCount(TraceModule *module, DWORD *clearCount) {
    volatile LONG *clears = TraceClearCounter(module);
    if (clearCount != NULL) *clearCount = clears != NULL ? (DWORD)*clears : 0;
    return clears != NULL;
}
