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

// counter * unitsPerSecond / frequency in two parts, neither of which overflows.
unsigned long long Scale(unsigned long long counter, unsigned long long frequency,
                         unsigned long long unitsPerSecond) {
    if (frequency == 0) return 0;
    return counter / frequency * unitsPerSecond + counter % frequency * unitsPerSecond / frequency;
}

}  // namespace

unsigned long long ToolTicksTo100ns(unsigned long long counter, unsigned long long frequency) {
    return Scale(counter, frequency, 10000000ull);
}

unsigned long long ToolNow100ns(void) { return ToolTicksTo100ns(Counter(), Frequency()); }

unsigned long long ToolNowMs(void) { return Scale(Counter(), Frequency(), 1000ull); }

double ToolCpuSeconds(void) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return (double)(FileTimeValue(&kernel) + FileTimeValue(&user)) / 1e7;
}
