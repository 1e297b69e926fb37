// Process-local queues: a circular list with a sentinel, guarded by one
// unnamed mutex per process. Both are made on first use.
#include "msgq_local.h"

#include <cwchar>

namespace {

struct MsgQLocalNode {
    MsgQLocalNode *pNext;
    MsgQLocalNode *pPrev;
    DWORD refCount;
    HANDLE hMsgSem;
    HANDLE hFreeSem;
    HANDLE hMutex;
    MsgQBlock *pShared;
    DWORD blockSize;
    wchar_t queueKey[1];  // "MsgQ" + name, NUL-terminated; empty without a name
};

HANDLE volatile hLocalListLock = nullptr;
MsgQLocalNode *localQueueList = nullptr;  // the sentinel

// Takes the list lock, creating it and the sentinel on first use.
DWORD LockList() {
    if (!hLocalListLock) {
        HANDLE hNew = CreateMutexW(nullptr, FALSE, nullptr);
        if (!hNew) return GetLastError();
        // Someone beat us to it: use theirs.
        if (InterlockedCompareExchangePointer((PVOID volatile *)&hLocalListLock, hNew, nullptr) !=
            nullptr)
            CloseHandle(hNew);
    }
    if (WaitForSingleObject(hLocalListLock, INFINITE) == WAIT_FAILED) return GetLastError();
    if (!localQueueList) {
        auto *sentinel = static_cast<MsgQLocalNode *>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(MsgQLocalNode)));
        if (!sentinel) {
            ReleaseMutex(hLocalListLock);
            return ERROR_OUTOFMEMORY;
        }
        sentinel->pNext = sentinel->pPrev = sentinel;
        localQueueList = sentinel;
    }
    return ERROR_SUCCESS;
}

// Releases the lock; a failed release turns a success into that failure.
DWORD UnlockList(DWORD result) {
    if (!ReleaseMutex(hLocalListLock) && result == ERROR_SUCCESS) return GetLastError();
    return result;
}

MsgQLocalNode *FindByKey(const wchar_t *key) {
    for (MsgQLocalNode *node = localQueueList->pNext; node != localQueueList; node = node->pNext)
        if (wcscmp(node->queueKey, key) == 0) return node;
    return nullptr;
}

MsgQLocalNode *FindByBlock(const MsgQBlock *block) {
    for (MsgQLocalNode *node = localQueueList->pNext; node != localQueueList; node = node->pNext)
        if (node->pShared == block) return node;
    return nullptr;
}

void ShareNode(MsgQHandleRecord *record, const MsgQLocalNode *node) {
    record->hMsgSem = node->hMsgSem;
    record->hFreeSem = node->hFreeSem;
    record->hMutex = node->hMutex;
    record->hMap = nullptr;
    record->pShared = node->pShared;
    record->viewSize = node->blockSize;
}

}  // namespace

DWORD MsgQLocalRegister(MsgQHandleRecord *record, const wchar_t *key) {
    DWORD result = LockList();
    if (result != ERROR_SUCCESS) return result;

    MsgQLocalNode *existing = key ? FindByKey(key) : nullptr;
    if (existing) {
        existing->refCount++;
        CloseHandle(record->hFreeSem);
        CloseHandle(record->hMutex);
        CloseHandle(record->hMsgSem);
        HeapFree(GetProcessHeap(), 0, record->pShared);
        ShareNode(record, existing);
        return UnlockList(ERROR_ALREADY_EXISTS);
    }

    size_t keyLength = key ? wcslen(key) : 0;
    auto *node = static_cast<MsgQLocalNode *>(HeapAlloc(
        GetProcessHeap(), 0, sizeof(MsgQLocalNode) + keyLength * sizeof(wchar_t)));
    if (!node) return UnlockList(ERROR_OUTOFMEMORY);
    node->refCount = 1;
    node->hMsgSem = record->hMsgSem;
    node->hFreeSem = record->hFreeSem;
    node->hMutex = record->hMutex;
    node->pShared = record->pShared;
    node->blockSize = record->viewSize;
    if (key) wmemcpy(node->queueKey, key, keyLength);
    node->queueKey[keyLength] = L'\0';
    node->pNext = localQueueList;
    node->pPrev = localQueueList->pPrev;
    localQueueList->pPrev->pNext = node;
    localQueueList->pPrev = node;
    return UnlockList(ERROR_SUCCESS);
}

DWORD MsgQLocalAttach(MsgQHandleRecord *record, const wchar_t *key, BOOL *found) {
    *found = FALSE;
    DWORD result = LockList();
    if (result != ERROR_SUCCESS) return result;
    MsgQLocalNode *node = FindByKey(key);
    if (node) {
        node->refCount++;
        ShareNode(record, node);
        *found = TRUE;
    }
    return UnlockList(ERROR_SUCCESS);
}

DWORD MsgQLocalRelease(MsgQHandleRecord *record) {
    DWORD result = LockList();
    if (result != ERROR_SUCCESS) return result;
    MsgQLocalNode *node = FindByBlock(record->pShared);
    if (!node) return UnlockList(ERROR_INVALID_HANDLE);
    if (--node->refCount == 0) {
        HANDLE *objects[] = {&node->hMsgSem, &node->hFreeSem, &node->hMutex};
        for (HANDLE *object : objects) {
            if (*object && !CloseHandle(*object)) {
                // Keep the entry, so the queue can still be released later.
                node->refCount = 1;
                return UnlockList(GetLastError());
            }
            *object = nullptr;
        }
        if (!HeapFree(GetProcessHeap(), 0, node->pShared)) {
            node->refCount = 1;
            return UnlockList(GetLastError());
        }
        node->pNext->pPrev = node->pPrev;
        node->pPrev->pNext = node->pNext;
        HeapFree(GetProcessHeap(), 0, node);
    }
    return UnlockList(ERROR_SUCCESS);
}
