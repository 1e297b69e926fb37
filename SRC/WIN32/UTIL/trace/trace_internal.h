// Pieces of the trace library that its files share and callers never see.
#pragma once

#include "fault_guard.h"
#include "trace.h"

// A module handle points at this record; the public part comes first so the
// handle is a plain TraceModule for every caller. The view size lets the
// writers refuse a header whose geometry would reach past the mapping (a
// header still being written by its creator, or one damaged by a stray
// writer in another process).
typedef struct TraceModuleRecord {
    TraceModule module;
    SIZE_T viewSize;
    // The ring's clear count (see TraceGetClearCount), mapped on first use by
    // a reading operation.
    HANDLE hClearCountMapping;
    volatile LONG *pClearCount;
} TraceModuleRecord;

// The clear count of the module's ring, mapped if need be; null when it
// cannot be had.
volatile LONG *TraceClearCounter(TraceModule *module);
void TraceReleaseClearCounter(TraceModule *module);

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
