// Environment set-up shared by the trace tests: each test starts with no
// trace variables and no "TRACEBUFFER", and leaves none behind.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "trace.h"

namespace trace_test {

// The running test's own file name, as the level-mask variables use it.
inline std::wstring ProgramFileName() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring full(path, n);
    return full.substr(full.find_last_of(L'\\') + 1);
}

inline void SetVar(const std::wstring &name, const wchar_t *value) {
    SetEnvironmentVariableW(name.c_str(), value);
}

inline bool TraceBufferExists() {
    HANDLE h = OpenFileMappingW(FILE_MAP_READ, FALSE, L"TRACEBUFFER");
    if (h == NULL) return false;
    CloseHandle(h);
    return true;
}

class TraceEnvironment : public ::testing::Test {
  protected:
    void SetUp() override {
        Clear();
        ASSERT_FALSE(TraceBufferExists()) << "a TRACEBUFFER from elsewhere is alive";
    }
    void TearDown() override {
        Clear();
        EXPECT_FALSE(TraceBufferExists()) << "the test left its TRACEBUFFER open";
    }
    static void Clear() {
        SetVar(L"TRACESIZE", nullptr);
        SetVar(L"TRACEPORT", nullptr);
        SetVar(ProgramFileName(), nullptr);
        for (const wchar_t *m : {L"main", L"other", L"ring", L"reader"}) SetVar(ProgramFileName() + L"::" + m, nullptr);
    }
};

// Slot i of a module's ring as text.
inline std::string Slot(TraceModule *module, DWORD i) {
    const char *slots = (const char *)(module->pBuffer + 1);
    return std::string(slots + (size_t)i * module->pBuffer->slotSize);
}

}  // namespace trace_test
