// The shared fault guard: faults inside a guarded call are contained and
// leave the caller's state intact, guards nest, and threads guard alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include "fault_guard.h"

namespace {

// Read through a volatile, so that the compiler sees no constant bad address.
BYTE *volatile kBad = (BYTE *)(ULONG_PTR)0x10;

struct Steps {
    volatile int done;  // the compiler must not drop a store before the fault
    BYTE *target;
};

void WriteTwice(void *context) {
    Steps *steps = (Steps *)context;
    steps->done = 1;
    *steps->target = 1;  // faults for a bad target
    steps->done = 2;
}

// Many values live across the guarded calls: with registers lost at the
// landing, the sums would come out wrong.
unsigned long long SumAcrossFaults(int rounds) {
    unsigned long long a = 1, b = 2, c = 3, d = 4, e = 5, f = 6, g = 7, h = 8;
    for (int i = 0; i < rounds; ++i) {
        Steps steps = {0, kBad};
        if (FaultGuardRun(WriteTwice, &steps)) return 0;
        a += i, b ^= a, c += b * 3, d += c ^ i, e += d, f ^= e + a, g += f, h += g ^ b;
    }
    return a + b + c + d + e + f + g + h;
}

unsigned long long SumWithoutFaults(int rounds) {
    unsigned long long a = 1, b = 2, c = 3, d = 4, e = 5, f = 6, g = 7, h = 8;
    for (int i = 0; i < rounds; ++i)
        a += i, b ^= a, c += b * 3, d += c ^ i, e += d, f ^= e + a, g += f, h += g ^ b;
    return a + b + c + d + e + f + g + h;
}

void InnerFaultThenOuterFault(void *context) {
    Steps *steps = (Steps *)context;
    Steps inner = {0, kBad};
    steps->done = FaultGuardRun(WriteTwice, &inner) ? 100 : 10 + inner.done;
    *kBad = 1;  // the outer guard is armed again
    steps->done = 99;
}

DWORD WINAPI FaultLoop(void *) {
    for (int i = 0; i < 2000; ++i) {
        Steps steps = {0, kBad};
        if (FaultGuardRun(WriteTwice, &steps) || steps.done != 1) return 1;
    }
    return 0;
}

}  // namespace

TEST(FaultGuard, AFaultAbandonsTheCallAndReportsIt) {
    BYTE good = 0;
    Steps ok = {0, &good};
    SetLastError(4321);
    EXPECT_TRUE(FaultGuardRun(WriteTwice, &ok));
    EXPECT_EQ(ok.done, 2);
    EXPECT_EQ(good, 1);
    Steps bad = {0, kBad};
    EXPECT_FALSE(FaultGuardRun(WriteTwice, &bad));
    EXPECT_EQ(bad.done, 1) << "what came before the fault stays done";
    EXPECT_EQ(GetLastError(), 4321u) << "the guard itself leaves the last error alone";

    char destination[8] = "";
    EXPECT_TRUE(FaultGuardCopy(destination, "abcdefg", 8));
    EXPECT_STREQ(destination, "abcdefg");
    EXPECT_FALSE(FaultGuardCopy(destination, kBad, 8));
    EXPECT_FALSE(FaultGuardCopy(kBad, destination, 8));
    // A read-only page, a page behind an accessible one.
    BYTE *pages = (BYTE *)VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(pages, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + 4096, 4096, PAGE_READONLY, &old));
    EXPECT_FALSE(FaultGuardCopy(pages + 4090, destination, 8));
    EXPECT_TRUE(FaultGuardCopy(destination, pages + 4090, 8));
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST(FaultGuard, TheCallersValuesSurviveManyFaults) {
    EXPECT_EQ(SumAcrossFaults(500), SumWithoutFaults(500));
}

TEST(FaultGuard, GuardsNestAndEveryThreadHasItsOwn) {
    Steps outer = {0, nullptr};
    EXPECT_FALSE(FaultGuardRun(InnerFaultThenOuterFault, &outer));
    EXPECT_EQ(outer.done, 11) << "the inner guard caught the first fault, the outer one the second";
    HANDLE threads[4];
    for (HANDLE &t : threads) t = CreateThread(nullptr, 0, FaultLoop, nullptr, 0, nullptr);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE t : threads) {
        DWORD code = 9;
        GetExitCodeThread(t, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(t);
    }
}
