// canslcan's slcan line format, its stamp unwrap and its command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "canslcan_options.h"
#include "slcan_text.h"

namespace {

struct FrameCase {
    const char *line;
    uint32_t id;  // bit 31: remote
    uint32_t length;
    const char *data;  // hex of the data bytes
    bool hasStamp;
    uint32_t stampMs;
};

std::string Hex(const RxMsg &m)
{
    std::string s;
    char b[3];
    for (uint32_t i = 0; i < m.length && !(m.can.id & RX_REMOTE_FRAME_FLAG); i++) {
        snprintf(b, sizeof(b), "%02X", m.can.data[i]);
        s += b;
    }
    return s;
}

TEST(SlcanLine, FramesOfEveryShapeParseWithOrWithoutAStamp)
{
    const FrameCase cases[] = {
        {"t1238DEADBEEF00112233", 0x123, 8, "DEADBEEF00112233", false, 0},
        {"t7FF0", 0x7FF, 0, "", false, 0},
        {"t0002abcd", 0x000, 2, "ABCD", false, 0},
        {"T1F3344552AABB", 0x1F334455, 2, "AABB", false, 0},
        {"T000000010", 0x1, 0, "", false, 0},
        {"r1234", 0x123 | RX_REMOTE_FRAME_FLAG, 4, "", false, 0},
        {"R1F3344550", 0x1F334455 | RX_REMOTE_FRAME_FLAG, 0, "", false, 0},
        {"t1231AAEA5F", 0x123, 1, "AA", true, 59999},
        {"t12300000", 0x123, 0, "", true, 0},
        {"r12381234", 0x123 | RX_REMOTE_FRAME_FLAG, 8, "", true, 0x1234},
        {"T123456781111122", 0x12345678, 1, "11", true, 0x1122},
        {"t1230EA60", 0x123, 0, "", false, 0},  // 60000 is no stamp; the frame stays
    };
    for (const FrameCase &c : cases) {
        SlcanLine l = SlcanParseLine(c.line);
        ASSERT_EQ(l.kind, SlcanLineKind::Frame) << c.line;
        EXPECT_EQ(l.msg.can.id, c.id) << c.line;
        EXPECT_EQ(l.msg.length, c.length) << c.line;
        EXPECT_EQ(Hex(l.msg), c.data) << c.line;
        EXPECT_EQ(l.hasStamp, c.hasStamp) << c.line;
        EXPECT_EQ(l.stampMs, c.stampMs) << c.line;
    }
}

TEST(SlcanLine, AnythingElseIsMalformedOrAnAnswer)
{
    const char *malformed[] = {
        "t12",
        "t1239",
        "t8000",
        "t1232AAB",
        "t1232AABBC",
        "t1232AABBCCD",
        "t12G0",
        "t1231GG",
        "T2000000000",
        "T1234567",
        "r123",
        "r1239",
        "R123456789",
        "x",
        "z1",
        "V",
        "V123456",
        "Fxx",
        "t123 1AA",
        "T1F3344552AABB1",
        "\x01\x02\x03",
        "garbage",
        "t1238DEADBEEF0011223",
    };
    for (const char *text : malformed) {
        EXPECT_EQ(SlcanParseLine(text).kind, SlcanLineKind::Malformed) << text;
    }
    EXPECT_EQ(SlcanParseLine("").kind, SlcanLineKind::Ok);
    EXPECT_EQ(SlcanParseLine("z").kind, SlcanLineKind::TxOk);
    EXPECT_EQ(SlcanParseLine("Z").kind, SlcanLineKind::TxOk);
    EXPECT_EQ(SlcanParseLine("V1013").kind, SlcanLineKind::Answer);
    EXPECT_EQ(SlcanParseLine("NA123").kind, SlcanLineKind::Answer);
    EXPECT_EQ(SlcanParseLine("F00").kind, SlcanLineKind::Answer);
}

// Feeds a byte stream in pieces of every size and lists the events.
std::vector<std::string> Assemble(const std::string &stream, size_t piece)
{
    SlcanAssembler a;
    SlcanAssemblerReset(&a);
    std::vector<std::string> events;
    for (size_t at = 0; at < stream.size(); at += piece) {
        const char *p = stream.data() + at;
        const char *end = stream.data() + std::min(stream.size(), at + piece);
        while (p < end) {
            bool cut = false;
            switch (SlcanAssemble(&a, &p, end, &cut)) {
            case SlcanEvent::None: break;
            case SlcanEvent::Line: events.push_back(std::string("L:") + a.line); break;
            case SlcanEvent::Overlong: events.push_back("long"); break;
            case SlcanEvent::Refused: events.push_back(cut ? "BEL-cut" : "BEL"); break;
            }
        }
    }
    return events;
}

TEST(SlcanAssembler, SplitsLinesWhateverTheReadSizesAndSurvivesGarbage)
{
    std::string stream = "t1230\r\nz\r\a" + std::string(200, 'x') + "\rt12\a";
    stream += std::string(2, '\0') + "T000000010\r\r";
    const std::vector<std::string> expected = {"L:t1230", "L:z",          "BEL", "long",
                                               "BEL-cut", "L:T000000010", "L:"};
    for (size_t piece : {1u, 2u, 3u, 7u, 64u, 1000u}) {
        EXPECT_EQ(Assemble(stream, piece), expected) << "piece " << piece;
    }
}

TEST(SlcanCommand, FramesBecomeTheCommandsThatParseBackToThem)
{
    struct Case {
        uint32_t id;
        uint32_t length;
        const char *command;
    } cases[] = {
        {0x123, 3, "t1233010203\r"},
        {0x7FF, 0, "t7FF0\r"},
        {0x800, 1, "T00000800111\r"},  // above 7FF: extended
        {0x1F334455, 8, "T1F334455801020304050607 08\r"},
        {0x123 | RX_REMOTE_FRAME_FLAG, 4, "r1234\r"},
        {0x1F334455 | RX_REMOTE_FRAME_FLAG, 0, "R1F3344550\r"},
    };
    for (Case &c : cases) {
        RxMsg m = {};
        m.can.id = c.id;
        m.length = c.length;
        for (uint32_t i = 0; i < 8; i++) m.can.data[i] = (uint8_t)(i + 1);
        if (c.id == 0x800) m.can.data[0] = 0x11;
        std::string expected = c.command;
        expected.erase(std::remove(expected.begin(), expected.end(), ' '), expected.end());
        char buffer[SLCAN_COMMAND_MAX + 1];
        size_t n = SlcanFormatCommand(&m, buffer, sizeof(buffer));
        EXPECT_EQ(std::string(buffer, n), expected);
        buffer[n - 1] = 0;
        SlcanLine back = SlcanParseLine(buffer);
        ASSERT_EQ(back.kind, SlcanLineKind::Frame) << buffer;
        EXPECT_EQ(back.msg.can.id, m.can.id);
        EXPECT_EQ(back.msg.length, m.length);
    }
    RxMsg bad = {};
    bad.length = 9;
    char buffer[SLCAN_COMMAND_MAX + 1];
    EXPECT_EQ(SlcanFormatCommand(&bad, buffer, sizeof(buffer)), 0u);
    bad.length = 8;
    bad.can.id = 0x20000000;
    EXPECT_EQ(SlcanFormatCommand(&bad, buffer, sizeof(buffer)), 0u);
    bad.can.id = 0x123;
    EXPECT_EQ(SlcanFormatCommand(&bad, buffer, 10), 0u);  // does not fit
}

TEST(SlcanClock, StampsUnwrapAcrossTheSixtySecondWrapAndAcrossQuietMinutes)
{
    SlcanClock c;
    SlcanClockReset(&c);
    EXPECT_EQ(SlcanClockUnwrap(&c, 59000, 1000), 59000u);
    EXPECT_EQ(SlcanClockUnwrap(&c, 59999, 1999), 59999u);
    EXPECT_EQ(SlcanClockUnwrap(&c, 10, 2010), 60010u);  // wrapped
    EXPECT_EQ(SlcanClockUnwrap(&c, 20, 2020), 60020u);
    EXPECT_EQ(SlcanClockUnwrap(&c, 30, 2020 + 120010), 180030u);  // two quiet minutes
    EXPECT_EQ(SlcanClockUnwrap(&c, 25, 122031), 240025u);         // one step short of a minute
}

std::wstring Parse(const std::vector<const wchar_t *> &args, SlcanOptions *o)
{
    std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"canslcan")};
    for (const wchar_t *a : args) argv.push_back(const_cast<wchar_t *>(a));
    std::wstring error;
    if (!ParseSlcanOptions((int)argv.size(), argv.data(), o, &error)) {
        return error.empty() ? L"?" : error;
    }
    return L"";
}

TEST(SlcanOptions, TheReadmeCommandAndEveryWrongArgumentNamed)
{
    SlcanOptions o;
    EXPECT_EQ(Parse({L"COM5", L"-b", L"500k", L"--sim", L"CAN1"}, &o), L"");
    EXPECT_EQ(o.bitRateCommand, "S6");
    EXPECT_EQ(o.target, SlcanTarget::Sim);
    SlcanOptions d;
    EXPECT_EQ(Parse({L"COM3", L"--btr", L"031c", L"-l", L"-t", L"-d", L"VCAN1", L"-R", L"7E0"}, &d),
              L"");
    EXPECT_EQ(d.bitRateCommand, "s031C");
    EXPECT_TRUE(d.listenOnly && d.adapterStamps);
    ASSERT_EQ(d.remoteIds.size(), 1u);
    EXPECT_EQ(d.remoteIds[0], 0x7E0u);
    SlcanOptions m;
    EXPECT_EQ(Parse({L"COM5", L"-b", L"1M", L"-s", L"CAN1"}, &m), L"");
    EXPECT_EQ(m.bitRateCommand, "S8");

    struct Bad {
        std::vector<const wchar_t *> args;
        const wchar_t *named;  // what the error must mention
    } bad[] = {
        {{L"COM5", L"-b", L"333k", L"--sim", L"CAN1"}, L"333k"},
        {{L"COM5", L"--btr", L"12345", L"--sim", L"CAN1"}, L"12345"},
        {{L"COM5", L"--btr", L"0x1C", L"--sim", L"CAN1"}, L"0x1C"},
        {{L"COM5", L"--sim", L"CAN1", L"-S", L"+9600"}, L"'+9600'"},
        {{L"COM5", L"--sim", L"CAN1", L"-R", L"7E0 "}, L"'7E0 '"},
        {{L"COM5", L"-b", L"500k", L"--btr", L"0314", L"--sim", L"CAN1"}, L"--btr"},
        {{L"LPT1", L"--sim", L"CAN1"}, L"LPT1"},
        {{L"COM5"}, L"no target"},
        {{L"--sim", L"CAN1"}, L"no COM port"},
        {{L"COM5", L"--sim", L"CAN1", L"--device", L"VCAN1"}, L"--device VCAN1"},
        {{L"COM5", L"--sim", L"CAN1", L"-R", L"123"}, L"--remote"},
        {{L"COM5", L"--device", L"VCAN1", L"-u", L"1:2"}, L"--sim"},
        {{L"COM5", L"--sim", L"CAN1", L"-u", L"12"}, L"'12'"},
        {{L"COM5", L"--sim", L"CAN1", L"-S", L"9"}, L"'9'"},
        {{L"COM5", L"--sim", L"CAN1", L"--frobnicate"}, L"--frobnicate"},
        {{L"COM5", L"COM6", L"--sim", L"CAN1"}, L"COM6"},
        {{L"COM5", L"--sim"}, L"option needs a value: '--sim'"},
        {{L"COM5", L"--sim", L"-x"}, L"--sim needs a name"},
        {{L"COM5", L"--sim", L"CAN1", L"-T", L"x"}, L"-T"},
    };
    for (Bad &b : bad) {
        SlcanOptions x;
        std::wstring error = Parse(b.args, &x);
        EXPECT_NE(error.find(b.named), std::wstring::npos)
            << std::string(error.begin(), error.end());
    }
}

}  // namespace
