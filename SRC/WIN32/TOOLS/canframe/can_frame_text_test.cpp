// The candump line format: what parses, what is refused, and that printed
// text parses back to the same frame.
#include "can_frame_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

RxMsg Parse(const char *text)
{
    RxMsg msg;
    std::memset(&msg, 0xAB, sizeof(msg));
    const char *error = nullptr;
    EXPECT_EQ(1, CanFrameParse(text, &msg, &error)) << text << ": " << (error ? error : "");
    return msg;
}

std::string Refusal(const char *text)
{
    RxMsg msg{};
    msg.can.id = 0x55;
    const char *error = nullptr;
    EXPECT_EQ(0, CanFrameParse(text, &msg, &error)) << text;
    EXPECT_EQ(0x55u, msg.can.id) << "a refused text must leave the frame alone: " << text;
    return error ? error : "";
}

std::string Format(const RxMsg &msg)
{
    char buffer[CAN_FRAME_TEXT_MAX];
    size_t n = CanFrameFormat(&msg, buffer, sizeof(buffer));
    EXPECT_EQ(std::strlen(buffer), n);
    return std::string(buffer, n);
}

TEST(CanFrameParse, StandardFrameWithData)
{
    RxMsg msg = Parse("123#DEADBEEF");
    EXPECT_EQ(0x123u, msg.can.id);
    EXPECT_EQ(4u, msg.length);
    const uint8_t expected[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, msg.can.data, 8)) << "unused data bytes are zero";
}

TEST(CanFrameParse, EmptyDataDotsLowerCaseAndBlanks)
{
    RxMsg msg = Parse("7FF#");
    EXPECT_EQ(0x7FFu, msg.can.id);
    EXPECT_EQ(0u, msg.length);

    msg = Parse("  0a1#de.ad.be.ef.00.11.22.33 \r\n");
    EXPECT_EQ(0xA1u, msg.can.id);
    EXPECT_EQ(8u, msg.length);
    EXPECT_EQ(0x33, msg.can.data[7]);
}

TEST(CanFrameParse, TimeStampIsLeftAlone)
{
    RxMsg msg{};
    msg.timeStamp = 0x1122334455667788ull;
    ASSERT_EQ(1, CanFrameParse("001#01", &msg, nullptr));
    EXPECT_EQ(0x1122334455667788ull, msg.timeStamp);
}

TEST(CanFrameParse, RemoteFramesSetBit31AndOptionalLength)
{
    RxMsg msg = Parse("123#R");
    EXPECT_EQ(0x123u | RX_REMOTE_FRAME_FLAG, msg.can.id);
    EXPECT_EQ(0u, msg.length);

    msg = Parse("1F334455#R8");
    EXPECT_EQ(0x1F334455u | RX_REMOTE_FRAME_FLAG, msg.can.id);
    EXPECT_EQ(8u, msg.length);
}

TEST(CanFrameParse, ExtendedIdentifierNeedsEightDigits)
{
    RxMsg msg = Parse("1F334455#1122");
    EXPECT_EQ(0x1F334455u, msg.can.id);
    EXPECT_EQ(2u, msg.length);

    msg = Parse("00000123#");
    EXPECT_EQ(0x123u, msg.can.id) << "8 digits may carry a small identifier";
}

TEST(CanFrameParse, RefusesMalformedText)
{
    EXPECT_NE("", Refusal(""));
    EXPECT_NE("", Refusal("123"));              // no '#'
    EXPECT_NE("", Refusal("800#"));             // standard id too large
    EXPECT_NE("", Refusal("20000000#"));        // extended id too large
    EXPECT_NE("", Refusal("1234#"));            // neither 3 nor 8 digits
    EXPECT_NE("", Refusal("12#"));
    EXPECT_NE("", Refusal("123456789#"));
    EXPECT_NE("", Refusal("12G#"));
    EXPECT_NE("", Refusal("123#ABC"));          // half a byte
    EXPECT_NE("", Refusal("123#XY"));
    EXPECT_NE("", Refusal("123#001122334455667788"));  // nine bytes
    EXPECT_NE("", Refusal("123#R9"));
    EXPECT_NE("", Refusal("123#R12"));
    EXPECT_NE("", Refusal("123##1DEAD"));       // CAN FD
    EXPECT_NE("", Refusal("123#11 22"));        // inner blank
    EXPECT_EQ(0, CanFrameParse(nullptr, nullptr, nullptr));
}

TEST(CanFrameFormat, PrintsUpperCaseWithThreeOrEightDigits)
{
    RxMsg msg{};
    msg.can.id = 0x12;
    msg.length = 2;
    msg.can.data[0] = 0xab;
    msg.can.data[1] = 0x01;
    EXPECT_EQ("012#AB01", Format(msg));

    msg.can.id = 0x800;
    msg.length = 0;
    EXPECT_EQ("00000800#", Format(msg));

    msg.can.id = 0x123 | RX_REMOTE_FRAME_FLAG;
    EXPECT_EQ("123#R", Format(msg));
    msg.length = 3;
    EXPECT_EQ("123#R3", Format(msg));
}

TEST(CanFrameFormat, RefusesUnprintableFramesAndShortBuffers)
{
    RxMsg msg{};
    msg.can.id = 0x123;
    msg.length = 9;
    char buffer[CAN_FRAME_TEXT_MAX] = "untouched";
    EXPECT_EQ(0u, CanFrameFormat(&msg, buffer, sizeof(buffer)));
    msg.length = 1;
    msg.can.id = 0x20000000;
    EXPECT_EQ(0u, CanFrameFormat(&msg, buffer, sizeof(buffer)));

    // "12345678#0011223344556677" needs 26 bytes with its NUL.
    msg.can.id = 0x12345678;
    msg.length = 8;
    char small[26];
    std::memset(small, 'x', sizeof(small));
    EXPECT_EQ(0u, CanFrameFormat(&msg, small, 25));
    EXPECT_EQ('x', small[25]) << "nothing written past the given size";
    EXPECT_EQ(25u, CanFrameFormat(&msg, small, 26));
}

TEST(CanFrameText, EveryPrintableFrameParsesBack)
{
    const uint32_t ids[] = {0x000, 0x001, 0x7FF, 0x800, 0x1FFFFFFF};
    for (uint32_t id : ids) {
        for (uint32_t remote = 0; remote < 2; remote++) {
            for (uint32_t length = 0; length <= 8; length++) {
                RxMsg msg{};
                msg.can.id = id | (remote ? RX_REMOTE_FRAME_FLAG : 0);
                msg.length = length;
                if (!remote) {
                    for (uint32_t i = 0; i < length; i++) msg.can.data[i] = (uint8_t)(0x5A + 37 * i + id);
                }
                std::string text = Format(msg);
                RxMsg back = Parse(text.c_str());
                EXPECT_EQ(msg.can.id, back.can.id) << text;
                EXPECT_EQ(msg.length, back.length) << text;
                EXPECT_EQ(0, std::memcmp(msg.can.data, back.can.data, 8)) << text;
            }
        }
    }
}

TEST(CanLogLine, ParsesCandumpLine)
{
    RxMsg msg{};
    char iface[CAN_LOG_IFACE_MAX + 1];
    const char *error = nullptr;
    ASSERT_EQ(1, CanLogLineParse("(1436509052.249713) can0 123#DEADBEEF\n", &msg, iface, sizeof(iface), &error))
        << error;
    EXPECT_EQ(14365090522497130ull, msg.timeStamp);
    EXPECT_STREQ("can0", iface);
    EXPECT_EQ(0x123u, msg.can.id);
    EXPECT_EQ(4u, msg.length);

    ASSERT_EQ(1, CanLogLineParse("(0.5) VCAN1 1F334455#R", &msg, nullptr, 0, &error)) << error;
    EXPECT_EQ(5000000ull, msg.timeStamp) << "short fractions are tenths, not units";
    EXPECT_EQ(0x1F334455u | RX_REMOTE_FRAME_FLAG, msg.can.id);

    ASSERT_EQ(1, CanLogLineParse("(1.0000001) x 000#", &msg, nullptr, 0, &error)) << error;
    EXPECT_EQ(10000001ull, msg.timeStamp) << "seven digits give 100 ns";
}

TEST(CanLogLine, RefusesMalformedLines)
{
    const char *bad[] = {
        "",
        "1436509052.249713 can0 123#DE",      // no parentheses
        "(1436509052) can0 123#DE",           // no fraction
        "(1436509052.) can0 123#DE",
        "(.5) can0 123#DE",
        "(1.12345678) can0 123#DE",           // fraction too long
        "(1.5)can0 123#DE",
        "(1.5) can0",
        "(1.5) can0 ",
        "(1.5) can0 123#DE trailing",
        "(1.5) can0 800#DE",
        "(1.5) averyveryverylongname0 123#DE",  // 17 characters
    };
    for (const char *line : bad) {
        RxMsg msg{};
        msg.length = 7;
        const char *error = nullptr;
        EXPECT_EQ(0, CanLogLineParse(line, &msg, nullptr, 0, &error)) << line;
        EXPECT_NE(nullptr, error) << line;
        EXPECT_EQ(7u, msg.length) << line;
    }
    RxMsg msg{};
    char tiny[4];
    EXPECT_EQ(0, CanLogLineParse("(1.5) can0 123#DE", &msg, tiny, sizeof(tiny), nullptr))
        << "a name that does not fit the caller's buffer is refused, not cut";
}

TEST(CanLogLine, FormatsAndParsesBack)
{
    RxMsg msg{};
    msg.timeStamp = 14365090522497139ull;  // the last 100 ns digit is not shown
    msg.can.id = 0x1ABCDEF0;
    msg.length = 3;
    msg.can.data[0] = 1;
    msg.can.data[1] = 2;
    msg.can.data[2] = 3;
    char line[CAN_LOG_LINE_MAX];
    size_t n = CanLogLineFormat(&msg, "vcan1", line, sizeof(line));
    EXPECT_STREQ("(1436509052.249713) vcan1 1ABCDEF0#010203", line);
    EXPECT_EQ(std::strlen(line), n);

    RxMsg back{};
    char iface[CAN_LOG_IFACE_MAX + 1];
    ASSERT_EQ(1, CanLogLineParse(line, &back, iface, sizeof(iface), nullptr));
    EXPECT_EQ(14365090522497130ull, back.timeStamp);
    EXPECT_EQ(msg.can.id, back.can.id);
    EXPECT_STREQ("vcan1", iface);

    // The largest time stamp and a 16-character name fit CAN_LOG_LINE_MAX.
    msg.timeStamp = ~0ull;
    msg.length = 8;
    EXPECT_NE(0u, CanLogLineFormat(&msg, "abcdefghijklmnop", line, sizeof(line)));
    EXPECT_EQ(0u, CanLogLineFormat(&msg, "vcan1", line, 20)) << "too small a buffer";
    EXPECT_STREQ("", line);
}

}  // namespace
