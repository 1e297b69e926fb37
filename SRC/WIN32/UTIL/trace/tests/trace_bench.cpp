// Costs of the trace library, measured in one run and printed:
//   - a print whose level is off,
//   - a 60-character line into the shared ring,
//   - TraceFormat against the C library's vsnprintf on the same formats.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "trace.h"

static double NowNs() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1e9 / (double)frequency.QuadPart;
}

static int OurFormat(char *buffer, DWORD size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = TraceFormat(buffer, size, format, args);
    va_end(args);
    return n;
}

static int LibcFormat(char *buffer, DWORD size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

// The 60-character line: "ribex::RegisterRibexClient, OpenMsgQ failed, errorCode == 2\n".
#define LINE_FORMAT "ribex::%s, %s failed, errorCode == %lu\n"
#define LINE_ARGS "RegisterRibexClient", "OpenMsgQ", 2ul

volatile int sink;

int main() {
    SetEnvironmentVariableW(L"TRACEPORT", NULL);
    SetEnvironmentVariableW(L"TRACESIZE", L"1024 80");
    SetEnvironmentVariableW(L"trace_bench.exe::off", L"4");
    SetEnvironmentVariableW(L"trace_bench.exe::on", L"0xF");
    TraceModule *off = TraceRegister(NULL, L"off");
    TraceModule *on = TraceRegister(NULL, L"on");
    if (off == NULL || on == NULL || on->pBuffer == NULL) {
        fprintf(stderr, "trace_bench: no ring buffer\n");
        return 1;
    }
    char check[128];
    int lineLength = OurFormat(check, sizeof check, LINE_FORMAT, LINE_ARGS);

    printf("trace_bench (ns per line, best of 5 rounds)\n");

    const int OFF_LOOPS = 20000000;
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        double start = NowNs();
        for (int i = 0; i < OFF_LOOPS; ++i) TracePrint(off, TRACE_LEVEL_DETAIL, LINE_FORMAT, LINE_ARGS);
        double ns = (NowNs() - start) / OFF_LOOPS;
        if (ns < best) best = ns;
    }
    printf("  print, level off                          %8.2f ns\n", best);

    const int RING_LOOPS = 500000;
    best = 1e30;
    for (int round = 0; round < 5; ++round) {
        double start = NowNs();
        for (int i = 0; i < RING_LOOPS; ++i) TracePrint(on, TRACE_LEVEL_EVENT, LINE_FORMAT, LINE_ARGS);
        double ns = (NowNs() - start) / RING_LOOPS;
        if (ns < best) best = ns;
    }
    printf("  ring line of %d characters               %8.2f ns\n", lineLength, best);

    struct {
        const char *name;
        int (*format)(char *, DWORD, const char *, ...);
    } formatters[] = {{"TraceFormat", OurFormat}, {"vsnprintf", LibcFormat}};
    printf("\n  %-34s %12s %12s %8s\n", "format", "TraceFormat", "vsnprintf", "ratio");
    const int FORMAT_LOOPS = 200000;
    for (int which = 0; which < 5; ++which) {
        const char *label[] = {"60-char line (%s %s %lu)", "\"%d\" with -123456", "\"%#x:%#x\" unique id",
                               "\"%-20s|%8.3x\"", "\"%s\" of 60 characters"};
        double ns[2];
        for (int f = 0; f < 2; ++f) {
            char buffer[256];
            best = 1e30;
            for (int round = 0; round < 5; ++round) {
                double start = NowNs();
                for (int i = 0; i < FORMAT_LOOPS; ++i) {
                    int n = 0;
                    switch (which) {
                    case 0: n = formatters[f].format(buffer, sizeof buffer, LINE_FORMAT, LINE_ARGS); break;
                    case 1: n = formatters[f].format(buffer, sizeof buffer, "%d", -123456); break;
                    case 2: n = formatters[f].format(buffer, sizeof buffer, "%#x:%#x", 0x1a2bu, 0xdeadbeefu); break;
                    case 3: n = formatters[f].format(buffer, sizeof buffer, "%-20s|%8.3x", "CAN1", 10u); break;
                    default:
                        n = formatters[f].format(buffer, sizeof buffer, "%s",
                                                 "0123456789012345678901234567890123456789012345678901234567\n");
                    }
                    sink = n;
                }
                double t = (NowNs() - start) / FORMAT_LOOPS;
                if (t < best) best = t;
            }
            ns[f] = best;
        }
        printf("  %-34s %9.1f ns %9.1f ns %7.2fx\n", label[which], ns[0], ns[1], ns[1] / ns[0]);
    }
    printf("  (ratio: vsnprintf time / TraceFormat time; above 1 means TraceFormat is faster)\n");
    TraceRelease(on);
    TraceRelease(off);
    return 0;
}
