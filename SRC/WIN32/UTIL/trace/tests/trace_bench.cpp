// Costs of the trace library, measured in one run and printed:
//   - a print whose level is off,
//   - a 60-character line into the shared ring,
//   - TraceFormat against the C library's vsnprintf on the same formats.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bench_clock.h"
#include "trace.h"

using util_test::BestNanosecondsPerCall;

namespace {

constexpr int ROUNDS = 5;

// A formatter as the bench calls it: TraceFormat itself, or vsnprintf.
typedef int (*Formatter)(char *buffer, DWORD size, const char *format, va_list args);

int LibcFormat(char *buffer, DWORD size, const char *format, va_list args) {
    return vsnprintf(buffer, size, format, args);
}

int FormatWith(Formatter formatter, char *buffer, DWORD size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = formatter(buffer, size, format, args);
    va_end(args);
    return n;
}

// The 60-character line: "ribex::RegisterRibexClient, OpenMsgQ failed, errorCode == 2\n".
constexpr char LINE_FORMAT[] = "ribex::%s, %s failed, errorCode == %lu\n";
constexpr char LINE_FUNCTION[] = "RegisterRibexClient";
constexpr char LINE_CALL[] = "OpenMsgQ";
constexpr unsigned long LINE_ERROR = 2;

// The formats compared, each a call of one formatter into a line buffer.
struct FormatCase {
    const char *label;
    int (*run)(Formatter format, char *buffer, DWORD size);
};

const FormatCase FORMAT_CASES[] = {
    {"60-char line (%s %s %lu)",
     [](Formatter f, char *b, DWORD n) {
         return FormatWith(f, b, n, LINE_FORMAT, LINE_FUNCTION, LINE_CALL, LINE_ERROR);
     }},
    {"\"%d\" with -123456",
     [](Formatter f, char *b, DWORD n) { return FormatWith(f, b, n, "%d", -123456); }},
    {"\"%#x:%#x\" unique id",
     [](Formatter f, char *b, DWORD n) {
         return FormatWith(f, b, n, "%#x:%#x", 0x1a2bu, 0xdeadbeefu);
     }},
    {"\"%-20s|%8.3x\"",
     [](Formatter f, char *b, DWORD n) {
         return FormatWith(f, b, n, "%-20s|%8.3x", "CAN1", 10u);
     }},
    {"\"%s\" of 60 characters",
     [](Formatter f, char *b, DWORD n) {
         return FormatWith(f, b, n, "%s",
                           "0123456789012345678901234567890123456789012345678901234567\n");
     }},
};

volatile int sink;

}  // namespace

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
    int lineLength = FormatWith(TraceFormat, check, sizeof check, LINE_FORMAT, LINE_FUNCTION,
                                LINE_CALL, LINE_ERROR);

    printf("trace_bench (ns per line, best of %d rounds)\n", ROUNDS);
    double ns = BestNanosecondsPerCall(ROUNDS, 20000000, [&] {
        TracePrint(off, TRACE_LEVEL_DETAIL, LINE_FORMAT, LINE_FUNCTION, LINE_CALL, LINE_ERROR);
    });
    printf("  print, level off                          %8.2f ns\n", ns);
    ns = BestNanosecondsPerCall(ROUNDS, 500000, [&] {
        TracePrint(on, TRACE_LEVEL_EVENT, LINE_FORMAT, LINE_FUNCTION, LINE_CALL, LINE_ERROR);
    });
    printf("  ring line of %d characters               %8.2f ns\n", lineLength, ns);

    printf("\n  %-34s %12s %12s %8s\n", "format", "TraceFormat", "vsnprintf", "ratio");
    for (const FormatCase &c : FORMAT_CASES) {
        double perFormatter[2];
        const Formatter formatters[2] = {TraceFormat, LibcFormat};
        for (int f = 0; f < 2; ++f) {
            char buffer[256];
            perFormatter[f] = BestNanosecondsPerCall(
                ROUNDS, 200000, [&] { sink = c.run(formatters[f], buffer, sizeof buffer); });
        }
        printf("  %-34s %9.1f ns %9.1f ns %7.2fx\n", c.label, perFormatter[0], perFormatter[1],
               perFormatter[1] / perFormatter[0]);
    }
    printf("  (ratio: vsnprintf time / TraceFormat time; above 1 means TraceFormat is faster)\n");
    TraceRelease(on);
    TraceRelease(off);
    return 0;
}
