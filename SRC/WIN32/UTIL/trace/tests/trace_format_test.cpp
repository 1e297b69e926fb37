// The formatter against the C library's snprintf where both mean the same,
// and on its own where it differs on purpose.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "trace.h"

namespace {

// Our formatter into a buffer of `size` bytes: the characters reported as
// stored, after checking the NUL behind them and that nothing passed the end.
std::string Ours(DWORD size, int *result, const char *format, ...) {
    std::vector<char> buffer(size + 8, '\x7f');
    va_list args;
    va_start(args, format);
    *result = TraceFormat(buffer.data(), size, format, args);
    va_end(args);
    if (*result < 0) return std::string();
    EXPECT_EQ(buffer[*result], '\0') << format;
    EXPECT_EQ(buffer[size], '\x7f') << "wrote past the buffer for " << format;
    return std::string(buffer.data(), *result);
}

template <typename... A>
std::string Fmt(const char *format, A... args) {
    int result;
    return Ours(4096, &result, format, args...);
}

template <typename... A>
std::string Libc(const char *format, A... args) {
    int n = snprintf(nullptr, 0, format, args...);
    std::vector<char> buffer(n + 1);
    snprintf(buffer.data(), buffer.size(), format, args...);
    return std::string(buffer.data(), n);
}

// A random conversion with flags, width and precision that snprintf reads
// the same way: its format, the values of its * fields, its precision.
struct Case {
    std::string format;
    std::vector<int> stars;
    int precision = -1;
};

std::mt19937 rng(20261208);
int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

Case RandomCase(char conversion, const char *size) {
    Case c;
    c.format = "<%";
    const char *flags = strchr("di", conversion)    ? "-+ 0"
                        : strchr("oxX", conversion) ? "-#0"
                        : conversion == 'u'         ? "-0"
                                                    : "-";
    for (; *flags; ++flags)
        if (Pick(3) == 0) c.format += *flags;
    int width = Pick(3);
    if (width == 1) c.format += std::to_string(Pick(40));
    if (width == 2) c.format += '*', c.stars.push_back(Pick(81) - 40);   // negative: left-justified
    // Precision on c, and a negative * precision, mean something else.
    int precision = conversion == 'c' ? 0 : Pick(3);
    if (precision) c.precision = Pick(30);
    if (precision == 1) c.format += '.' + std::to_string(c.precision);
    if (precision == 2) c.format += ".*", c.stars.push_back(c.precision);
    c.format = c.format + size + conversion + ">";
    return c;
}

int Int() {
    static const int special[] = {0,     1,     -1,      7,       -42,        255,
                                  65535, 65536, INT_MAX, INT_MIN, INT_MIN + 1};
    int kind = Pick(3);
    return kind == 0   ? special[Pick(sizeof special / sizeof special[0])]
           : kind == 1 ? Pick(2001) - 1000
                       : (int)rng();
}

std::string Text() {
    std::string s;
    for (int n = Pick(24); n > 0; --n) s += "abcXYZ019 %-_.:\\\t"[Pick(17)];
    return s;
}

// Calls f(format, stars..., value).
template <typename F, typename T>
std::string Apply(const Case &c, F f, T value) {
    const char *s = c.format.c_str();
    if (c.stars.empty()) return f(s, value);
    if (c.stars.size() == 1) return f(s, c.stars[0], value);
    return f(s, c.stars[0], c.stars[1], value);
}

// Compares with snprintf, and checks that a line cut by a smaller buffer is
// a prefix of the whole line.
template <typename T>
void ExpectSame(const Case &c, const Case &libcCase, T value) {
    std::string whole = Apply(c, [](const char *f, auto... a) { return Fmt(f, a...); }, value);
    std::string libc = Apply(
        libcCase, [](const char *f, auto... a) { return Libc(f, a...); }, value);
    ASSERT_EQ(whole, libc) << c.format << " precision " << c.precision;
    DWORD size = 1 + Pick((int)whole.size() + 2);
    int result;
    std::string cut = Apply(
        c, [&](const char *f, auto... a) { return Ours(size, &result, f, a...); }, value);
    size_t expected = std::min<size_t>(whole.size(), size - 1);
    ASSERT_EQ(result, (int)expected) << c.format << " size " << size;
    ASSERT_EQ(cut, whole.substr(0, expected)) << c.format << " size " << size;
}

TEST(TraceFormatDifferential, IntegerConversionsMatchSnprintf) {
    int compared = 0;
    for (int i = 0; i < 12000; ++i) {
        char conversion = "diuoxX"[Pick(6)];
        // "h" narrows u o x X in both; ours ignores it on d and i.
        bool narrow = conversion != 'd' && conversion != 'i' && Pick(3) == 0;
        Case c = RandomCase(conversion, narrow ? "h" : Pick(4) == 0 ? "l" : "");
        int value = Int();
        // Deliberate differences, checked below.
        if ((narrow ? (value & 0xFFFF) : value) == 0 && c.precision == 0) continue;
        if (conversion == 'o' && c.format.find('#') != std::string::npos && c.precision >= 0)
            continue;
        ExpectSame(c, c, value);
        ++compared;
    }
    EXPECT_GT(compared, 10000);
}

TEST(TraceFormatDifferential, StringsAndCharactersMatchSnprintf) {
    for (int i = 0; i < 6000; ++i) {
        std::string text = Text();
        std::wstring wide(text.begin(), text.end());
        int kind = Pick(3);
        Case c = RandomCase(kind == 2 ? 'c' : 's', kind == 1 ? "h" : ""), libc = c;
        if (kind == 0) ExpectSame(c, c, text.c_str());
        if (kind == 2) ExpectSame(c, c, Pick(256));
        if (kind == 1) {   // our "%hs" is the C library's "%ls" below 0x80
            libc.format.replace(libc.format.find("hs"), 2, "ls");
            ExpectSame(c, libc, wide.c_str());
        }
    }
}

// What fits a buffer: nothing at all without a buffer, a format or a byte
// of room; else the NUL always, and characters only while room is left.
TEST(TraceFormat, BufferEdges) {
    char buffer[8];
    const struct {
        bool useBuffer;
        DWORD size;
        const char *format;
        int result;
        const char *stored;
    } cases[] = {
        {false, 8, "a", -1, "xxxxxxx"}, {true, 8, nullptr, -1, "xxxxxxx"},
        {true, 0, "abc", -1, "xxxxxxx"}, {true, 1, "abc", 0, ""},
        {true, 2, "abc", 1, "a"},       {true, 8, "abcdefghij", 7, "abcdefg"},
    };
    for (const auto &c : cases) {
        memcpy(buffer, "xxxxxxx", 8);
        va_list none{};
        EXPECT_EQ(TraceFormat(c.useBuffer ? buffer : nullptr, c.size, c.format, none), c.result)
            << c.size << " " << (c.format ? c.format : "(null)");
        EXPECT_STREQ(buffer, c.stored) << c.size << " " << (c.format ? c.format : "(null)");
    }
}

// Where the trace formatter means something else than printf, on purpose.
TEST(TraceFormat, DeliberateDifferences) {
    // Zero with precision zero is no field at all, whatever the width.
    EXPECT_EQ(Fmt("[%.0d|%5.0d|%+.d|%#.0o|%.*x]", 0, 0, 0, 0, -3, 0), "[||||]");
    EXPECT_EQ(Fmt("[%5.0d]", 1), "[    1]");
    // Size letters: h does not narrow d; one letter only; %hs is wide.
    EXPECT_EQ(Fmt("%hd %hu %ho %Ld", 70000, 70000, 0x10008, 12), "70000 4464 10 12");
    EXPECT_EQ(Fmt("%ls", "narrow"), "narrow");
    EXPECT_EQ(Fmt("%llu", 5), "lu");
    EXPECT_EQ(Fmt("%hs", L"\x263a\x00e9"), "\x3a\xe9");   // low bytes, no code page
    // Octal alternate form: one 0 in front, not a digit of the precision.
    EXPECT_EQ(Fmt("%#o %#o %#.3o", 8, 0, 8), "010 0 0010");
    // Floats print fixed text and take no argument.
    EXPECT_EQ(Fmt("%f|%.3e|%d", 7), "(no float support)|(no|7");
    EXPECT_EQ(Fmt("%20G|", 7), "  (no float support)|");
    // Pointers are 64-bit hex.
    EXPECT_EQ(Fmt("%p|%d", (void *)(ULONG_PTR)0x123456789abcull, 9), "123456789abc|9");
    EXPECT_EQ(Fmt("%hp %#p %#p", (void *)0x12345, (void *)0x12345, (void *)nullptr),
              "2345 0x12345 0");
    // Null strings, unknown conversions, zeros on strings, c of a wide value.
    EXPECT_EQ(
        Fmt("%s %hs %8s|", (const char *)nullptr, (const wchar_t *)nullptr, (const char *)nullptr),
        "(null) (null)   (null)|");
    EXPECT_EQ(Fmt("%y%5%|%-3k|%05s|%c", "ab", 0x141), "y    %|k  |   ab|A");
    // A negative precision from * counts as 0.
    EXPECT_EQ(Fmt("[%.*s]", -1, "abc"), "[]");
    // A format ending inside a specification ends the output.
    EXPECT_EQ(Fmt("abc%") + "|" + Fmt("abc%-05") + "|" + Fmt("abc%5.3h"), "abc|abc|abc");
}

// Width digits are taken only while the width is below 3275 (at most
// 32749); a width from * is not bounded.
TEST(TraceFormat, FieldWidths) {
    const struct {
        const char *format;  // prints 1, behind a * width where there is one
        int starWidth;
        size_t length;
    } cases[] = {
        {"%32749d", 0, 32749}, {"%32750d", 0, 3275}, {"%99999d", 0, 9999}, {"%*d", 40000, 40000},
    };
    for (const auto &c : cases) {
        int result;
        std::string text = c.starWidth ? Ours(70000, &result, c.format, c.starWidth, 1)
                                       : Ours(70000, &result, c.format, 1);
        EXPECT_EQ(text.size(), c.length) << c.format;
        EXPECT_EQ(text.back(), '1') << c.format;
    }
}

TEST(TraceFormat, CountConversionStoresCharactersSoFar) {
    int count = -1, after = 12345, result;
    unsigned short pair[2] = {0xAAAA, 0xBBBB};
    EXPECT_EQ(Fmt("abc%n%5d%hn", &count, 7, &pair[0]), "abc    7");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(pair[0], 8);
    EXPECT_EQ(pair[1], 0xBBBB);   // the 16-bit store leaves its neighbour alone
    // A line that was cut stores nothing behind the cut.
    EXPECT_EQ(Ours(4, &result, "abcdef%n", &after), "abc");
    EXPECT_EQ(after, 12345);
    EXPECT_EQ(Fmt("a%nb", (int *)nullptr), "ab");
}

}  // namespace
