// tracedemo: a small traced program for showing the trace viewer at work.
// It writes entry, event, detail and exit lines through two modules at a
// steady pace, then a burst that laps a small ring.
//
//   tracedemo [-n LINES] [-d MS] [-b BURST]
//
// Unless set already, it sets TRACESIZE to "32 100" and its own level mask
// "tracedemo.exe" to 0xF (Wine does not hand Unix variables named with "."
// on to Windows programs, so a shell cannot set that one).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "trace.h"

static void SetDefault(const wchar_t *name, const wchar_t *value) {
    if (GetEnvironmentVariableW(name, NULL, 0) == 0) SetEnvironmentVariableW(name, value);
}

int wmain(int argc, wchar_t **argv) {
    int lines = 20, delayMs = 100, burst = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"-n") == 0) lines = _wtoi(argv[i + 1]);
        else if (wcscmp(argv[i], L"-d") == 0) delayMs = _wtoi(argv[i + 1]);
        else if (wcscmp(argv[i], L"-b") == 0) burst = _wtoi(argv[i + 1]);
        else {
            fwprintf(stderr, L"usage: tracedemo [-n LINES] [-d MS] [-b BURST]\n");
            return 2;
        }
    }
    SetDefault(L"TRACESIZE", L"32 100");
    SetDefault(L"tracedemo.exe", L"0xF");
    TraceModule *mainModule = TraceRegister(NULL, L"main");
    TraceModule *worker = TraceRegister(NULL, L"worker");
    if (mainModule == NULL && worker == NULL) {
        fwprintf(stderr, L"tracedemo: no trace channel (TRACESIZE and TRACEPORT unusable)\n");
        return 1;
    }
    TraceEntry(mainModule, "\ntracedemo::main Entry\n");
    TracePrint(mainModule, TRACE_LEVEL_DETAIL, "tracedemo::main, %d lines every %d ms, then a burst of %d\n", lines,
               delayMs, burst);
    for (int i = 1; i <= lines; ++i) {
        TracePrint(worker, TRACE_LEVEL_EVENT, "tracedemo::worker, step %d of %d, net %hs\n", i, lines, L"CAN1");
        Sleep(delayMs);
    }
    for (int i = 1; i <= burst; ++i) TracePrint(worker, TRACE_LEVEL_DETAIL, "tracedemo::worker, burst line %d\n", i);
    Sleep(delayMs);
    TracePrint(mainModule, TRACE_LEVEL_EVENT, "tracedemo::main, DONE, errorCode == %lu\n", 0ul);
    TraceExit(mainModule, "tracedemo::main Exit (%lu)\n\n", 0ul);
    TraceRelease(worker);
    TraceRelease(mainModule);
    return 0;
}
