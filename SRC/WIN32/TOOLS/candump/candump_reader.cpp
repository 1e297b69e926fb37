#include "candump_reader.h"

namespace {

const DWORD kIdleWaitMs = 50;  // to notice the stop request

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

void OnFrames(void *context, DWORD net, const RibexFrame *frames, DWORD n, DWORD lost) {
    DumpReader *r = static_cast<DumpReader *>(context);
    if (lost != 0) InterlockedAdd64(&r->lapped, lost);
    for (DWORD k = 0; k < n; ++k) Add(r, net, &frames[k], 0);
    if (n != 0) SetEvent(r->hAdded);
}

// Every failed read goes to the printer, which says what happened; the
// reader goes on after the server's going and the reopen only.
bool OnReadError(void *context, DWORD net, DWORD errorCode) {
    DumpReader *r = static_cast<DumpReader *>(context);
    Add(r, net, NULL, errorCode);
    SetEvent(r->hAdded);
    return ToolReadErrorIsServerEvent(errorCode);
}

}  // namespace

BOOL DumpReaderStart(DumpReader *r, const std::vector<RibexClientNet *> &nets, DWORD capacity) {
    r->reader.nets = nets;
    r->reader.onFrames = OnFrames;
    r->reader.onReadError = OnReadError;
    r->reader.context = r;
    r->reader.idleWaitMs = kIdleWaitMs;
    r->capacity = capacity;
    r->added = r->taken = r->lapped = r->dropped = 0;
    r->entries = (DumpEntry *)HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(DumpEntry));
    r->hAdded = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (r->entries != NULL && r->hAdded != NULL && ToolReaderStart(&r->reader)) return TRUE;
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
    ToolReaderStop(&r->reader);
    if (r->hAdded != NULL) CloseHandle(r->hAdded);
    if (r->entries != NULL) HeapFree(GetProcessHeap(), 0, r->entries);
    r->hAdded = NULL;
    r->entries = NULL;
}
