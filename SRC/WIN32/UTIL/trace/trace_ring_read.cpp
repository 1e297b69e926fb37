// Reading the shared ring: clearing it, its geometry, and copying its slots.
//
// A reader holds `enabled` at 0 while it works, so writers drop their lines
// instead of overwriting the slots being copied.
#include "trace_internal.h"

#include <string.h>

// What a reading operation hands to its guarded part. held is set once
// `enabled` was cleared, so that it is set again even when the work is cut
// short by a fault.
struct RingRequest {
    TraceModule *module;
    char *buffer;
    DWORD bufferSize;
    BOOL held;
};

static void ClearSlots(void *context) {
    RingRequest *request = (RingRequest *)context;
    TraceModule *module = request->module;
    BOOL *held = &request->held;
    TraceBufferHeader *header = module->pBuffer;
    DWORD noSlots, slotSize;
    if (header == NULL || !TraceRingGeometry(module, &noSlots, &slotSize)) return;
    *held = TRUE;
    header->enabled = 0;
    InterlockedExchange(&header->noLines, 0);
    char *slots = (char *)(header + 1);
    for (DWORD i = 0; i < noSlots; ++i) slots[(SIZE_T)i * slotSize] = '\0';
}

extern "C" void TraceClearBuffer(TraceModule *module) {
    if (module == NULL) return;
    // Counted as under way before anything changes and as done after, so
    // that a follower never takes a half-cleared ring for the old one.
    volatile LONG *clears = TraceClearCounter(module);
    if (clears != NULL) InterlockedIncrement(clears);
    RingRequest request = {module, NULL, 0, FALSE};
    FaultGuardRun(ClearSlots, &request);
    if (request.held) module->pBuffer->enabled = 1;
    if (clears != NULL) InterlockedIncrement(clears);
}

struct GeometryRequest {
    TraceModule *module;
    DWORD *noSlots;
    DWORD *slotSize;
};

static void GiveGeometry(void *context) {
    GeometryRequest *request = (GeometryRequest *)context;
    DWORD slots, size;
    if (!TraceRingGeometry(request->module, &slots, &size)) return;
    if (request->noSlots != NULL) *request->noSlots = slots;
    if (request->slotSize != NULL) *request->slotSize = size;
}

extern "C" void TraceGetBufferSize(TraceModule *module, DWORD *noSlots, DWORD *slotSize) {
    if (noSlots != NULL) *noSlots = 0;
    if (slotSize != NULL) *slotSize = 0;
    if (module == NULL) return;
    GeometryRequest request = {module, noSlots, slotSize};
    FaultGuardRun(GiveGeometry, &request);
}

// Copies the slots oldest line first. Before the ring wraps that is slot 0
// up to the slot the next line takes (still empty, so it ends the text);
// after a wrap it is every slot, starting with the one the next line takes.
static void CopySlots(void *context) {
    RingRequest *request = (RingRequest *)context;
    TraceModule *module = request->module;
    char *buffer = request->buffer;
    DWORD bufferSize = request->bufferSize;
    BOOL *held = &request->held;
    TraceBufferHeader *header = module->pBuffer;
    DWORD noSlots, slotSize;
    if (header == NULL || !TraceRingGeometry(module, &noSlots, &slotSize)) return;
    DWORD fit = bufferSize / slotSize;
    if (fit == 0) return;
    *held = TRUE;
    header->enabled = 0;
    DWORD lines = (DWORD)header->noLines;
    DWORD last = lines % noSlots;
    DWORD first = lines < noSlots ? 0 : last;
    DWORD toCopy = lines < noSlots ? last + 1 : noSlots;
    if (toCopy > fit) toCopy = fit;
    const char *slots = (const char *)(header + 1);
    for (DWORD i = 0; i < toCopy; ++i) {
        DWORD slot = (first + i) % noSlots;
        memcpy(buffer + (SIZE_T)i * slotSize, slots + (SIZE_T)slot * slotSize, slotSize);
    }
    SIZE_T end = (SIZE_T)toCopy * slotSize;
    if (toCopy < noSlots && end < bufferSize) buffer[end] = '\0';
}

extern "C" void TraceReadBuffer(TraceModule *module, char *buffer, DWORD bufferSize) {
    if (module == NULL) return;
    if (bufferSize != 0 && buffer != NULL) FaultGuardCopy(buffer, "", 1);
    if (buffer == NULL) return;
    RingRequest request = {module, buffer, bufferSize, FALSE};
    FaultGuardRun(CopySlots, &request);
    if (request.held) module->pBuffer->enabled = 1;
}
