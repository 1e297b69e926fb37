#include "candump_reader.h"

namespace {

const DWORD kReadBatch = RX_BUFFER_NO_ENTRIES;  // a whole ring in one read
const DWORD kIdleWaitMs = 50;                    // to notice the stop request

LONG64 Load(const volatile LONG64 *value) { return __atomic_load_n(value, __ATOMIC_ACQUIRE); }
void Store(volatile LONG64 *value, LONG64 v) { __atomic_store_n(value, v, __ATOMIC_RELEASE); }

// Only the reader thread adds; a full queue drops and counts.
void Add(DumpReader *r, DWORD net, const RibexFrame *frame, DWORD readError) {
    LONG64 added = r->added;
    if (added - Load(&r->taken) >= (LONG64)r->capacity) {
        InterlockedIncrement64(&r->dropped);
        return;
    }
    DumpEntry *e = &r->entries[added % r->capacity];
    if (frame != NULL) e->frame = *frame;
    e->net = net;
    e->readError = readError;
    Store(&r->added, added + 1);
}

// One pass over the nets; false when a read failed for good.
bool ReadPass(DumpReader *r, RibexFrame *frames, bool *pGot) {
    *pGot = false;
    for (DWORD i = 0; i < r->noNets; ++i) {
        DWORD n = 0, lost = 0;
        if (!RibexReadFrames(r->nets[i], frames, kReadBatch, &n, &lost, 0)) {
            DWORD error = GetLastError();
            Add(r, i, NULL, error);
            *pGot = true;
            // The library reopens a net whose server went away: go on.
            if (error != RIBEX_ERROR_SERVER_GONE && error != RIBEX_ERROR_NET_REOPENED) return false;
            continue;
        }
        if (lost != 0) InterlockedAdd64(&r->lapped, lost);
        for (DWORD k = 0; k < n; ++k) Add(r, i, &frames[k], 0);
        if (n != 0) *pGot = true;
    }
    return true;
}

DWORD WINAPI ReaderThread(void *param) {
    DumpReader *r = static_cast<DumpReader *>(param);
    RibexFrame *frames = new RibexFrame[kReadBatch];
    HANDLE wakes[MAXIMUM_WAIT_OBJECTS];
    DWORD noWakes = 0;
    for (DWORD i = 0; i < r->noNets && noWakes < MAXIMUM_WAIT_OBJECTS; ++i)
        wakes[noWakes++] = RibexGetWakeEvent(r->nets[i]);
    while (!r->stop) {
        bool got = false;
        bool goOn = ReadPass(r, frames, &got);
        if (got) SetEvent(r->hAdded);
        if (!goOn) break;
        if (!got && noWakes != 0) WaitForMultipleObjects(noWakes, wakes, FALSE, kIdleWaitMs);
    }
    delete[] frames;
    return 0;
}

}  // namespace

BOOL DumpReaderStart(DumpReader *r, RibexClientNet *const *nets, DWORD noNets, DWORD capacity) {
    ZeroMemory(r, sizeof(*r));
    r->nets = nets;
    r->noNets = noNets;
    r->capacity = capacity;
    r->entries = (DumpEntry *)HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(DumpEntry));
    r->hAdded = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (r->entries != NULL && r->hAdded != NULL)
        r->hThread = CreateThread(NULL, 0, ReaderThread, r, 0, NULL);
    if (r->hThread != NULL) return TRUE;
    DWORD error = r->entries == NULL ? (DWORD)ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    DumpReaderStop(r);
    SetLastError(error);
    return FALSE;
}

DWORD DumpReaderTake(DumpReader *r, DumpEntry *out, DWORD max) {
    LONG64 taken = r->taken;
    LONG64 available = Load(&r->added) - taken;
    DWORD n = available < (LONG64)max ? (DWORD)available : max;
    for (DWORD i = 0; i < n; ++i) out[i] = r->entries[(taken + i) % r->capacity];
    Store(&r->taken, taken + n);
    return n;
}

void DumpReaderStop(DumpReader *r) {
    if (r->hThread != NULL) {
        InterlockedExchange(&r->stop, 1);
        WaitForSingleObject(r->hThread, INFINITE);
        CloseHandle(r->hThread);
    }
    if (r->hAdded != NULL) CloseHandle(r->hAdded);
    if (r->entries != NULL) HeapFree(GetProcessHeap(), 0, r->entries);
    r->hThread = NULL;
    r->hAdded = NULL;
    r->entries = NULL;
}
