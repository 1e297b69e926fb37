// The tool runtime: the strict number parser every tool reads its options
// with, the option table, the stop request and the clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_clock.h"
#include "tool_number.h"
#include "tool_options.h"
#include "tool_stop.h"

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

TEST(ToolArgs, DecimalOrHexNumbersTakeHexOnlyAfter0x) {
    const struct {
        const wchar_t *text;
        BOOL ok;
        DWORD value;
    } cases[] = {
        {L"10", TRUE, 10},   {L"010", TRUE, 10},  {L"0x10", TRUE, 16}, {L"0XfF", TRUE, 255},
        {L"0x", FALSE, 0},   {L"1f", FALSE, 0},   {L" 5", FALSE, 0},   {L"+5", FALSE, 0},
        {L"-1", FALSE, 0},   {L"0x100", FALSE, 0}, {L"256", FALSE, 0}, {L"", FALSE, 0},
    };
    for (const auto &c : cases) {
        DWORD value = 77;
        EXPECT_EQ(ParseArgDwordOrHex(c.text, 255, &value), c.ok)
            << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(value, c.ok ? c.value : 77u) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST(ToolArgs, DecimalFractionsHaveDigitsAndOnePointOnly) {
    const struct {
        const wchar_t *text;
        BOOL ok;
        double value;
    } cases[] = {
        {L"7600", TRUE, 7600}, {L"0.5", TRUE, 0.5}, {L"12.", TRUE, 12}, {L".25", TRUE, 0.25},
        {L"1000000", TRUE, 1e6}, {L"1000000.5", FALSE, 0}, {L".", FALSE, 0}, {L"", FALSE, 0},
        {L"1.2.3", FALSE, 0}, {L"+5", FALSE, 0}, {L"-5", FALSE, 0}, {L" 5", FALSE, 0},
        {L"1e3", FALSE, 0}, {L"inf", FALSE, 0}, {L"5 ", FALSE, 0},
    };
    for (const auto &c : cases) {
        double value = -1;
        EXPECT_EQ(ParseArgDecimal(c.text, 1e6, &value), c.ok) << testing::PrintToString(std::wstring(c.text));
        EXPECT_DOUBLE_EQ(value, c.ok ? c.value : -1) << testing::PrintToString(std::wstring(c.text));
    }
}

// A small tool's table: a flag, a number, a text, the shared options.
struct Sample {
    bool verbose = false;
    DWORD count = 0, runTimeMs = 0, bitRate = 500000;
    std::wstring name;
    std::wstring queue;
    DWORD high = 0, low = 0;
    bool haveUniqueId = false;
};

ToolSpec SampleSpec(Sample *s, bool permute) {
    return {"sample",
            L"Usage: sample [options] NET...\n\nOptions:\n",
            L"\nExamples:\n  sample -n 5 CAN1\n",
            16,
            permute,
            {
                ToolFlag(L'v', L"verbose", L"say more", &s->verbose),
                ToolCountOption(L"stop after COUNT frames\nor at the end", &s->count),
                ToolRunTimeOption(nullptr, &s->runTimeMs),
                ToolRunTimeAlias(L't', &s->runTimeMs),
                ToolBitRateOption(nullptr, &s->bitRate),
                ToolString(0, L"name", L"TEXT", nullptr, &s->name),
                ToolText(L"Server:"),
                ToolQueueOption([s](const wchar_t *q) { s->queue = q; }),
                ToolUniqueIdOption(nullptr, &s->high, &s->low, &s->haveUniqueId),
            }};
}

struct Parsed {
    bool ok;
    ToolArgs args;
    std::wstring error;
};

Parsed Parse(Sample *s, bool permute, std::vector<const wchar_t *> words) {
    std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"sample")};
    for (const wchar_t *w : words) argv.push_back(const_cast<wchar_t *>(w));
    Parsed p;
    p.ok = ToolParseArgs(SampleSpec(s, permute), (int)argv.size(), argv.data(), &p.args, &p.error);
    return p;
}

TEST(ToolOptions, EveryKindOfRowTakesItsValue) {
    Sample s;
    Parsed p = Parse(&s, false,
                     {L"-v", L"-n", L"5", L"-T", L"2000", L"-b", L"250000", L"--name", L"-x",
                      L"--queue", L"q2", L"--unique-id", L"cafe:1", L"CAN1", L"-n", L"7"});
    ASSERT_TRUE(p.ok) << testing::PrintToString(p.error);
    EXPECT_TRUE(s.verbose);
    EXPECT_EQ(s.count, 5u);
    EXPECT_EQ(s.runTimeMs, 2000u);
    EXPECT_EQ(s.bitRate, 250000u);
    EXPECT_EQ(s.name, L"-x");  // a value is taken as it stands, dash or not
    EXPECT_EQ(s.queue, L"q2");
    EXPECT_EQ(s.high, 0xCAFEu);
    EXPECT_EQ(s.low, 1u);
    EXPECT_TRUE(s.haveUniqueId);
    // Without permutation the first operand ends the options.
    ASSERT_EQ(p.args.operands.size(), 3u);
    EXPECT_EQ(std::wstring(p.args.operands[1]), L"-n");
}

TEST(ToolOptions, OptionsMayFollowOperandsWhenTheToolSaysSo) {
    Sample s;
    Parsed p = Parse(&s, true, {L"CAN1", L"-t", L"300", L"-", L"CAN2", L"--", L"-v"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(s.runTimeMs, 300u);  // the older letter of the run time
    EXPECT_FALSE(s.verbose);       // after "--" everything is an operand
    ASSERT_EQ(p.args.operands.size(), 4u);
    EXPECT_EQ(std::wstring(p.args.operands[1]), L"-");
    EXPECT_EQ(std::wstring(p.args.operands[3]), L"-v");
}

TEST(ToolOptions, AWrongArgumentIsNamedWithWhatWasWrong) {
    const struct {
        std::vector<const wchar_t *> words;
        const wchar_t *error;
    } cases[] = {
        {{L"-x"}, L"unknown option: '-x'"},
        {{L"--verbos"}, L"unknown option: '--verbos'"},
        {{L"-vn", L"1"}, L"unknown option: '-vn'"},
        {{L"-n"}, L"option needs a value: '-n'"},
        {{L"-n", L"0"}, L"-n: bad count: '0'"},
        {{L"-n", L"+5"}, L"-n: bad count: '+5'"},
        {{L"-T", L"010x"}, L"-T: bad run time: '010x'"},
        {{L"-t", L"0"}, L"-t: bad run time: '0'"},
        {{L"-b", L"4294967296"}, L"-b: bad bit rate: '4294967296'"},
        {{L"-q", L""}, L"-q: bad queue name: ''"},
        {{L"-u", L"1:-2"}, L"-u: unique id must be HIGH:LOW in hex: '1:-2'"},
        {{L"-u", L"cafe"}, L"-u: unique id must be HIGH:LOW in hex: 'cafe'"},
    };
    for (const auto &c : cases) {
        Sample s;
        Parsed p = Parse(&s, true, c.words);
        EXPECT_FALSE(p.ok) << testing::PrintToString(std::wstring(c.error));
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(ToolOptions, VersionWinsAndHelpEndsTheReading) {
    Sample s;
    Parsed v = Parse(&s, true, {L"-x", L"--version"});
    EXPECT_TRUE(v.ok);
    EXPECT_TRUE(v.args.version);
    Parsed h = Parse(&s, true, {L"-n", L"3", L"-h", L"-x"});
    EXPECT_TRUE(h.ok);
    EXPECT_TRUE(h.args.help);
    EXPECT_EQ(s.count, 3u);
    Parsed after = Parse(&s, true, {L"--", L"-V"});
    EXPECT_TRUE(after.ok);
    EXPECT_FALSE(after.args.version);
}

TEST(ToolOptions, TheUsageListsTheRowsBetweenSynopsisAndExamples) {
    Sample s;
    std::wstring usage = ToolUsageText(SampleSpec(&s, false));
    EXPECT_EQ(usage,
              L"Usage: sample [options] NET...\n\nOptions:\n"
              L"  -v, --verbose say more\n"
              L"  -n COUNT      stop after COUNT frames\n"
              L"                or at the end\n"
              L"  -T MS         stop after MS milliseconds\n"
              L"  -b BITRATE    bit rate for the bus load (default 500000)\n"
              L"Server:\n"
              L"  -q, --queue QUEUE  server queue name (default ribexServerQueue)\n"
              L"  -u, --unique-id HIGH:LOW  unique id (hex)\n"
              L"  -h, --help    this text\n"
              L"  -V, --version print the version\n"
              L"\nExamples:\n  sample -n 5 CAN1\n");
}

TEST(ToolOptions, NetNamesStayWithinTheServersLimit) {
    std::wstring error;
    EXPECT_TRUE(ToolCheckNetName(std::wstring(51, L'N').c_str(), &error));
    EXPECT_FALSE(ToolCheckNetName(std::wstring(52, L'N').c_str(), &error));
    EXPECT_EQ(error, L"net name too long: '" + std::wstring(52, L'N') + L"'");
    EXPECT_FALSE(ToolCheckNetName(L"", &error));
}

TEST(ToolClock, CounterTicksBecome100nsWithoutOverflow) {
    EXPECT_EQ(ToolTicksTo100ns(0, 10000000), 0ull);
    EXPECT_EQ(ToolTicksTo100ns(3579545, 3579545), 10000000ull);
    EXPECT_EQ(ToolTicksTo100ns(1, 3), 3333333ull);
    // A counter of 10^9 ticks a second after 200 years: counter * 10^7
    // would not fit 64 bits.
    const unsigned long long f = 1000000000ull, seconds = 200ull * 365 * 86400;
    EXPECT_EQ(ToolTicksTo100ns(seconds * f + f / 2, f), seconds * 10000000ull + 5000000ull);
    EXPECT_EQ(ToolTicksTo100ns(~0ull, ~0ull), 10000000ull);
    EXPECT_EQ(ToolTicksTo100ns(5, 0), 0ull);
    // Frames due: 7600 a second, 2.5 s after a start far from zero.
    EXPECT_EQ(ToolMulDiv(25000000ull, 7600, 10000000ull), 19000ull);
    EXPECT_EQ(ToolMulDiv(~0ull, 3, 4), ~0ull / 4 * 3 + 2);
}

TEST(ToolClock, TheClockMovesForwardInStepWithTheCounter) {
    unsigned long long first = ToolNow100ns();
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    unsigned long long direct = ToolTicksTo100ns((unsigned long long)c.QuadPart, (unsigned long long)f.QuadPart);
    unsigned long long second = ToolNow100ns();
    EXPECT_LE(first, direct);
    EXPECT_LE(direct, second);
    EXPECT_GE(ToolNowMs(), second / 10000);
}

TEST(ToolStop, ARequestSetsTheEventThatLoopsWaitOn) {
    ASSERT_TRUE(ToolStopInstall());
    ASSERT_TRUE(ToolStopInstall());  // once only
    HANDLE event = ToolStopEvent();
    ASSERT_NE(event, (HANDLE)NULL);
    EXPECT_FALSE(ToolStopRequested());
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    ToolStopRequest();
    EXPECT_TRUE(ToolStopRequested());
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_OBJECT_0);
}

}  // namespace
