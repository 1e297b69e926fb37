// Creating, opening and closing message queues. The send and receive code is
// in msgq_c.h, compiled into this file.
#include "msgq.h"

#include <cwchar>

#include "fault_guard.h"
#include "msgq_block.h"
#include "msgq_handles.h"
#include "msgq_local.h"
#include "msgq_record.h"

namespace {

constexpr DWORD OPEN_RETRY_MS = 50;

// "MsgQ" + name + suffix as a heap string; null when out of memory.
wchar_t *BuildObjectName(const wchar_t *name, const wchar_t *suffix) {
    size_t nameLength = wcslen(name), suffixLength = wcslen(suffix);
    size_t chars = 4 + nameLength + suffixLength + 1;
    auto *text = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, chars * sizeof(wchar_t)));
    if (!text) return nullptr;
    wmemcpy(text, L"MsgQ", 4);
    wmemcpy(text + 4, name, nameLength);
    wmemcpy(text + 4 + nameLength, suffix, suffixLength);
    text[chars - 1] = L'\0';
    return text;
}

void FreeName(wchar_t *text) {
    if (text) HeapFree(GetProcessHeap(), 0, text);
}

struct NameLength {
    const wchar_t *name;
    size_t length;
};

void MeasureName(void *context) {
    NameLength *measure = static_cast<NameLength *>(context);
    measure->length = wcslen(measure->name);
}

// A copy of the caller's queue name, taken under the fault guard, so that
// everything after works on memory of our own. ERROR_INVALID_PARAMETER for
// a name that cannot be read.
DWORD CopyCallerName(const wchar_t *name, wchar_t **copy) {
    *copy = nullptr;
    NameLength measure = {name, 0};
    if (!FaultGuardRun(MeasureName, &measure)) return ERROR_INVALID_PARAMETER;
    auto *text = static_cast<wchar_t *>(
        HeapAlloc(GetProcessHeap(), 0, (measure.length + 1) * sizeof(wchar_t)));
    if (!text) return ERROR_OUTOFMEMORY;
    if (!FaultGuardCopy(text, name, measure.length * sizeof(wchar_t))) {
        FreeName(text);
        return ERROR_INVALID_PARAMETER;
    }
    text[measure.length] = L'\0';
    *copy = text;
    return ERROR_SUCCESS;
}

MsgQHandleRecord *AllocRecord() {
    return static_cast<MsgQHandleRecord *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(MsgQHandleRecord)));
}

void CloseIfSet(HANDLE *object) {
    if (*object) CloseHandle(*object);
    *object = nullptr;
}

// Undoes a half-made named handle: objects closed, view unmapped.
void CloseNamedObjects(MsgQHandleRecord *record) {
    CloseIfSet(&record->hMsgSem);
    CloseIfSet(&record->hFreeSem);
    CloseIfSet(&record->hMutex);
    if (record->pShared) UnmapViewOfFile(record->pShared);
    record->pShared = nullptr;
    CloseIfSet(&record->hMap);
}

// Bytes of a mapped view that belong to the queue, so that later operations
// never reach past it whatever a peer wrote into the header.
DWORD MappedViewSize(const void *view) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof(info)) != sizeof(info)) return 0;
    return info.RegionSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)info.RegionSize;
}

void WriteHeader(MsgQBlock *block, DWORD maxMsgs, DWORD slotSize) {
    block->writeOffset = 0;
    block->readOffset = 0;
    block->maxMsgs = maxMsgs;
    block->msgSlotSize = slotSize;
}

// The three synchronisation objects, named after the queue or unnamed.
DWORD CreateSyncObjects(MsgQHandleRecord *record, const wchar_t *name, DWORD maxMsgs,
                        BOOL *existed) {
    const wchar_t *suffixes[] = {L"SEM", L"MTX", L""};
    HANDLE *targets[] = {&record->hFreeSem, &record->hMutex, &record->hMsgSem};
    for (int i = 0; i < 3; i++) {
        wchar_t *objectName = nullptr;
        if (name && !(objectName = BuildObjectName(name, suffixes[i]))) return ERROR_OUTOFMEMORY;
        HANDLE h;
        if (i == 0) h = CreateSemaphoreW(nullptr, (LONG)maxMsgs, (LONG)maxMsgs, objectName);
        else if (i == 1) h = CreateMutexW(nullptr, FALSE, objectName);
        else h = CreateSemaphoreW(nullptr, 0, (LONG)maxMsgs, objectName);
        DWORD error = GetLastError();
        FreeName(objectName);
        if (!h) return error;
        if (error == ERROR_ALREADY_EXISTS) *existed = TRUE;
        *targets[i] = h;
    }
    return ERROR_SUCCESS;
}

DWORD CreateNamed(MsgQHandleRecord *record, const wchar_t *name, DWORD maxMsgs, DWORD slotSize,
                  DWORD blockSize, BOOL *existed) {
    wchar_t *mapName = BuildObjectName(name, L"FMO");
    if (!mapName) return ERROR_OUTOFMEMORY;
    record->hMap = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT,
                                      0, blockSize, mapName);
    DWORD error = GetLastError();
    FreeName(mapName);
    if (!record->hMap) return error;
    BOOL mapExisted = error == ERROR_ALREADY_EXISTS;
    if (mapExisted) *existed = TRUE;
    record->pShared = static_cast<MsgQBlock *>(MapViewOfFile(record->hMap, FILE_MAP_WRITE, 0, 0, 0));
    if (!record->pShared) return GetLastError();
    // An existing queue keeps its header and sizes.
    if (!mapExisted) WriteHeader(record->pShared, maxMsgs, slotSize);
    record->viewSize = MappedViewSize(record->pShared);
    return CreateSyncObjects(record, name, maxMsgs, existed);
}

DWORD CreateLocal(MsgQHandleRecord *record, const wchar_t *name, DWORD maxMsgs, DWORD slotSize,
                  DWORD blockSize, BOOL *existed) {
    DWORD error = CreateSyncObjects(record, nullptr, maxMsgs, existed);
    if (error != ERROR_SUCCESS) return error;
    record->pShared = static_cast<MsgQBlock *>(HeapAlloc(GetProcessHeap(), 0, blockSize));
    if (!record->pShared) return ERROR_OUTOFMEMORY;
    WriteHeader(record->pShared, maxMsgs, slotSize);
    record->viewSize = blockSize;
    wchar_t *key = nullptr;
    if (name && !(key = BuildObjectName(name, L""))) return ERROR_OUTOFMEMORY;
    error = MsgQLocalRegister(record, key);
    FreeName(key);
    if (error == ERROR_ALREADY_EXISTS) {
        *existed = TRUE;
        error = ERROR_SUCCESS;
    }
    return error;
}

// Hands a finished record out: it becomes a live handle.
MsgQHandle Publish(MsgQHandleRecord *record, DWORD lastError) {
    record->checkValue = MSGQ_RECORD_CHECK;
    if (!MsgQAddLiveHandle(record)) {
        record->checkValue = 0;
        if (record->hMap) CloseNamedObjects(record);
        else MsgQLocalRelease(record);
        HeapFree(GetProcessHeap(), 0, record);
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    SetLastError(lastError);
    return record;
}

// One attempt to open every object of a named queue. ERROR_SUCCESS, or
// ERROR_FILE_NOT_FOUND when the queue is not (completely) there, or the
// error that ends the open at once.
DWORD TryOpenNamed(MsgQHandleRecord *record, const wchar_t *name) {
    wchar_t *names[4] = {BuildObjectName(name, L""), BuildObjectName(name, L"SEM"),
                         BuildObjectName(name, L"MTX"), BuildObjectName(name, L"FMO")};
    DWORD result = ERROR_SUCCESS;
    if (!names[0] || !names[1] || !names[2] || !names[3]) {
        result = ERROR_OUTOFMEMORY;
    } else if (!(record->hMsgSem = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, names[0]))) {
        DWORD error = MsgQLocalAttach(record, names[0]);
        result = error == ERROR_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error;
    } else if (!(record->hFreeSem = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, names[1])) ||
               !(record->hMutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, names[2])) ||
               !(record->hMap = OpenFileMappingW(FILE_MAP_WRITE, FALSE, names[3]))) {
        // A queue being made or torn down right now: try again later.
        CloseNamedObjects(record);
        result = ERROR_FILE_NOT_FOUND;
    } else if (!(record->pShared = static_cast<MsgQBlock *>(
                     MapViewOfFile(record->hMap, FILE_MAP_WRITE, 0, 0, 0)))) {
        result = GetLastError();
        CloseNamedObjects(record);
    } else {
        record->viewSize = MappedViewSize(record->pShared);
    }
    for (wchar_t *text : names) FreeName(text);
    return result;
}

}  // namespace

extern "C" MsgQHandle MsgQCreate(const wchar_t *name, DWORD maxMsgs, DWORD maxMessageSize,
                                 DWORD flags) {
    BOOL named = (flags & MSGQ_NAMED) != 0;
    if (maxMsgs == 0 || maxMessageSize == 0 || (named && !name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint64_t slotSize = MsgQSlotSizeFor(maxMessageSize);
    uint64_t blockSize = MsgQBlockSizeFor(maxMsgs, slotSize);
    // Offsets and sizes are 32-bit words in the shared block; the semaphores
    // count to M in a LONG.
    if (blockSize > 0xFFFFFFFFull || maxMsgs > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t *ownName = nullptr;
    DWORD error = name ? CopyCallerName(name, &ownName) : ERROR_SUCCESS;
    MsgQHandleRecord *record = error == ERROR_SUCCESS ? AllocRecord() : nullptr;
    if (!record) {
        FreeName(ownName);
        SetLastError(error == ERROR_SUCCESS ? ERROR_OUTOFMEMORY : error);
        return nullptr;
    }
    BOOL existed = FALSE;
    error =
        named ? CreateNamed(record, ownName, maxMsgs, (DWORD)slotSize, (DWORD)blockSize, &existed)
              : CreateLocal(record, ownName, maxMsgs, (DWORD)slotSize, (DWORD)blockSize, &existed);
    FreeName(ownName);
    if (error != ERROR_SUCCESS) {
        if (named) {
            CloseNamedObjects(record);
        } else {
            // A process-local queue that failed was never registered: its
            // objects and block are still the record's own.
            CloseIfSet(&record->hMsgSem);
            CloseIfSet(&record->hFreeSem);
            CloseIfSet(&record->hMutex);
            if (record->pShared) HeapFree(GetProcessHeap(), 0, record->pShared);
        }
        HeapFree(GetProcessHeap(), 0, record);
        SetLastError(error);
        return nullptr;
    }
    return Publish(record, existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
}

extern "C" MsgQHandle MsgQOpen(const wchar_t *name, DWORD timeout) {
    DWORD start = GetTickCount();
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t *ownName = nullptr;
    DWORD error = CopyCallerName(name, &ownName);
    MsgQHandleRecord *record = error == ERROR_SUCCESS ? AllocRecord() : nullptr;
    if (!record) {
        FreeName(ownName);
        SetLastError(error == ERROR_SUCCESS ? ERROR_OUTOFMEMORY : error);
        return nullptr;
    }
    for (;;) {
        DWORD result = TryOpenNamed(record, ownName);
        if (result == ERROR_SUCCESS) {
            FreeName(ownName);
            return Publish(record, ERROR_SUCCESS);
        }
        if (result == ERROR_FILE_NOT_FOUND && timeout != INFINITE &&
            GetTickCount() - start >= timeout)
            result = ERROR_TIMEOUT;
        if (result != ERROR_FILE_NOT_FOUND) {
            FreeName(ownName);
            HeapFree(GetProcessHeap(), 0, record);
            SetLastError(result);
            return nullptr;
        }
        Sleep(OPEN_RETRY_MS);
    }
}

extern "C" BOOL MsgQClose(MsgQHandle hMsgQ) {
    MsgQHandleRecord *record = hMsgQ;
    // Taking the record out of the table first means that of two closes of
    // one handle only one goes on.
    if (!MsgQIsLiveHandle(record) || !MsgQRemoveLiveHandle(record)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    if (record->hMap) {
        HANDLE *objects[] = {&record->hMsgSem, &record->hFreeSem, &record->hMutex};
        for (HANDLE *object : objects) {
            if (error == ERROR_SUCCESS && *object) {
                if (CloseHandle(*object)) *object = nullptr;
                else error = GetLastError();
            }
        }
        if (error == ERROR_SUCCESS && record->pShared) {
            if (UnmapViewOfFile(record->pShared)) record->pShared = nullptr;
            else error = GetLastError();
        }
        if (error == ERROR_SUCCESS) {
            if (CloseHandle(record->hMap)) record->hMap = nullptr;
            else error = GetLastError();
        }
    } else {
        error = MsgQLocalRelease(record);
    }
    if (error != ERROR_SUCCESS) {
        // The record stays allocated and usable for another close; what was
        // closed already is cleared so that it is not closed twice.
        MsgQAddLiveHandle(record);
        SetLastError(error);
        return FALSE;
    }
    record->checkValue = 0;
    HeapFree(GetProcessHeap(), 0, record);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

#include "msgq_c.h"
