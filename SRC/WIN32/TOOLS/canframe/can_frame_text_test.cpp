// The candump line format: what parses, what is refused, and that printed
// text parses back to the same frame.
#include "can_frame_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t R = RX_REMOTE_FRAME_FLAG;

RxMsg Msg(uint32_t id, uint32_t length, std::initializer_list<uint8_t> data = {}, uint64_t timeStamp = 0)
{
    RxMsg msg = {};
    msg.can.id = id;
    msg.length = length;
    msg.timeStamp = timeStamp;
    std::copy(data.begin(), data.end(), msg.can.data);
    return msg;
}

void ExpectSameFrame(const RxMsg &expected, const RxMsg &got, const std::string &text)
{
    EXPECT_EQ(expected.can.id, got.can.id) << text;
    EXPECT_EQ(expected.length, got.length) << text;
    EXPECT_EQ(0, std::memcmp(expected.can.data, got.can.data, 8)) << text << ": unused data bytes are zero";
}

std::string Format(const RxMsg &msg)
{
    char buffer[CAN_FRAME_TEXT_MAX] = {};
    size_t n = CanFrameFormat(&msg, buffer, sizeof(buffer));
    EXPECT_EQ(std::strlen(buffer), n) << "0 for a frame that cannot be printed";
    return std::string(buffer, n);
}

TEST(CanFrameText, ParsesCansendSyntax)
{
    const struct {
        const char *text;
        RxMsg frame;
    } cases[] = {
        {"123#DEADBEEF", Msg(0x123, 4, {0xDE, 0xAD, 0xBE, 0xEF})},
        {"7FF#", Msg(0x7FF, 0)},
        {"  0a1#de.ad.be.ef.00.11.22.33 \r\n", Msg(0xA1, 8, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33})},
        {"123#R", Msg(0x123 | R, 0)},
        {"1F334455#R8", Msg(0x1F334455 | R, 8)},
        {"1F334455#1122", Msg(0x1F334455, 2, {0x11, 0x22})},
        {"00000123#", Msg(0x123, 0)},  // 8 digits may carry a small identifier
    };
    for (const auto &c : cases) {
        RxMsg msg;
        std::memset(&msg, 0xAB, sizeof(msg));
        const char *error = nullptr;
        ASSERT_EQ(1, CanFrameParse(c.text, &msg, &error)) << c.text << ": " << (error ? error : "");
        ExpectSameFrame(c.frame, msg, c.text);
        EXPECT_EQ(0xABABABABABABABABull, msg.timeStamp) << c.text << ": the time stamp is left alone";
    }
}

TEST(CanFrameText, RefusesMalformedTextAndLeavesTheFrameAlone)
{
    const char *bad[] = {
        "", "123",                                  // no '#'
        "800#", "20000000#",                        // identifier too large for its digits
        "1234#", "12#", "123456789#", "12G#",       // neither 3 nor 8 hex digits
        "123#ABC", "123#XY", "123#001122334455667788",  // half a byte, no hex, nine bytes
        "123#R9", "123#R12", "123##1DEAD",          // remote length above 8, CAN FD
        "123#11 22",                                // inner blank
    };
    for (const char *text : bad) {
        RxMsg msg = Msg(0x55, 1);
        const char *error = nullptr;
        EXPECT_EQ(0, CanFrameParse(text, &msg, &error)) << text;
        EXPECT_TRUE(error && *error) << text << ": the refusal says why";
        EXPECT_EQ(0x55u, msg.can.id) << text;
    }
    EXPECT_EQ(0, CanFrameParse(nullptr, nullptr, nullptr));
}

TEST(CanFrameText, PrintsUpperCaseWithThreeOrEightDigitsAndRefusesWhatCannotBe)
{
    const struct {
        RxMsg frame;
        const char *text;
    } cases[] = {
        {Msg(0x12, 2, {0xab, 0x01}), "012#AB01"},
        {Msg(0x800, 0), "00000800#"},
        {Msg(0x123 | R, 0), "123#R"},
        {Msg(0x123 | R, 3), "123#R3"},
        {Msg(0x123, 9), ""},
        {Msg(0x20000000, 1), ""},
    };
    for (const auto &c : cases) EXPECT_EQ(c.text, Format(c.frame));

    // "12345678#0011223344556677" needs 26 bytes with its NUL.
    RxMsg longest = Msg(0x12345678, 8);
    char small[26];
    std::memset(small, 'x', sizeof(small));
    EXPECT_EQ(0u, CanFrameFormat(&longest, small, 25));
    EXPECT_EQ('x', small[25]) << "nothing written past the given size";
    EXPECT_EQ(25u, CanFrameFormat(&longest, small, 26));
}

TEST(CanFrameText, EveryPrintableFrameParsesBack)
{
    for (uint32_t id : {0x000u, 0x001u, 0x7FFu, 0x800u, 0x1FFFFFFFu}) {
        for (uint32_t remote : {0u, R}) {
            for (uint32_t length = 0; length <= 8; length++) {
                RxMsg msg = Msg(id | remote, length);
                for (uint32_t i = 0; i < length && !remote; i++) msg.can.data[i] = (uint8_t)(0x5A + 37 * i + id);
                std::string text = Format(msg);
                RxMsg back = {};
                ASSERT_EQ(1, CanFrameParse(text.c_str(), &back, nullptr)) << text;
                ExpectSameFrame(msg, back, text);
            }
        }
    }
}

TEST(CanLogLine, ParsesCandumpLines)
{
    const struct {
        const char *line;
        RxMsg frame;
        const char *iface;
    } cases[] = {
        {"(1436509052.249713) can0 123#DEADBEEF\n", Msg(0x123, 4, {0xDE, 0xAD, 0xBE, 0xEF}, 14365090522497130ull),
         "can0"},
        {"(0.5) VCAN1 1F334455#R", Msg(0x1F334455 | R, 0, {}, 5000000ull), "VCAN1"},   // tenths, not units
        {"(1.0000001) x 000#", Msg(0, 0, {}, 10000001ull), "x"},                         // seven digits: 100 ns
        {"(1.5) abcdefghijklmnop 7FF#", Msg(0x7FF, 0, {}, 15000000ull), "abcdefghijklmnop"},
    };
    for (const auto &c : cases) {
        RxMsg msg = {};
        char iface[CAN_LOG_IFACE_MAX + 1];
        const char *error = nullptr;
        ASSERT_EQ(1, CanLogLineParse(c.line, &msg, iface, sizeof(iface), &error)) << c.line << ": " << error;
        ExpectSameFrame(c.frame, msg, c.line);
        EXPECT_EQ(c.frame.timeStamp, msg.timeStamp) << c.line;
        EXPECT_STREQ(c.iface, iface);
    }
}

TEST(CanLogLine, RefusesMalformedLines)
{
    const char *bad[] = {
        "", "1436509052.249713 can0 123#DE",                      // no parentheses
        "(1436509052) can0 123#DE", "(1436509052.) can0 123#DE",  // no fraction
        "(.5) can0 123#DE", "(1.12345678) can0 123#DE",           // no seconds, fraction too long
        "(1.5)can0 123#DE", "(1.5) can0", "(1.5) can0 ", "(1.5) can0 123#DE trailing", "(1.5) can0 800#DE",
        "(1.5) averyveryverylongname0 123#DE",  // 17 characters
    };
    for (const char *line : bad) {
        RxMsg msg = Msg(0, 7);
        const char *error = nullptr;
        EXPECT_EQ(0, CanLogLineParse(line, &msg, nullptr, 0, &error)) << line;
        EXPECT_NE(nullptr, error) << line;
        EXPECT_EQ(7u, msg.length) << line;
    }
    RxMsg msg = {};
    char tiny[4];
    EXPECT_EQ(0, CanLogLineParse("(1.5) can0 123#DE", &msg, tiny, sizeof(tiny), nullptr))
        << "a name that does not fit the caller's buffer is refused, not cut";
}

TEST(CanLogLine, FormatsAndParsesBack)
{
    // The last 100 ns digit is not shown.
    RxMsg msg = Msg(0x1ABCDEF0, 3, {1, 2, 3}, 14365090522497139ull);
    char line[CAN_LOG_LINE_MAX];
    EXPECT_EQ(41u, CanLogLineFormat(&msg, "vcan1", line, sizeof(line)));
    EXPECT_STREQ("(1436509052.249713) vcan1 1ABCDEF0#010203", line);
    RxMsg back = {};
    ASSERT_EQ(1, CanLogLineParse(line, &back, nullptr, 0, nullptr));
    ExpectSameFrame(msg, back, line);
    EXPECT_EQ(14365090522497130ull, back.timeStamp);

    // The largest time stamp and a 16-character name fit CAN_LOG_LINE_MAX.
    msg = Msg(0x1ABCDEF0, 8, {}, ~0ull);
    EXPECT_NE(0u, CanLogLineFormat(&msg, "abcdefghijklmnop", line, sizeof(line)));
    EXPECT_EQ(0u, CanLogLineFormat(&msg, "vcan1", line, 20)) << "too small a buffer";
    EXPECT_STREQ("", line);
}

TEST(CanFrameText, OneRuleTellsExtendedIdentifiersAndTheRemoteMarkIsNoPartOfThem)
{
    EXPECT_FALSE(CanIdIsExtended(0x000));
    EXPECT_FALSE(CanIdIsExtended(0x7FF));
    EXPECT_TRUE(CanIdIsExtended(0x800));
    EXPECT_TRUE(CanIdIsExtended(0x1FFFFFFF));
    EXPECT_FALSE(CanIdIsExtended(0x7FF | RX_REMOTE_FRAME_FLAG));
    EXPECT_TRUE(CanIdIsExtended(0x800 | RX_REMOTE_FRAME_FLAG));
}

TEST(CanFrameText, TimeStampsShowSecondsAndMicroseconds)
{
    const struct {
        uint64_t stamp;
        const char *text;
    } cases[] = {
        {0, "0.000000"},
        {9, "0.000000"},  // the last 100 ns digit is dropped, not rounded
        {10, "0.000001"},
        {14365090522497139ull, "1436509052.249713"},
        {~0ull, "1844674407370.955161"},
    };
    for (const auto &c : cases) {
        char text[CAN_STAMP_TEXT_MAX];
        EXPECT_EQ(strlen(c.text), CanStampFormat(c.stamp, text, sizeof(text))) << c.text;
        EXPECT_STREQ(c.text, text);
    }
    char small[8];
    EXPECT_EQ(0u, CanStampFormat(10, small, sizeof(small))) << "0.000001 needs 9 bytes";
    EXPECT_STREQ("", small);
}

}  // namespace
