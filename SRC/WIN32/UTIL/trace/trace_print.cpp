// The print path: called from every thread, allocates nothing, takes no
// lock, and never lets a failure or a fault reach its caller.
#include "trace_internal.h"

static const DWORD kPortLineBytes = 256;

struct LineRequest {
    TraceModule *module;
    const char *format;
    va_list args;
};

// Formats one line to the port, then to the ring. Runs under the fault
// guard: a fault (a bad string pointer among the arguments) abandons the
// line.
static void WriteChannels(void *context) {
    LineRequest *request = (LineRequest *)context;
    TraceModule *module = request->module;
    const char *format = request->format;
    va_list &args = request->args;
    if (module->pPort != NULL) {
        char line[kPortLineBytes];
        va_list ap;
        va_copy(ap, args);
        int length = TraceFormat(line, sizeof line, format, ap);
        va_end(ap);
        if (length > 0) TracePortWrite(module->pPort, line, (DWORD)length);
    }
    TraceBufferHeader *header = module->pBuffer;
    DWORD noSlots, slotSize;
    if (header != NULL && header->enabled != 0 && TraceRingGeometry(module, &noSlots, &slotSize)) {
        LONG claimed = InterlockedIncrement(&header->noLines);
        DWORD slot = ((DWORD)claimed - 1u) % noSlots;
        char *text = (char *)(header + 1) + (SIZE_T)slot * slotSize;
        va_list ap;
        va_copy(ap, args);
        TraceFormat(text, slotSize, format, ap);
        va_end(ap);
    }
}

static void WriteLine(TraceModule *module, const char *format, va_list args) {
    // Tracing must not change what the caller reports as its last error.
    DWORD savedError = GetLastError();
    LineRequest request;
    request.module = module;
    request.format = format;
    va_copy(request.args, args);
    FaultGuardRun(WriteChannels, &request);
    va_end(request.args);
    SetLastError(savedError);
}

extern "C" void TraceEntry(TraceModule *module, const char *format, ...) {
    if (module == NULL || (module->levelMask & TRACE_LEVEL_ENTRY) == 0) return;
    va_list args;
    va_start(args, format);
    WriteLine(module, format, args);
    va_end(args);
}

extern "C" void TraceExit(TraceModule *module, const char *format, ...) {
    if (module == NULL || (module->levelMask & TRACE_LEVEL_EXIT) == 0) return;
    va_list args;
    va_start(args, format);
    WriteLine(module, format, args);
    va_end(args);
}

extern "C" void TracePrint(TraceModule *module, DWORD level, const char *format, ...) {
    if (module == NULL || (module->levelMask & level) == 0) return;
    va_list args;
    va_start(args, format);
    WriteLine(module, format, args);
    va_end(args);
}
