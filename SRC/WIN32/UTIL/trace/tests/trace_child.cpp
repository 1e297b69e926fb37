// A second process for the trace tests. It registers modules with the
// environment it inherited and reports what it got on stdout.
//
//   trace_child [-e NAME=VALUE]... COMMAND
//
// -e sets a variable first: Wine does not pass Unix variables whose names
// hold "." or "::" (the level-mask names) on to Windows processes.
//
//   trace_child geometry N        register, print N lines "child line K",
//                                 report "slots SLOTS size SIZE port 0|1"
//   trace_child serial            write a 300-character line to the port
//   trace_child serial-shared     three modules share the port handle;
//                                 release two, write, release all,
//                                 register again and write once more
//   trace_child fault             a line with a bad string pointer, then a
//                                 good one; exit 0 when it got through
//   trace_child crash             a bad write outside any trace call; the
//                                 fault must reach the unhandled-exception
//                                 filter, which exits with 77
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "trace.h"

static int Geometry(int lines) {
    TraceModule *module = TraceRegister(NULL, L"child");
    DWORD slots, size;
    TraceGetBufferSize(module, &slots, &size);
    for (int i = 1; i <= lines; ++i) TracePrint(module, TRACE_LEVEL_EVENT, "child line %d", i);
    printf("slots %lu size %lu port %d\n", slots, size, module && module->pPort ? 1 : 0);
    TraceRelease(module);
    return module ? 0 : 1;
}

static void LongLine(char *line, size_t length, char first) {
    for (size_t i = 0; i < length; ++i) line[i] = (char)(first + i % 26);
    line[length] = '\0';
}

static int Serial(void) {
    char line[301];
    LongLine(line, 300, 'a');
    TraceModule *module = TraceRegister(NULL, L"serial");
    printf("port %d\n", module && module->pPort ? 1 : 0);
    fflush(stdout);
    TracePrint(module, TRACE_LEVEL_EVENT, "%s", line);
    TraceRelease(module);
    return 0;
}

static int SerialShared(void) {
    TraceModule *modules[3];
    for (int i = 0; i < 3; ++i) modules[i] = TraceRegister(NULL, L"shared");
    int ports = 0;
    for (int i = 0; i < 3; ++i) ports += modules[i] && modules[i]->pPort ? 1 : 0;
    TraceRelease(modules[0]);
    TraceRelease(modules[1]);
    TracePrint(modules[2], TRACE_LEVEL_EVENT, "<third>");
    TraceRelease(modules[2]);
    TraceModule *again = TraceRegister(NULL, L"again");
    ports += again && again->pPort ? 1 : 0;
    TracePrint(again, TRACE_LEVEL_EVENT, "<again>");
    TraceRelease(again);
    printf("ports %d\n", ports);
    return 0;
}

static int Fault(void) {
    TraceModule *module = TraceRegister(NULL, L"fault");
    TracePrint(module, TRACE_LEVEL_EVENT, "bad %s", (const char *)(ULONG_PTR)0x10);
    TracePrint(module, TRACE_LEVEL_EVENT, "good %d", 1);
    TraceRelease(module);
    return 0;
}

static LONG WINAPI ExitOnFault(EXCEPTION_POINTERS *info) {
    ExitProcess(info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? 77 : 78);
}

static int Crash(void) {
    SetUnhandledExceptionFilter(ExitOnFault);
    TraceModule *module = TraceRegister(NULL, L"crash");
    TracePrint(module, TRACE_LEVEL_EVENT, "before the crash");
    volatile int *volatile bad = (volatile int *)(ULONG_PTR)0x10;
    *bad = 1;
    TraceRelease(module);
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    while (argc >= 3 && wcscmp(argv[1], L"-e") == 0) {
        wchar_t *assignment = argv[2];
        wchar_t *equals = wcschr(assignment, L'=');
        if (equals == NULL) return 2;
        *equals = L'\0';
        SetEnvironmentVariableW(assignment, equals[1] ? equals + 1 : NULL);
        argc -= 2;
        argv += 2;
    }
    if (argc >= 3 && wcscmp(argv[1], L"geometry") == 0) return Geometry(_wtoi(argv[2]));
    if (argc >= 2 && wcscmp(argv[1], L"serial") == 0) return Serial();
    if (argc >= 2 && wcscmp(argv[1], L"serial-shared") == 0) return SerialShared();
    if (argc >= 2 && wcscmp(argv[1], L"fault") == 0) return Fault();
    if (argc >= 2 && wcscmp(argv[1], L"crash") == 0) return Crash();
    fprintf(stderr, "usage: trace_child [-e NAME=VALUE]... geometry N | serial | serial-shared | fault | crash\n");
    return 2;
}
