// The shared ring (geometry from TRACESIZE, wrap, reading, writers in many
// threads and in a second process) and the per-module level masks.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "faulting_memory.h"
#include "trace.h"

namespace {

std::wstring Program() {   // the variables name our file without its folder
    wchar_t path[MAX_PATH];
    std::wstring full(path, GetModuleFileNameW(NULL, path, MAX_PATH));
    return full.substr(full.find_last_of(L'\\') + 1);
}
void SetVar(const std::wstring &name, const wchar_t *value) {
    SetEnvironmentVariableW(name.c_str(), value);
}
std::wstring Own(const wchar_t *module) { return Program() + L"::" + module; }

bool TraceBufferExists() {
    HANDLE h = OpenFileMappingW(FILE_MAP_READ, FALSE, L"TRACEBUFFER");
    if (h != NULL) CloseHandle(h);
    return h != NULL;
}

std::string Slot(TraceModule *module, DWORD i) {
    return (const char *)(module->pBuffer + 1) + (size_t)i * module->pBuffer->slotSize;
}

// Each test starts with no trace variables and no "TRACEBUFFER", and leaves none.
class Trace : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(Clear()) << "a TRACEBUFFER from elsewhere is alive"; }
    void TearDown() override { EXPECT_FALSE(Clear()) << "the test left its TRACEBUFFER open"; }
    static bool Clear() {
        for (const wchar_t *name : {L"TRACESIZE", L"TRACEPORT", L"trace_child.exe", L"kernel32.dll",
                                    L"kernel32.dll::main"})
            SetVar(name, nullptr);
        for (const wchar_t *suffix : {L"", L"::main", L"::other"})
            SetVar(Program() + suffix, nullptr);
        return TraceBufferExists();
    }
    // A module that writes every level into a ring of the given TRACESIZE.
    static TraceModule *Ring(const wchar_t *traceSize) {
        SetVar(L"TRACESIZE", traceSize);
        SetVar(Program(), L"0xF");
        return TraceRegister(NULL, L"ring");
    }
    // The mask a module gets, with some ring to make it exist.
    static DWORD MaskOf(const wchar_t *name, HMODULE hModule = NULL) {
        SetVar(L"TRACESIZE", L"4 16");
        TraceModule *module = TraceRegister(hModule, name);
        DWORD mask = module ? module->levelMask : 0xDEAD;
        TraceRelease(module);
        return mask;
    }
};

TEST_F(Trace, GeometryComesFromTraceSize) {
    struct {
        const wchar_t *traceSize;
        DWORD noSlots, slotSize;   // 0: no ring, and with no port no module
    } cases[] = {
        {L"100 80", 100, 80}, {L"0x40 0x50", 64, 80}, {L"1f 80", 1, 80}, {L"ff 2", 255, 2},
        {L"\"12\" 34 extra", 12, 34}, {L"100", 0, 0}, {L"0 80", 0, 0}, {L"x y", 0, 0},
        {L"65536 65536", 0, 0}, {L"-1 10", 0, 0},
    };
    for (const auto &c : cases) {
        std::string shown = testing::PrintToString(std::wstring(c.traceSize));
        TraceModule *module = Ring(c.traceSize);
        EXPECT_EQ(module != nullptr, c.noSlots != 0) << shown;
        if (module == nullptr) continue;
        EXPECT_EQ(module->pBuffer->enabled, 1u);
        EXPECT_EQ(module->pBuffer->noLines, 0);
        DWORD slots = 1, size = 1;
        TraceGetBufferSize(module, &slots, &size);
        EXPECT_EQ(slots, c.noSlots) << shown;
        EXPECT_EQ(size, c.slotSize) << shown;
        MEMORY_BASIC_INFORMATION info;   // the whole ring is mapped
        ASSERT_TRUE(VirtualQuery(module->pBuffer, &info, sizeof info));
        EXPECT_GE(info.RegionSize, 16u + (SIZE_T)c.noSlots * c.slotSize);
        TraceRelease(module);
        EXPECT_FALSE(TraceBufferExists());
    }
}

TEST_F(Trace, WrapAfter250LinesIn100SlotsReadsOldestFirst) {
    TraceModule *module = Ring(L"100 80");
    ASSERT_NE(module, nullptr);
    for (int k = 1; k <= 250; ++k) TracePrint(module, TRACE_LEVEL_EVENT, "line %d", k);
    EXPECT_EQ(module->pBuffer->noLines, 250);
    for (DWORD slot = 0; slot < 100; ++slot)
        ASSERT_EQ(Slot(module, slot), "line " + std::to_string((slot < 50 ? 201 : 101) + slot));
    std::vector<char> copy(100 * 80, 'x');
    TraceReadBuffer(module, copy.data(), (DWORD)copy.size());
    for (int i = 0; i < 100; ++i)
        ASSERT_STREQ(copy.data() + i * 80, ("line " + std::to_string(151 + i)).c_str());
    EXPECT_EQ(module->pBuffer->enabled, 1u);
    TraceEntry(module, "line %d", 251);
    EXPECT_EQ(Slot(module, 50), "line 251");
    TraceRelease(module);
}

TEST_F(Trace, ReadingCuttingHoldingAndClearing) {
    TraceModule *module = Ring(L"8 16");
    ASSERT_NE(module, nullptr);
    TracePrint(module, TRACE_LEVEL_EVENT, "%s", std::string(300, 'q').c_str());
    for (int k = 2; k <= 4; ++k) TracePrint(module, TRACE_LEVEL_EVENT, "L%d", k);
    TracePrint(module, TRACE_LEVEL_EVENT, nullptr);   // claims a slot, keeps its text
    EXPECT_EQ(Slot(module, 0), std::string(15, 'q'));
    EXPECT_EQ(module->pBuffer->noLines, 5);

    // Before the wrap reading starts at slot 0 and stops at the room given.
    std::vector<char> small(2 * 16 + 8, 'x');
    TraceReadBuffer(module, small.data(), 2 * 16);
    EXPECT_STREQ(small.data() + 16, "L2");
    EXPECT_EQ(std::string(small.data() + 32, 8), std::string(8, 'x'));
    char tiny[8] = "xxxxxxx";   // smaller than a slot: only a NUL
    TraceReadBuffer(module, tiny, sizeof tiny);
    EXPECT_EQ(std::string(tiny, 2), std::string("\0x", 2));

    // While a reader holds the ring, writers drop their lines.
    module->pBuffer->enabled = 0;
    TracePrint(module, TRACE_LEVEL_EVENT, "dropped");
    EXPECT_EQ(module->pBuffer->noLines, 5);
    module->pBuffer->enabled = 1;

    TraceClearBuffer(module);
    EXPECT_EQ(module->pBuffer->noLines, 0);
    for (DWORD i = 0; i < 8; ++i) EXPECT_EQ(Slot(module, i), "");
    TraceRelease(module);

    // A null module (no channel) is accepted everywhere and changes nothing.
    DWORD slots = 7, size = 7, clears = 7;
    TraceGetBufferSize(nullptr, &slots, &size);
    EXPECT_EQ(slots + size, 0u);
    EXPECT_FALSE(TraceGetClearCount(nullptr, &clears));
    EXPECT_EQ(clears, 0u);
    memcpy(tiny, "xxxxxxx", sizeof tiny);
    TraceReadBuffer(nullptr, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "xxxxxxx");
    SetLastError(4321);
    TraceClearBuffer(nullptr);
    TraceExit(nullptr, "x");
    TracePrint(nullptr, TRACE_LEVEL_EVENT, "x");
    EXPECT_EQ(GetLastError(), 4321u);
}

TEST_F(Trace, ManyThreadsLoseNoSlotCount) {
    TraceModule *module = Ring(L"64 40");
    ASSERT_NE(module, nullptr);
    const int THREADS = 8, LINES_PER_THREAD = 3000;
    HANDLE threads[THREADS];
    for (int t = 0; t < THREADS; ++t) {
        threads[t] = CreateThread(
            nullptr, 0,
            [](void *p) -> DWORD {
                for (int i = 0; i < LINES_PER_THREAD; ++i)
                    TracePrint((TraceModule *)p, TRACE_LEVEL_EVENT, "thread %lu line %d",
                               GetCurrentThreadId(), i);
                return 0;
            },
            module, 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(THREADS, threads, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : threads) CloseHandle(h);
    EXPECT_EQ(module->pBuffer->noLines, THREADS * LINES_PER_THREAD);
    for (DWORD i = 0; i < 64; ++i) {   // every slot holds one whole line
        unsigned long id;
        int line, end = 0;
        std::string s = Slot(module, i);
        EXPECT_EQ(sscanf(s.c_str(), "thread %lu line %d%n", &id, &line, &end), 2) << s;
        EXPECT_EQ((size_t)end, s.size()) << s;
    }
    TraceRelease(module);
}

TEST_F(Trace, FaultsInsideTraceCallsAreContainedAndOthersAreNot) {
    TraceModule *module = Ring(L"4 32");
    ASSERT_NE(module, nullptr);
    SetLastError(1234);
    TracePrint(module, TRACE_LEVEL_EVENT, "bad %s!", (const char *)util_test::UnmappedAddress());
    EXPECT_EQ(GetLastError(), 1234u);   // tracing keeps the caller's last error
    EXPECT_EQ(Slot(module, 0), "bad ");   // cut where the fault hit
    TracePrint(module, TRACE_LEVEL_EVENT, "good %d", 2);
    EXPECT_EQ(Slot(module, 1), "good 2");
    TraceReadBuffer(module, (char *)util_test::UnmappedAddress(), 1000);
    EXPECT_EQ(module->pBuffer->enabled, 1u);   // handed back to the writers
    TraceRelease(module);
    // A fault outside any trace call still reaches the process's own filter.
    SetVar(L"trace_child.exe", L"4");
    EXPECT_EQ(ribex_test::RunProgram(L"trace_child", L"crash", 20000), 77u);
}

TEST_F(Trace, LevelMaskFallbacksAndValues) {
    // <file of hModule>::<module>, <program>::<module>, <file of hModule>, <program>.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetVar(Program(), L"8");
    EXPECT_EQ(MaskOf(L"main"), 8u);
    SetVar(L"kernel32.dll", L"2");
    EXPECT_EQ(MaskOf(L"main", kernel), 2u);
    SetVar(Own(L"main"), L"1");
    EXPECT_EQ(MaskOf(L"main", kernel), 1u);
    SetVar(L"kernel32.dll::main", L"4");
    EXPECT_EQ(MaskOf(L"main", kernel), 4u);
    EXPECT_EQ(MaskOf(L"other"), 8u);
    // A module name too long for the name buffer falls back to the program.
    EXPECT_EQ(MaskOf(std::wstring(300, L'm').c_str()), 8u);
    SetVar(Program(), nullptr);
    EXPECT_EQ(MaskOf(L"other"), 0u);   // no variable: a module with mask 0

    struct {
        const wchar_t *value;
        DWORD mask;
    } cases[] = {
        {L"  12", 12},
        {L"+5", 5},
        {L"-1", 0xFFFFFFFFu},
        {L"0X1f", 0x1F},
        {L"12abc", 12},
        {L"010", 10},
        {L"99999999999", 0xFFFFFFFFu},
        {L"0xFFFFFFFFF", 0xFFFFFFFFu},
        {L" 0x10", 0},
        {L"ff", 0},
        {L"abc", 0},
    };
    SetVar(Program(), L"4");   // an unreadable module value is not passed over
    for (const auto &c : cases) {
        SetVar(Own(L"main"), c.value);
        EXPECT_EQ(MaskOf(L"main"), c.mask) << testing::PrintToString(std::wstring(c.value));
    }
}

TEST_F(Trace, EntryExitAndPrintWriteWhenTheirLevelIsInTheMask) {
    SetVar(L"TRACESIZE", L"16 64");
    SetVar(Own(L"main"), L"0x3");
    SetVar(Program(), L"4");
    TraceModule *mainModule = TraceRegister(NULL, L"main"), *other = TraceRegister(NULL, L"other");
    ASSERT_TRUE(mainModule && other);
    for (TraceModule *m : {mainModule, other}) {
        TraceEntry(m, "entry %lu", m->levelMask);
        TracePrint(m, TRACE_LEVEL_EVENT | TRACE_LEVEL_DETAIL, "event %lu", m->levelMask);
        TracePrint(m, TRACE_LEVEL_DETAIL, "detail %lu", m->levelMask);
        TraceExit(m, "exit %lu", m->levelMask);
    }
    EXPECT_EQ(mainModule->pBuffer->noLines, 3);
    EXPECT_EQ(Slot(mainModule, 0) + "|" + Slot(mainModule, 1) + "|" + Slot(mainModule, 2),
              "entry 3|exit 3|event 4");
    TraceRelease(mainModule);
    TraceRelease(other);
    // Neither a ring nor a usable port: no module.
    SetVar(L"TRACESIZE", nullptr);
    for (const wchar_t *port : {L"", L"COM1", L"COM199 9600", L"COM1 0"}) {
        SetVar(L"TRACEPORT", port);
        EXPECT_EQ(TraceRegister(NULL, L"main"), nullptr)
            << testing::PrintToString(std::wstring(port));
    }
}

}  // namespace
