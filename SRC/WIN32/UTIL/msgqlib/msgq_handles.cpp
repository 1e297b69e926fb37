// Table of live queue handles: open addressing over record addresses.
//
// Writers (create, open, close) serialise on a slim reader/writer lock;
// readers (every operation's handle check) only load atomics. A table that
// fills up is replaced by one twice its size; the old one is kept, because a
// reader may still be probing it, and it still answers correctly for every
// handle that was open when it was replaced. Growth only doubles, so the
// kept tables together are smaller than the current one.
#include "msgq_handles.h"

#include <atomic>
#include <cstdint>
#include <new>

namespace {

constexpr uintptr_t SLOT_EMPTY = 0;
constexpr uintptr_t SLOT_REMOVED = 1;  // a removed entry; the probe goes on past it
constexpr DWORD FIRST_CAPACITY = 64;

struct LiveTable {
    DWORD capacity;   // a power of two
    DWORD liveCount;  // written under the lock only
    LiveTable *pRetired;  // the table this one replaced
    std::atomic<uintptr_t> slots[1];
};

SRWLOCK tableLock = SRWLOCK_INIT;
std::atomic<LiveTable *> currentTable{nullptr};

DWORD HashOf(uintptr_t value, DWORD capacity) {
    // Records are heap blocks, 16-byte aligned: the low bits carry nothing.
    uint64_t h = (uint64_t)(value >> 4) * 0x9E3779B97F4A7C15ull;
    return (DWORD)(h >> 32) & (capacity - 1);
}

LiveTable *AllocTable(DWORD capacity) {
    SIZE_T bytes = sizeof(LiveTable) + (SIZE_T)(capacity - 1) * sizeof(std::atomic<uintptr_t>);
    void *mem = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (!mem) return nullptr;
    LiveTable *table = static_cast<LiveTable *>(mem);
    table->capacity = capacity;
    for (DWORD i = 0; i < capacity; i++) new (&table->slots[i]) std::atomic<uintptr_t>(SLOT_EMPTY);
    return table;
}

// Puts a value into the first removed or empty slot of its probe sequence.
void PlaceInto(LiveTable *table, uintptr_t value) {
    DWORD mask = table->capacity - 1;
    for (DWORD i = HashOf(value, table->capacity), n = 0; n < table->capacity;
         i = (i + 1) & mask, n++) {
        uintptr_t cur = table->slots[i].load(std::memory_order_relaxed);
        if (cur == SLOT_EMPTY || cur == SLOT_REMOVED) {
            table->slots[i].store(value, std::memory_order_release);
            table->liveCount++;
            return;
        }
    }
}

// Index of the value's slot, or capacity when absent.
DWORD FindIn(const LiveTable *table, uintptr_t value) {
    DWORD mask = table->capacity - 1;
    for (DWORD i = HashOf(value, table->capacity), n = 0; n < table->capacity;
         i = (i + 1) & mask, n++) {
        uintptr_t cur = table->slots[i].load(std::memory_order_acquire);
        if (cur == value) return i;
        if (cur == SLOT_EMPTY) break;
    }
    return table->capacity;
}

}  // namespace

BOOL MsgQAddLiveHandle(MsgQHandleRecord *record) {
    AcquireSRWLockExclusive(&tableLock);
    LiveTable *table = currentTable.load(std::memory_order_relaxed);
    if (!table || (table->liveCount + 1) * 2 > table->capacity) {
        LiveTable *bigger = AllocTable(table ? table->capacity * 2 : FIRST_CAPACITY);
        if (!bigger) {
            ReleaseSRWLockExclusive(&tableLock);
            return FALSE;
        }
        if (table) {
            for (DWORD i = 0; i < table->capacity; i++) {
                uintptr_t cur = table->slots[i].load(std::memory_order_relaxed);
                if (cur != SLOT_EMPTY && cur != SLOT_REMOVED) PlaceInto(bigger, cur);
            }
        }
        bigger->pRetired = table;
        currentTable.store(bigger, std::memory_order_release);
        table = bigger;
    }
    PlaceInto(table, reinterpret_cast<uintptr_t>(record));
    ReleaseSRWLockExclusive(&tableLock);
    return TRUE;
}

BOOL MsgQRemoveLiveHandle(MsgQHandleRecord *record) {
    AcquireSRWLockExclusive(&tableLock);
    LiveTable *table = currentTable.load(std::memory_order_relaxed);
    BOOL found = FALSE;
    if (table) {
        DWORD i = FindIn(table, reinterpret_cast<uintptr_t>(record));
        if (i < table->capacity) {
            table->slots[i].store(SLOT_REMOVED, std::memory_order_release);
            table->liveCount--;
            found = TRUE;
        }
    }
    ReleaseSRWLockExclusive(&tableLock);
    return found;
}

BOOL MsgQIsLiveHandle(const MsgQHandleRecord *record) {
    uintptr_t value = reinterpret_cast<uintptr_t>(record);
    if (value <= SLOT_REMOVED) return FALSE;
    const LiveTable *table = currentTable.load(std::memory_order_acquire);
    if (!table || FindIn(table, value) == table->capacity) return FALSE;
    return record->checkValue == MSGQ_RECORD_CHECK;
}
