// Pieces of the trace library that its files share and callers never see.
#pragma once

#include "trace.h"

// A module handle points at this record; the public part comes first so the
// handle is a plain TraceModule for every caller. The view size lets the
// writers refuse a header whose geometry would reach past the mapping (a
// header still being written by its creator, or one damaged by a stray
// writer in another process).
typedef struct TraceModuleRecord {
    TraceModule module;
    SIZE_T viewSize;
} TraceModuleRecord;

// Geometry of a module's ring, checked against its view. FALSE when the
// module has no ring or the header cannot be trusted.
BOOL TraceRingGeometry(const TraceModule *module, DWORD *noSlots, DWORD *slotSize);

// Reads an unsigned number: optional blanks, "+" or "-" (negates in 32-bit
// arithmetic), digits of base 10 or 16 (16 accepts a "0x" prefix). Stops at
// the first non-digit; saturates at 0xFFFFFFFF; no digits give 0.
DWORD TraceParseUnsigned(const wchar_t *text, int base);

// A TRACESIZE or TRACEPORT number: decimal, or hexadecimal when decimal gives 0.
DWORD TraceParseSizeToken(const wchar_t *text);

BOOL TraceReadLevelMask(HMODULE hModule, const wchar_t *moduleName, TraceModule *module);

TracePort *TracePortOpen(const wchar_t *portName, DWORD baud);
void TracePortWrite(TracePort *port, const char *bytes, DWORD length);
void TracePortClose(TracePort *port);

// Fault containment without compiler-supported structured exception
// handling: a vectored handler sends an access violation raised inside a
// guarded region back to the region's landing point. TraceGuardInstall runs
// at registration (no module exists before it).
BOOL TraceGuardInstall(void);

typedef struct TraceGuard {
    void *jumpBuffer[5];      // __builtin_setjmp layout: frame, landing, stack
    struct TraceGuard *pPrevious;
} TraceGuard;

// Arms/disarms the guard for the calling thread.
void TraceGuardEnter(TraceGuard *guard);
void TraceGuardLeave(TraceGuard *guard);

// Runs the guarded statement; the statement is abandoned at a memory fault.
// The surrounding function must keep the values it needs after a fault in
// memory (volatile), because registers are not restored on landing.
#if defined(_MSC_VER)
#define TRACE_GUARDED(guard, statement)                                     \
    do {                                                                    \
        (void)(guard);                                                      \
        __try {                                                             \
            statement;                                                      \
        } __except (GetExceptionCode() == EXCEPTION_ACCESS_VIOLATION ||     \
                    GetExceptionCode() == EXCEPTION_IN_PAGE_ERROR) {        \
        }                                                                   \
    } while (0)
#else
#define TRACE_GUARDED(guard, statement)                   \
    do {                                                  \
        if (__builtin_setjmp((guard)->jumpBuffer) == 0) { \
            TraceGuardEnter(guard);                       \
            statement;                                    \
        }                                                 \
        TraceGuardLeave(guard);                           \
    } while (0)
#endif
