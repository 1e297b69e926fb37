// Trace library: per-module level masks from the environment, a bounded
// formatter, and two output channels (a serial port and the shared
// "TRACEBUFFER" ring of fixed-size line slots).
//
// Print calls never allocate, take no lock and never fail towards their
// caller. Every operation accepts a null module and then does nothing.
//
// Arguments behind a format: integer and character conversions (d i u o x X
// c) take 32-bit values; s and n take pointers. Pass handles and addresses
// to %x as (unsigned)(ULONG_PTR) values.
#pragma once

#include <windows.h>

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TRACE_LEVEL_ENTRY 0x1
#define TRACE_LEVEL_EXIT 0x2
#define TRACE_LEVEL_EVENT 0x4
#define TRACE_LEVEL_DETAIL 0x8

// Header of the shared ring buffer; the slots follow at offset 16.
typedef struct TraceBufferHeader {
    volatile DWORD enabled;   // 0 while a reading operation works
    DWORD noSlots;
    DWORD slotSize;
    volatile LONG noLines;    // lines claimed since creation or clear
} TraceBufferHeader;

typedef struct TracePort TracePort;

typedef struct TraceModule {
    DWORD levelMask;
    TracePort *pPort;
    HANDLE hFileMappingObject;
    TraceBufferHeader *pBuffer;
} TraceModule;

TraceModule *TraceRegister(HMODULE hModule, const wchar_t *moduleName);
void TraceRelease(TraceModule *module);

void TraceEntry(TraceModule *module, const char *format, ...);
void TraceExit(TraceModule *module, const char *format, ...);
void TracePrint(TraceModule *module, DWORD level, const char *format, ...);

// Reading side, for a process that views the ring.
void TraceClearBuffer(TraceModule *module);
void TraceGetBufferSize(TraceModule *module, DWORD *noSlots, DWORD *slotSize);
void TraceReadBuffer(TraceModule *module, char *buffer, DWORD bufferSize);

// How often the ring was cleared, for a reader that follows it: every
// TraceClearBuffer, in any process, raises the count by one as it starts
// and by one more when it is done (odd: a clear is under way). The count
// lives in a mapping of its own ("TRACEBUFFERCLR"), beside the ring, whose
// layout stays as it is; it counts the clears made while some process held
// it. FALSE (and 0) without a ring or when the count cannot be mapped.
BOOL TraceGetClearCount(TraceModule *module, DWORD *clearCount);

// The formatter: characters stored (without the NUL), or -1 when buffer or
// format is null or bufferSize is 0.
int TraceFormat(char *buffer, DWORD bufferSize, const char *format, va_list args);

#ifdef __cplusplus
}
#endif
