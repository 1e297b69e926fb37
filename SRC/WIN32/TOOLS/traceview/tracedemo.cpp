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

#include "tool_options.h"
#include "trace.h"

static void SetDefault(const wchar_t *name, const wchar_t *value) {
    if (GetEnvironmentVariableW(name, NULL, 0) == 0) SetEnvironmentVariableW(name, value);
}

static ToolSpec Spec(DWORD *lines, DWORD *delayMs, DWORD *burst) {
    return {"tracedemo",
            L"usage: tracedemo [-n LINES] [-d MS] [-b BURST]\n"
            L"\n"
            L"Writes LINES event lines through the module \"worker\", one every MS\n"
            L"milliseconds, then a burst of BURST detail lines that laps a small ring.\n"
            L"\n",
            L"\n"
            L"Example:\n"
            L"  tracedemo -n 5 -d 200    five lines 200 ms apart (watch: traceview follow)\n",
            12,
            false,
            {
                ToolNumber(L'n', nullptr, L"LINES", L"event lines (default 20)", L"line count", 0, 1000000, lines),
                ToolNumber(L'd', nullptr, L"MS", L"pause after each (default 100)", L"pause", 0, 60000, delayMs),
                ToolNumber(L'b', nullptr, L"BURST", L"lines of the burst (default 100)", L"burst", 0, 1000000, burst),
            }};
}

int wmain(int argc, wchar_t **argv) {
    DWORD lines = 20, delayMs = 100, burst = 100;
    ToolSpec optionTable = Spec(&lines, &delayMs, &burst);
    ToolArgs args;
    int code = ToolBegin(optionTable, argc, argv, &args);
    if (code >= 0) return code;
    if (!args.operands.empty()) return ToolFailOn(optionTable, L"unexpected argument", args.operands[0]);
    SetDefault(L"TRACESIZE", L"32 100");
    SetDefault(L"tracedemo.exe", L"0xF");
    TraceModule *mainModule = TraceRegister(NULL, L"main");
    TraceModule *worker = TraceRegister(NULL, L"worker");
    if (mainModule == NULL && worker == NULL) {
        fwprintf(stderr, L"tracedemo: no trace channel (TRACESIZE and TRACEPORT unusable)\n");
        return 1;
    }
    TraceEntry(mainModule, "\ntracedemo::main Entry\n");
    TracePrint(mainModule, TRACE_LEVEL_DETAIL, "tracedemo::main, %lu lines every %lu ms, then a burst of %lu\n", lines,
               delayMs, burst);
    for (DWORD i = 1; i <= lines; ++i) {
        TracePrint(worker, TRACE_LEVEL_EVENT, "tracedemo::worker, step %lu of %lu, net %hs\n", i, lines, L"CAN1");
        Sleep(delayMs);
    }
    for (DWORD i = 1; i <= burst; ++i) TracePrint(worker, TRACE_LEVEL_DETAIL, "tracedemo::worker, burst line %lu\n", i);
    Sleep(delayMs);
    TracePrint(mainModule, TRACE_LEVEL_EVENT, "tracedemo::main, DONE, errorCode == %lu\n", 0ul);
    TraceExit(mainModule, "tracedemo::main Exit (%lu)\n\n", 0ul);
    TraceRelease(worker);
    TraceRelease(mainModule);
    return 0;
}
