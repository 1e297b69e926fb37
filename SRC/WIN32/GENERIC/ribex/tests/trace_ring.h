// The server's trace lines as a test in the same process reads them back
// from the machine-wide "TRACEBUFFER" ring (tests that use it hold the
// tracebuffer lock).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ribex_trace_modules.h"

namespace server_test {

// Registers the server's modules with the ring size and the level masks
// given as (variable, mask) pairs, for the whole test program.
struct TraceRing : ::testing::Environment {
    std::wstring size;
    std::vector<std::pair<std::wstring, std::wstring>> masks;
    TraceRing(std::wstring ringSize, std::vector<std::pair<std::wstring, std::wstring>> levelMasks)
        : size(std::move(ringSize)), masks(std::move(levelMasks)) {}
    void SetUp() override {
        SetEnvironmentVariableW(L"TRACESIZE", size.c_str());
        for (const auto &mask : masks)
            SetEnvironmentVariableW(mask.first.c_str(), mask.second.c_str());
        RegisterRibexTraceModules();
    }
    void TearDown() override { ReleaseRibexTraceModules(); }
};

// Every line in the ring, oldest first.
inline std::vector<std::string> TraceLines() {
    DWORD noSlots = 0, slotSize = 0;
    TraceGetBufferSize(g_ribexTrace[TM_MAIN], &noSlots, &slotSize);
    std::vector<char> buffer(static_cast<size_t>(noSlots) * slotSize);
    TraceReadBuffer(g_ribexTrace[TM_MAIN], buffer.data(), static_cast<DWORD>(buffer.size()));
    std::vector<std::string> lines;
    for (DWORD i = 0; i < noSlots && buffer[(size_t)i * slotSize]; i++)
        lines.emplace_back(buffer.data() + static_cast<size_t>(i) * slotSize);
    return lines;
}

inline size_t CountLines(const std::vector<std::string> &lines, const std::string &text) {
    size_t n = 0;
    for (const std::string &line : lines) n += line == text;
    return n;
}

// The lines appear in this order (others may come between); a line ending
// in "..." matches by its beginning.
inline void ExpectInOrder(const std::vector<std::string> &lines,
                          const std::vector<std::string> &expected) {
    size_t at = 0;
    for (const std::string &text : expected) {
        bool prefix = text.size() > 3 && text.compare(text.size() - 3, 3, "...") == 0;
        std::string want = prefix ? text.substr(0, text.size() - 3) : text;
        while (at < lines.size() &&
               (prefix ? lines[at].compare(0, want.size(), want) : lines[at].compare(want)))
            at++;
        EXPECT_LT(at, lines.size())
            << "missing or out of order: " << ::testing::PrintToString(text);
        if (at == lines.size()) return;
        at++;
    }
}

}  // namespace server_test
