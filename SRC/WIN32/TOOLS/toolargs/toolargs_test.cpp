// The strict command-line number parser every tool reads its options with.
#include <gtest/gtest.h>

#include <string>

#include "toolargs.h"

namespace {

const unsigned long long kUntouched = 0xDEADBEEFull;
const unsigned long long kAll64 = ~0ull;

struct NumberCase {
    const wchar_t *text;
    int base;
    unsigned long long max;
    BOOL ok;
    unsigned long long value;
};

const NumberCase kNumberCases[] = {
    // Plain numbers, at and around the limit asked for.
    {L"0", 10, 10, TRUE, 0},
    {L"10", 10, 10, TRUE, 10},
    {L"11", 10, 10, FALSE, 0},
    {L"9", 10, 8, FALSE, 0},
    {L"007", 10, 8, TRUE, 7},
    {L"4294967295", 10, 0xFFFFFFFFull, TRUE, 0xFFFFFFFFull},
    {L"4294967296", 10, 0xFFFFFFFFull, FALSE, 0},
    {L"18446744073709551615", 10, kAll64, TRUE, kAll64},
    {L"18446744073709551616", 10, kAll64, FALSE, 0},
    {L"99999999999999999999999", 10, kAll64, FALSE, 0},
    {L"FFFFFFFFFFFFFFFF", 16, kAll64, TRUE, kAll64},
    {L"10000000000000000", 16, kAll64, FALSE, 0},
    {L"1FFFFFFF", 16, 0x1FFFFFFF, TRUE, 0x1FFFFFFF},
    {L"20000000", 16, 0x1FFFFFFF, FALSE, 0},
    // Hex against decimal: the same text, read as asked.
    {L"10", 16, 100, TRUE, 16},
    {L"7e0", 16, 0xFFF, TRUE, 0x7E0},
    {L"7E0", 10, 0xFFF, FALSE, 0},
    // 0x belongs to hex, and needs digits after it.
    {L"0x7E0", 16, 0xFFF, TRUE, 0x7E0},
    {L"0X7e0", 16, 0xFFF, TRUE, 0x7E0},
    {L"0x", 16, 0xFFF, FALSE, 0},
    {L"0x0x1", 16, 0xFFF, FALSE, 0},
    {L"x10", 16, 0xFFF, FALSE, 0},
    {L"0x10", 10, 0xFFF, FALSE, 0},
    // Empty, signs, blanks and garbage.
    {L"", 10, 10, FALSE, 0},
    {L"+5", 10, 10, FALSE, 0},
    {L"-0", 10, 10, FALSE, 0},
    {L"-1", 16, kAll64, FALSE, 0},
    {L" 5", 10, 10, FALSE, 0},
    {L"\t5", 10, 10, FALSE, 0},
    {L"5 ", 10, 10, FALSE, 0},
    {L"5x", 10, 10, FALSE, 0},
    {L"1.5", 10, 10, FALSE, 0},
    {L"12g", 16, 0xFFF, FALSE, 0},
    {L"5:6", 10, 10, FALSE, 0},
    // Bases other than 10 and 16 are not for the tools.
    {L"7", 8, 10, FALSE, 0},
    {L"7", 0, 10, FALSE, 0},
};

TEST(ToolArgs, NumbersAreReadStrictlyInTheBaseAndRangeAsked) {
    for (const NumberCase &c : kNumberCases) {
        unsigned long long value = kUntouched;
        EXPECT_EQ(ParseArgNumber(c.text, c.base, c.max, &value), c.ok)
            << testing::PrintToString(std::wstring(c.text)) << " base " << c.base;
        EXPECT_EQ(value, c.ok ? c.value : kUntouched)
            << testing::PrintToString(std::wstring(c.text)) << " base " << c.base;
    }
}

TEST(ToolArgs, ARefusedNumberSaysWhyInTheLastError) {
    unsigned long long value = 0;
    SetLastError(0);
    EXPECT_FALSE(ParseArgNumber(L"12a", 10, 100, &value));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ParseArgNumber(NULL, 10, 100, &value));
}

TEST(ToolArgs, DwordsStopAtTheirMaximum) {
    DWORD value = 1;
    EXPECT_TRUE(ParseArgDword(L"FFFFFFFF", 16, 0xFFFFFFFF, &value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_FALSE(ParseArgDword(L"100000000", 16, 0xFFFFFFFF, &value));
    EXPECT_FALSE(ParseArgDword(L"65536", 10, 65535, &value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_TRUE(ParseArgDword(L"65535", 10, 65535, &value));
    EXPECT_EQ(value, 65535u);
}

TEST(ToolArgs, HexPairsNeedTwoHexDwordsAroundOneColon) {
    const struct {
        const wchar_t *text;
        BOOL ok;
        DWORD high, low;
    } cases[] = {
        {L"cafe:1", TRUE, 0xCAFE, 1},
        {L"0:0", TRUE, 0, 0},
        {L"FFFFFFFF:ffffffff", TRUE, 0xFFFFFFFF, 0xFFFFFFFF},
        {L"0x10:0X20", TRUE, 0x10, 0x20},
        {L"100000000:1", FALSE, 0, 0},
        {L"1:100000000", FALSE, 0, 0},
        {L"cafe", FALSE, 0, 0},
        {L"cafe:", FALSE, 0, 0},
        {L":1", FALSE, 0, 0},
        {L"1:2:3", FALSE, 0, 0},
        {L" 1:2", FALSE, 0, 0},
        {L"1: 2", FALSE, 0, 0},
        {L"1 :2", FALSE, 0, 0},
        {L"+1:2", FALSE, 0, 0},
        {L"1:-2", FALSE, 0, 0},
        {L"", FALSE, 0, 0},
    };
    for (const auto &c : cases) {
        DWORD high = 0xDEAD, low = 0xBEEF;
        EXPECT_EQ(ParseArgHexPair(c.text, &high, &low), c.ok)
            << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(high, c.ok ? c.high : 0xDEADu) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(low, c.ok ? c.low : 0xBEEFu) << testing::PrintToString(std::wstring(c.text));
    }
    EXPECT_FALSE(ParseArgHexPair(NULL, NULL, NULL));
}

}  // namespace
