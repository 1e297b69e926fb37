// A test's own look at a named queue's kernel objects, bypassing the library
// the way an independently written peer would see them.
#pragma once

#include <windows.h>

#include <string>

#include "msgq_block.h"

struct RawQueueView {
    HANDLE hMap = nullptr;
    MsgQBlock *block = nullptr;

    explicit RawQueueView(const std::wstring &name) {
        hMap = OpenFileMappingW(FILE_MAP_WRITE, FALSE, (L"MsgQ" + name + L"FMO").c_str());
        if (hMap) block = static_cast<MsgQBlock *>(MapViewOfFile(hMap, FILE_MAP_WRITE, 0, 0, 0));
    }
    ~RawQueueView() {
        if (block) UnmapViewOfFile(block);
        if (hMap) CloseHandle(hMap);
    }
    RawQueueView(const RawQueueView &) = delete;
    RawQueueView &operator=(const RawQueueView &) = delete;

    const BYTE *Slot(DWORD offset) const { return MsgQSlotAt(block, offset); }
    DWORD SlotLength(DWORD offset) const { return *reinterpret_cast<const DWORD *>(Slot(offset)); }
};

// Current count of a named semaphore, read by releasing nothing: take
// everything with zero waits and give it back.
inline LONG RawSemaphoreCount(const std::wstring &objectName) {
    HANDLE h = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, objectName.c_str());
    if (!h) return -1;
    LONG count = 0;
    while (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) count++;
    if (count) ReleaseSemaphore(h, count, nullptr);
    CloseHandle(h);
    return count;
}

// TRUE when the named mutex can be taken right now by someone else.
inline BOOL RawMutexIsFree(const std::wstring &objectName) {
    struct Probe {
        std::wstring name;
        BOOL free;
    } probe{objectName, FALSE};
    // A mutex is recursive for its owner thread, so ask from another thread.
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *probe = static_cast<Probe *>(p);
            HANDLE h = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, probe->name.c_str());
            if (!h) return 1;
            DWORD r = WaitForSingleObject(h, 0);
            probe->free = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
            if (probe->free) ReleaseMutex(h);
            CloseHandle(h);
            return 0;
        },
        &probe, 0, nullptr);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    return probe.free;
}
