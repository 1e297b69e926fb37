// The shared ring: geometry from TRACESIZE, where lines land, wrap, reading
// and clearing, writers in many threads and in a second process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "trace.h"
#include "trace_test_env.h"

using namespace trace_test;

namespace {

class TraceRing : public TraceEnvironment {
  protected:
    // A module that writes every level into a ring of the given TRACESIZE.
    TraceModule *Ring(const wchar_t *traceSize) {
        SetVar(L"TRACESIZE", traceSize);
        SetVar(ProgramFileName(), L"0xF");
        return TraceRegister(NULL, L"ring");
    }
};

TEST_F(TraceRing, GeometryComesFromTraceSize) {
    struct {
        const wchar_t *traceSize;
        DWORD noSlots, slotSize;
    } cases[] = {
        {L"100 80", 100, 80},  {L"0x40 0x50", 64, 80}, {L"1f 80", 1, 80},
        {L"ff 2", 255, 2},     {L"  7   9 ", 7, 9},     {L"\"12\" 34 extra", 12, 34},
    };
    for (const auto &c : cases) {
        TraceModule *module = Ring(c.traceSize);
        ASSERT_NE(module, nullptr) << c.traceSize;
        ASSERT_NE(module->pBuffer, nullptr);
        EXPECT_EQ(module->pBuffer->enabled, 1u);
        EXPECT_EQ(module->pBuffer->noSlots, c.noSlots) << c.traceSize;
        EXPECT_EQ(module->pBuffer->slotSize, c.slotSize) << c.traceSize;
        EXPECT_EQ(module->pBuffer->noLines, 0);
        DWORD slots = 1, size = 1;
        TraceGetBufferSize(module, &slots, &size);
        EXPECT_EQ(slots, c.noSlots);
        EXPECT_EQ(size, c.slotSize);
        // The whole ring is there: the last byte of the last slot is writable.
        MEMORY_BASIC_INFORMATION info;
        ASSERT_TRUE(VirtualQuery(module->pBuffer, &info, sizeof info));
        EXPECT_GE(info.RegionSize, 16u + (SIZE_T)c.noSlots * c.slotSize);
        TraceRelease(module);
        EXPECT_FALSE(TraceBufferExists());
    }
}

TEST_F(TraceRing, MalformedOrTooLargeTraceSizeGivesNoRing) {
    for (const wchar_t *traceSize : {L"100", L"0 80", L"80 0", L"", L"   ", L"x y", L"65536 65536",
                                     L"4294967295 1", L"-1 10"}) {
        TraceModule *module = Ring(traceSize);
        // No ring and no port: the module has no channel at all.
        EXPECT_EQ(module, nullptr) << "TRACESIZE \"" << testing::PrintToString(std::wstring(traceSize)) << "\"";
        TraceRelease(module);
        EXPECT_FALSE(TraceBufferExists());
    }
}

TEST_F(TraceRing, LinesAreCutToTheSlot) {
    TraceModule *module = Ring(L"100 80");
    ASSERT_NE(module, nullptr);
    std::string line(300, 'q');
    TracePrint(module, TRACE_LEVEL_EVENT, "%s", line.c_str());
    EXPECT_EQ(Slot(module, 0), std::string(79, 'q'));
    TracePrint(module, TRACE_LEVEL_DETAIL, "\nribex::%s Entry\n", "main");
    EXPECT_EQ(Slot(module, 1), "\nribex::main Entry\n");
    TraceRelease(module);
}

TEST_F(TraceRing, WrapAfter250LinesIn100Slots) {
    TraceModule *module = Ring(L"100 80");
    ASSERT_NE(module, nullptr);
    for (int k = 1; k <= 250; ++k) TracePrint(module, TRACE_LEVEL_EVENT, "line %d", k);
    EXPECT_EQ(module->pBuffer->noLines, 250);
    for (DWORD slot = 0; slot < 50; ++slot) ASSERT_EQ(Slot(module, slot), "line " + std::to_string(201 + slot));
    for (DWORD slot = 50; slot < 100; ++slot) ASSERT_EQ(Slot(module, slot), "line " + std::to_string(101 + slot));

    // Read back oldest first: lines 151 to 250.
    std::vector<char> copy(100 * 80, 'x');
    TraceReadBuffer(module, copy.data(), (DWORD)copy.size());
    for (int i = 0; i < 100; ++i) ASSERT_STREQ(copy.data() + i * 80, ("line " + std::to_string(151 + i)).c_str());
    EXPECT_EQ(module->pBuffer->enabled, 1u);

    TraceEntry(module, "line %d", 251);
    EXPECT_EQ(Slot(module, 50), "line 251");
    TraceRelease(module);
}

TEST_F(TraceRing, ReadingBeforeTheWrapEndsWithTheEmptyNextSlot) {
    TraceModule *module = Ring(L"100 16");
    ASSERT_NE(module, nullptr);
    for (int k = 1; k <= 10; ++k) TracePrint(module, TRACE_LEVEL_EVENT, "L%d", k);

    // Three slots' room: slots 0, 1 and 2, nothing written behind them.
    std::vector<char> small(3 * 16 + 8, 'x');
    TraceReadBuffer(module, small.data(), 3 * 16);
    EXPECT_STREQ(small.data(), "L1");
    EXPECT_STREQ(small.data() + 16, "L2");
    EXPECT_STREQ(small.data() + 32, "L3");
    EXPECT_EQ(std::string(small.data() + 48, 8), std::string(8, 'x'));

    // Room for all: slots 0 to 10, slot 10 still empty, then a 0 byte.
    std::vector<char> all(100 * 16, 'x');
    TraceReadBuffer(module, all.data(), (DWORD)all.size());
    EXPECT_STREQ(all.data() + 9 * 16, "L10");
    EXPECT_EQ(all[10 * 16], '\0');
    EXPECT_EQ(all[11 * 16], '\0');
    EXPECT_EQ(all[11 * 16 + 1], 'x');

    // A buffer smaller than a slot gets only its leading NUL.
    char tiny[8] = "xxxxxxx";
    TraceReadBuffer(module, tiny, sizeof tiny);
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_EQ(tiny[1], 'x');
    EXPECT_EQ(module->pBuffer->enabled, 1u);
    TraceRelease(module);
}

TEST_F(TraceRing, ClearEmptiesEverySlot) {
    TraceModule *module = Ring(L"8 16");
    ASSERT_NE(module, nullptr);
    for (int k = 1; k <= 13; ++k) TracePrint(module, TRACE_LEVEL_EVENT, "L%d", k);
    TraceClearBuffer(module);
    EXPECT_EQ(module->pBuffer->noLines, 0);
    EXPECT_EQ(module->pBuffer->enabled, 1u);
    for (DWORD i = 0; i < 8; ++i) EXPECT_EQ(Slot(module, i), "");
    TracePrint(module, TRACE_LEVEL_EVENT, "after");
    EXPECT_EQ(Slot(module, 0), "after");
    TraceRelease(module);
}

TEST_F(TraceRing, WritersDropLinesWhileAReaderHoldsTheRing) {
    TraceModule *module = Ring(L"8 16");
    ASSERT_NE(module, nullptr);
    module->pBuffer->enabled = 0;
    TracePrint(module, TRACE_LEVEL_EVENT, "dropped");
    EXPECT_EQ(module->pBuffer->noLines, 0);
    EXPECT_EQ(Slot(module, 0), "");
    module->pBuffer->enabled = 1;
    TracePrint(module, TRACE_LEVEL_EVENT, "kept");
    EXPECT_EQ(Slot(module, 0), "kept");
    TraceRelease(module);
}

TEST_F(TraceRing, NullFormatClaimsASlotAndKeepsItsText) {
    TraceModule *module = Ring(L"2 16");
    ASSERT_NE(module, nullptr);
    TracePrint(module, TRACE_LEVEL_EVENT, "first");
    TracePrint(module, TRACE_LEVEL_EVENT, "second");
    TracePrint(module, TRACE_LEVEL_EVENT, nullptr);
    EXPECT_EQ(module->pBuffer->noLines, 3);
    EXPECT_EQ(Slot(module, 0), "first");
    TraceRelease(module);
}

TEST_F(TraceRing, NullModuleDoesNothing) {
    DWORD slots = 7, size = 7;
    TraceGetBufferSize(nullptr, &slots, &size);
    EXPECT_EQ(slots, 0u);
    EXPECT_EQ(size, 0u);
    char buffer[4] = "abc";
    TraceReadBuffer(nullptr, buffer, sizeof buffer);
    TraceClearBuffer(nullptr);
    TracePrint(nullptr, 0xF, "x");
    TraceEntry(nullptr, "x");
    TraceExit(nullptr, "x");
    TraceRelease(nullptr);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(TraceRing, ManyThreadsLoseNoSlotCount) {
    TraceModule *module = Ring(L"64 40");
    ASSERT_NE(module, nullptr);
    const int kThreads = 8, kLines = 3000;
    struct Work {
        TraceModule *module;
        int id;
    } work[kThreads];
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        work[t] = {module, t};
        threads[t] = CreateThread(
            nullptr, 0,
            [](void *p) -> DWORD {
                Work *w = (Work *)p;
                for (int i = 0; i < kLines; ++i)
                    TracePrint(w->module, TRACE_LEVEL_EVENT, "thread %d line %d", w->id, i);
                return 0;
            },
            &work[t], 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(kThreads, threads, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : threads) CloseHandle(h);
    EXPECT_EQ(module->pBuffer->noLines, kThreads * kLines);
    // Every slot holds one whole line of some thread.
    for (DWORD i = 0; i < 64; ++i) {
        int id = -1, line = -1;
        EXPECT_EQ(sscanf(Slot(module, i).c_str(), "thread %d line %d", &id, &line), 2) << Slot(module, i);
    }
    TraceRelease(module);
}

TEST_F(TraceRing, ASecondProcessKeepsTheFirstGeometry) {
    TraceModule *module = Ring(L"100 80");
    ASSERT_NE(module, nullptr);
    TracePrint(module, TRACE_LEVEL_EVENT, "parent line");
    // The child asks for a much smaller ring and writes through ours.
    SetVar(L"TRACESIZE", L"10 20");
    SetVar(L"trace_child.exe", L"4");
    std::string out;
    DWORD code = ribex_test::RunProgram(L"trace_child", L"geometry 12", 20000, &out);
    SetVar(L"trace_child.exe", nullptr);
    EXPECT_EQ(code, 0u) << out;
    EXPECT_NE(out.find("slots 100 size 80"), std::string::npos) << out;
    EXPECT_EQ(module->pBuffer->noSlots, 100u);
    EXPECT_EQ(module->pBuffer->slotSize, 80u);
    EXPECT_EQ(module->pBuffer->noLines, 13);
    EXPECT_EQ(Slot(module, 0), "parent line");
    EXPECT_EQ(Slot(module, 12), "child line 12");
    TraceRelease(module);
}

TEST_F(TraceRing, ABadStringPointerAbandonsOnlyItsLine) {
    TraceModule *module = Ring(L"4 32");
    ASSERT_NE(module, nullptr);
    SetLastError(1234);
    TracePrint(module, TRACE_LEVEL_EVENT, "bad %s!", (const char *)(ULONG_PTR)0x10);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(module->pBuffer->noLines, 1);
    EXPECT_EQ(Slot(module, 0), "bad ");   // cut where the fault hit
    TracePrint(module, TRACE_LEVEL_EVENT, "good %d", 2);
    EXPECT_EQ(Slot(module, 1), "good 2");
    // Reading into memory that is not there is contained as well, and the
    // ring is handed back to the writers.
    TraceReadBuffer(module, (char *)(ULONG_PTR)0x10, 1000);
    EXPECT_EQ(module->pBuffer->enabled, 1u);
    TraceRelease(module);

    // The same in a separate process, which must end normally.
    SetVar(L"TRACESIZE", L"4 32");
    SetVar(L"trace_child.exe", L"4");
    EXPECT_EQ(ribex_test::RunProgram(L"trace_child", L"fault", 20000), 0u);
    SetVar(L"trace_child.exe", nullptr);
}

TEST_F(TraceRing, FaultsOutsideTraceCallsAreNotSwallowed) {
    SetVar(L"TRACESIZE", L"4 32");
    SetVar(L"trace_child.exe", L"4");
    EXPECT_EQ(ribex_test::RunProgram(L"trace_child", L"crash", 20000), 77u);
    SetVar(L"trace_child.exe", nullptr);
}

TEST_F(TraceRing, TracingKeepsTheCallersLastError) {
    TraceModule *module = Ring(L"4 32");
    ASSERT_NE(module, nullptr);
    SetLastError(ERROR_INVALID_PARAMETER);
    TracePrint(module, TRACE_LEVEL_EVENT, "failed, errorCode == %lu\n", 87u);
    TraceEntry(module, "x");
    TraceExit(module, "x");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    TraceRelease(module);
}

}  // namespace
