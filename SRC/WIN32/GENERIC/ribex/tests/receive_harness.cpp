#include "receive_harness.h"

#include <string.h>

#include "rx_buffer.h"
#include "test_names.h"
#include "wait_until.h"

namespace receive_test {

namespace {

void CloseIf(HANDLE &h) {
    if (h) CloseHandle(h), h = nullptr;
}

void ReleaseRecord(TestNet *t) {
    if (!t->net) return;
    // What the thread leaves to the registry: the reply table, and the
    // client table of a thread that ended on its own.
    RibexThreadParam *p = &t->net->threadParam;
    if (p->pRemote) HeapFree(GetProcessHeap(), 0, p->pRemote);
    if (p->pEvents) {
        for (DWORD i = 0; i < p->pEvents->noEvents; i++) CloseHandle(p->pEvents->pEventHandle[i]);
        HeapFree(GetProcessHeap(), 0, p->pEvents);
    }
    CloseIf(t->net->threadParam.hEventReq);
    CloseIf(t->net->threadParam.hEventCfm);
    CloseIf(t->net->hThread);
    if (t->pRxBuffer) UnmapViewOfFile(t->pRxBuffer);
    CloseIf(t->hMapping);
    t->pRxBuffer = nullptr;
    HeapFree(GetProcessHeap(), 0, t->net);
    t->net = nullptr;
}

}  // namespace

std::wstring UniqueNetName(const wchar_t *tag) { return ribex_test::UniqueName(tag); }

bool HandleIsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

DWORD StartTestNet(const std::wstring &name, TestNet *t) {
    size_t size = offsetof(RibexNet, name) + (name.size() + 1) * sizeof(wchar_t);
    t->net = static_cast<RibexNet *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!t->net) return ERROR_NOT_ENOUGH_MEMORY;
    t->net->next = t->net->prev = t->net;
    memcpy(t->net->name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    RibexThreadParam *p = &t->net->threadParam;
    p->hEventReq = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p->hEventCfm = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::wstring mappingName = name + L"0000000000000000FMO";
    t->hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0,
                                     RX_BUFFER_SIZE, mappingName.c_str());
    if (t->hMapping)
        t->pRxBuffer =
            static_cast<RxBufferLayout *>(MapViewOfFile(t->hMapping, FILE_MAP_WRITE, 0, 0, 0));
    if (!p->hEventReq || !p->hEventCfm || !t->pRxBuffer) {
        DWORD error = GetLastError();
        ReleaseRecord(t);
        return error;
    }
    RibexBufferInit(t->pRxBuffer);
    t->readPosition = 0;
    p->pRxBuffer = t->pRxBuffer;
    t->net->hThread = CreateThread(nullptr, 0, CanReadThread, t->net, 0, nullptr);
    DWORD error = t->net->hThread ? 0 : GetLastError();
    if (error == 0 && WaitForSingleObject(p->hEventCfm, 20000) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    if (error == 0) error = p->errorCodeCfm;
    if (error != 0) {
        if (t->net->hThread) WaitForSingleObject(t->net->hThread, 20000);
        ReleaseRecord(t);
    }
    return error;
}

DWORD StopTestNet(TestNet *t, DWORD timeoutMs) {
    if (!t->net) return (DWORD)-1;
    RibexThreadParam *p = &t->net->threadParam;
    p->req = CAN_THREAD_EXIT;
    SetEvent(p->hEventReq);
    if (WaitForSingleObject(t->net->hThread, timeoutMs) != WAIT_OBJECT_0) return (DWORD)-1;
    DWORD exitCode = (DWORD)-1;
    GetExitCodeThread(t->net->hThread, &exitCode);
    ReleaseRecord(t);
    return exitCode;
}

BOOL AddClient(TestNet *t, DWORD high, DWORD low, HANDLE hEvent) {
    RibexThreadParam *p = &t->net->threadParam;
    RibexEventTable *pEvents = p->pEvents;
    if (pEvents->noEvents == pEvents->maxNoEvents) {
        if (!RequestNetThread(t->net, CAN_THREAD_REALLOC_EVENTS, 0, nullptr, "AddClient"))
            return FALSE;
        pEvents = p->pEvents;
    }
    DWORD n = pEvents->noEvents;
    pEvents->pUniqueId[n] = {high, low};
    pEvents->pEventHandle[n] = hEvent;
    pEvents->noEvents = n + 1;
    return TRUE;
}

BOOL RemoveClient(TestNet *t, DWORD index) {
    RibexEventTable *pEvents = t->net->threadParam.pEvents;
    DWORD last = pEvents->noEvents - 1;
    HANDLE hEvent = pEvents->pEventHandle[index];
    pEvents->pUniqueId[index] = pEvents->pUniqueId[last];
    pEvents->pEventHandle[index] = pEvents->pEventHandle[last];
    pEvents->noEvents = last;
    return CloseRemovedClientEvent(t->net, hEvent);
}

std::vector<RingEntry> TakeAvailable(TestNet *t) {
    std::vector<RingEntry> entries;
    DWORD head = __atomic_load_n(&t->pRxBuffer->header.head, __ATOMIC_ACQUIRE);
    while (t->readPosition != head) {
        DWORD i = t->readPosition;
        const RxBufferLayout *b = t->pRxBuffer;
        entries.push_back({i, b->seqNo[i], b->errorCode[i], b->msg[i], b->simCanUniqueId[i]});
        t->readPosition = (i + 1) % RX_BUFFER_NO_ENTRIES;
    }
    return entries;
}

std::vector<RingEntry> TakeEntries(TestNet *t, DWORD count, DWORD timeoutMs) {
    std::vector<RingEntry> entries;
    ribex_test::WaitUntil(
        [&] {
            std::vector<RingEntry> more = TakeAvailable(t);
            entries.insert(entries.end(), more.begin(), more.end());
            return entries.size() >= count;
        },
        timeoutMs, 2);
    return entries;
}

}  // namespace receive_test
