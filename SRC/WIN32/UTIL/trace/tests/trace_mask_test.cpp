// Level masks: the module's own variable, then the program-wide one, and
// how their values are read.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "trace.h"
#include "trace_test_env.h"

using namespace trace_test;

namespace {

class TraceMask : public TraceEnvironment {
  protected:
    void SetUp() override {
        TraceEnvironment::SetUp();
        SetVar(L"TRACESIZE", L"16 64");   // a channel, so modules exist
    }
    // The mask a module named `name` gets.
    DWORD MaskOf(const wchar_t *name, HMODULE hModule = NULL) {
        TraceModule *module = TraceRegister(hModule, name);
        EXPECT_NE(module, nullptr);
        DWORD mask = module ? module->levelMask : 0xDEAD;
        TraceRelease(module);
        return mask;
    }
    std::wstring Own(const wchar_t *module) { return ProgramFileName() + L"::" + module; }
};

TEST_F(TraceMask, ModuleVariableFirstThenProgramVariable) {
    SetVar(Own(L"main"), L"0x3");
    SetVar(ProgramFileName(), L"4");
    EXPECT_EQ(MaskOf(L"main"), 3u);
    EXPECT_EQ(MaskOf(L"other"), 4u);
}

TEST_F(TraceMask, AnUnreadableModuleValueSwitchesTheModuleOff) {
    SetVar(Own(L"main"), L"abc");
    SetVar(ProgramFileName(), L"4");
    EXPECT_EQ(MaskOf(L"main"), 0u);   // the program variable is not consulted
    SetVar(Own(L"main"), L"0");
    EXPECT_EQ(MaskOf(L"main"), 0u);
}

TEST_F(TraceMask, NoVariableAtAllGivesMaskZeroButAModule) {
    TraceModule *module = TraceRegister(NULL, L"main");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->levelMask, 0u);
    TraceRelease(module);
}

TEST_F(TraceMask, ValuesAreReadAsDecimalOrWithPrefixAsHex) {
    struct {
        const wchar_t *value;
        DWORD mask;
    } cases[] = {
        {L"12", 12},         {L"  12", 12},         {L"+5", 5},           {L"-1", 0xFFFFFFFFu},
        {L"0x1F", 0x1F},     {L"0X1f", 0x1F},       {L"12abc", 12},       {L"99999999999", 0xFFFFFFFFu},
        {L"0xFFFFFFFFF", 0xFFFFFFFFu}, {L" 0x10", 0}, {L"ff", 0},          {L"010", 10},
        {L"4294967295", 0xFFFFFFFFu}, {L"-0x1", 0},
    };
    for (const auto &c : cases) {
        SetVar(Own(L"main"), c.value);
        EXPECT_EQ(MaskOf(L"main"), c.mask) << testing::PrintToString(std::wstring(c.value));
    }
}

TEST_F(TraceMask, MasksChooseWhichCallsWrite) {
    SetVar(Own(L"main"), L"0x3");
    SetVar(ProgramFileName(), L"4");
    TraceModule *mainModule = TraceRegister(NULL, L"main");
    TraceModule *other = TraceRegister(NULL, L"other");
    ASSERT_NE(mainModule, nullptr);
    ASSERT_NE(other, nullptr);
    TraceEntry(mainModule, "main entry");
    TracePrint(mainModule, TRACE_LEVEL_EVENT, "main event");
    TraceExit(mainModule, "main exit");
    TraceEntry(other, "other entry");
    TracePrint(other, TRACE_LEVEL_EVENT | TRACE_LEVEL_DETAIL, "other event");
    TracePrint(other, TRACE_LEVEL_DETAIL, "other detail");
    TraceExit(other, "other exit");
    EXPECT_EQ(mainModule->pBuffer->noLines, 3);
    EXPECT_EQ(Slot(mainModule, 0), "main entry");
    EXPECT_EQ(Slot(mainModule, 1), "main exit");
    EXPECT_EQ(Slot(mainModule, 2), "other event");
    TraceRelease(mainModule);
    TraceRelease(other);
}

TEST_F(TraceMask, MaskZeroWritesNothingAndOpensNoPort) {
    SetVar(ProgramFileName(), L"0");
    SetVar(L"TRACEPORT", L"COM1 9600");
    TraceModule *module = TraceRegister(NULL, L"main");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->pPort, nullptr);
    TracePrint(module, 0xFFFFFFFF, "nothing");
    TraceEntry(module, "nothing");
    EXPECT_EQ(module->pBuffer->noLines, 0);
    TraceRelease(module);
}

TEST_F(TraceMask, NeitherChannelGivesNoModule) {
    SetVar(L"TRACESIZE", nullptr);
    SetVar(ProgramFileName(), L"0xF");
    EXPECT_EQ(TraceRegister(NULL, L"main"), nullptr);
    // A port that is not there, or a rate outside the list, is no channel.
    for (const wchar_t *port : {L"COM1", L"COM1 250000", L"COM199 9600", L"COM1 0", L""}) {
        SetVar(L"TRACEPORT", port);
        EXPECT_EQ(TraceRegister(NULL, L"main"), nullptr) << testing::PrintToString(std::wstring(port));
    }
}

TEST_F(TraceMask, VariablesOfTheGivenModuleFileComeFirst) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    // Order: kernel32.dll::main, <program>::main, kernel32.dll, <program>.
    SetVar(L"kernel32.dll", L"2");
    SetVar(ProgramFileName(), L"8");
    EXPECT_EQ(MaskOf(L"main", kernel), 2u);
    SetVar(Own(L"main"), L"1");
    EXPECT_EQ(MaskOf(L"main", kernel), 1u);
    SetVar(L"kernel32.dll::main", L"4");
    EXPECT_EQ(MaskOf(L"main", kernel), 4u);
    SetVar(L"kernel32.dll::main", nullptr);
    SetVar(L"kernel32.dll", nullptr);
}

TEST_F(TraceMask, AModuleNameTooLongForTheNameBufferFallsBackToTheProgram) {
    SetVar(ProgramFileName(), L"6");
    std::wstring longName(300, L'm');
    EXPECT_EQ(MaskOf(longName.c_str()), 6u);
    // Exactly filling the 260 characters (NUL included) still works.
    std::wstring fits(259 - ProgramFileName().size() - 2, L'n');
    SetVar(Own(fits.c_str()), L"9");
    EXPECT_EQ(MaskOf(fits.c_str()), 9u);
    SetVar(Own(fits.c_str()), nullptr);
}

TEST_F(TraceMask, ConfigurationIsReadAtRegistrationOnly) {
    SetVar(Own(L"main"), L"4");
    TraceModule *module = TraceRegister(NULL, L"main");
    ASSERT_NE(module, nullptr);
    SetVar(Own(L"main"), L"0");
    SetVar(L"TRACESIZE", nullptr);
    TracePrint(module, TRACE_LEVEL_EVENT, "still on");
    EXPECT_EQ(Slot(module, 0), "still on");
    TraceRelease(module);
}

}  // namespace
