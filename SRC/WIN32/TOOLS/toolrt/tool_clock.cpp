#include "tool_clock.h"

namespace {

unsigned long long FileTimeValue(const FILETIME *t) {
    return ((unsigned long long)t->dwHighDateTime << 32) | t->dwLowDateTime;
}

// The counter's frequency cannot change while the system runs: asked once.
unsigned long long Frequency() {
    static volatile LONG64 frequency = 0;
    LONG64 f = frequency;
    if (f == 0) {
        LARGE_INTEGER q;
        f = QueryPerformanceFrequency(&q) && q.QuadPart > 0 ? q.QuadPart : 1;
        InterlockedExchange64(&frequency, f);
    }
    return (unsigned long long)f;
}

unsigned long long Counter() {
    LARGE_INTEGER c;
    if (!QueryPerformanceCounter(&c) || c.QuadPart < 0) return 0;
    return (unsigned long long)c.QuadPart;
}

}  // namespace

// In two parts, neither of which overflows while mul * div fits 64 bits.
unsigned long long ToolMulDiv(unsigned long long value, unsigned long long mul, unsigned long long div) {
    if (div == 0) return 0;
    return value / div * mul + value % div * mul / div;
}

unsigned long long ToolTicksTo100ns(unsigned long long counter, unsigned long long frequency) {
    return ToolMulDiv(counter, 10000000ull, frequency);
}

unsigned long long ToolNow100ns(void) { return ToolTicksTo100ns(Counter(), Frequency()); }

unsigned long long ToolNowMs(void) { return ToolMulDiv(Counter(), 1000ull, Frequency()); }

double ToolCpuSeconds(void) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return (double)(FileTimeValue(&kernel) + FileTimeValue(&user)) / 1e7;
}
