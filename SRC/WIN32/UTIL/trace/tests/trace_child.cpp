// A second process for the trace tests: trace_child [-e NAME=VALUE]... COMMAND
// (-e because Wine does not pass on variables whose names hold "." or "::").
//   geometry N     N lines "child line K"; prints "slots S size Z port 0|1"
//   serial         a 300-character line; prints "port 0|1"
//   serial-shared  three modules share the port; release two, write, release
//                  all, register again, write; prints "ports N"
//   crash          a bad write outside any trace call: our filter exits 77
#include <windows.h>

#include <stdio.h>

#include "faulting_memory.h"
#include "trace.h"

static int Port(TraceModule *module) { return module && module->pPort ? 1 : 0; }

static LONG WINAPI ExitOnFault(EXCEPTION_POINTERS *info) {
    ExitProcess(info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? 77 : 78);
}

int wmain(int argc, wchar_t **argv) {
    for (; argc >= 3 && wcscmp(argv[1], L"-e") == 0; argc -= 2, argv += 2) {
        wchar_t *equals = wcschr(argv[2], L'=');
        if (equals == NULL) return 2;
        *equals = L'\0';
        SetEnvironmentVariableW(argv[2], equals[1] ? equals + 1 : NULL);
    }
    const wchar_t *command = argc >= 2 ? argv[1] : L"";
    if (wcscmp(command, L"geometry") == 0 && argc >= 3) {
        TraceModule *module = TraceRegister(NULL, L"child");
        DWORD slots, size;
        TraceGetBufferSize(module, &slots, &size);
        for (int i = 1; i <= _wtoi(argv[2]); ++i)
            TracePrint(module, TRACE_LEVEL_EVENT, "child line %d", i);
        printf("slots %lu size %lu port %d\n", slots, size, Port(module));
        TraceRelease(module);
        return module ? 0 : 1;
    }
    if (wcscmp(command, L"serial") == 0) {
        char line[301];
        for (int i = 0; i < 300; ++i) line[i] = (char)('a' + i % 26);
        line[300] = '\0';
        TraceModule *module = TraceRegister(NULL, L"serial");
        printf("port %d\n", Port(module));
        fflush(stdout);
        TracePrint(module, TRACE_LEVEL_EVENT, "%s", line);
        TraceRelease(module);
        return 0;
    }
    if (wcscmp(command, L"serial-shared") == 0) {
        TraceModule *modules[3];
        int ports = 0;
        for (TraceModule *&m : modules) ports += Port(m = TraceRegister(NULL, L"shared"));
        TraceRelease(modules[0]);
        TraceRelease(modules[1]);
        TracePrint(modules[2], TRACE_LEVEL_EVENT, "<third>");
        TraceRelease(modules[2]);
        TraceModule *again = TraceRegister(NULL, L"again");
        TracePrint(again, TRACE_LEVEL_EVENT, "<again>");
        printf("ports %d\n", ports + Port(again));
        TraceRelease(again);
        return 0;
    }
    if (wcscmp(command, L"crash") == 0) {
        SetUnhandledExceptionFilter(ExitOnFault);
        TraceModule *module = TraceRegister(NULL, L"crash");
        TracePrint(module, TRACE_LEVEL_EVENT, "before the crash");
        *util_test::UnmappedAddress() = 1;
        TraceRelease(module);
        return 0;
    }
    fprintf(stderr,
            "usage: trace_child [-e NAME=VALUE]... geometry N | serial | serial-shared | crash\n");
    return 2;
}
