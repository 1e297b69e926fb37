// The clock of the libraries' benchmarks, which print figures and assert
// nothing: the performance counter read in nanoseconds.
#pragma once

#include <windows.h>

namespace util_test {

inline double NowNanoseconds() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1e9 / (double)frequency.QuadPart;
}

// Nanoseconds per call of call(), the best of `rounds` rounds of `calls`
// calls each: other work on the machine only ever makes a round slower.
template <typename Call>
double BestNanosecondsPerCall(int rounds, int calls, Call call) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        double start = NowNanoseconds();
        for (int i = 0; i < calls; ++i) call();
        double perCall = (NowNanoseconds() - start) / calls;
        if (perCall < best) best = perCall;
    }
    return best;
}

}  // namespace util_test
