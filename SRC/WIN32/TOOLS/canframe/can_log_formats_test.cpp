// The log formats shared with other tools: direction flags and error
// frames in candump logs, and Vector ASC as python-can writes and reads it.
#include "can_asc.h"
#include "can_error_frame.h"
#include "can_frame_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

constexpr uint32_t R = RX_REMOTE_FRAME_FLAG;

TEST(CanLogEntry, ReadsDirectionsAndErrorFramesAsPythonCanWritesThem)
{
    const struct {
        const char *line;
        uint32_t id, length;
        char direction;
        uint32_t isError, errorCode;
    } cases[] = {
        {"(1.000000) vcan0 123#DEADBEEF R\n", 0x123, 4, 'R', 0, 0},
        {"(1.000000) vcan0 1F334455#1122 T", 0x1F334455, 2, 'T', 0, 0},
        {"(1.000000) can1 456#R t", 0x456 | R, 0, 'T', 0, 0},
        {"(1.000000) can1 456#R r", 0x456 | R, 0, 'R', 0, 0},
        {"(1.000000) can1 7FF#", 0x7FF, 0, 0, 0, 0},
        // python-can writes its error frames so, without data
        {"(1.000000) vcan0 20000080#", CAN_ERR_FLAG | CAN_ERR_BUSERROR, 0, 0, 1, 0},
        // ours: the driver's overflow, the code in data[6..7]
        {"(2.500000) CAN1 20000084#000100000000045D", 0x20000084, 8, 0, 1, 1117},
        {"(2.500000) CAN1 20000084#0000123400005678", 0x20000084, 8, 0, 1, 0x12345678},
    };
    for (const auto &c : cases) {
        CanLogEntry e;
        const char *error = nullptr;
        ASSERT_EQ(1, CanLogEntryParse(c.line, &e, nullptr, 0, &error)) << c.line << ": " << error;
        EXPECT_EQ(c.id, e.msg.can.id) << c.line;
        EXPECT_EQ(c.length, e.msg.length) << c.line;
        EXPECT_EQ(c.direction, e.direction) << c.line;
        EXPECT_EQ(c.isError, e.isError) << c.line;
        EXPECT_EQ(c.errorCode, e.errorCode) << c.line;
    }
}

TEST(CanLogEntry, RefusesWhatIsNeitherFrameNorErrorFrame)
{
    const char *bad[] = {
        "(1.0) can0 123#11 X",    // not a direction
        "(1.0) can0 123#11 R T",  // two of them
        "(1.0) can0 123#11 Rx",   // ASC's word, not the flag
        "(1.0) can0 40000000#",   // bit 30 is no flag of a log line
        "(1.0) can0 A0000000#",   // nor bit 31
        "(1.0) can0 20000080#R",  // an error frame is no remote frame
        "(1.0) can0 2000080#",    // seven digits
    };
    for (const char *line : bad) {
        CanLogEntry e = {};
        e.msg.length = 5;
        const char *error = nullptr;
        EXPECT_EQ(0, CanLogEntryParse(line, &e, nullptr, 0, &error)) << line;
        EXPECT_TRUE(error && *error) << line;
        EXPECT_EQ(5u, e.msg.length) << line << ": left alone";
    }
    RxMsg msg = {};
    EXPECT_EQ(0, CanLogLineParse("(1.0) can0 20000084#000100000000045D", &msg, nullptr, 0, nullptr))
        << "where a frame is expected, an error frame is refused";
    EXPECT_EQ(1, CanLogLineParse("(1.0) can0 123#11 R", &msg, nullptr, 0, nullptr));
}

TEST(CanErrorFrame, KeepsEveryWindowsCodeAndMarksTheOverflow)
{
    for (uint32_t code :
         {1u, 23u, 995u, 1117u, 1617u, 0xFFFFu, 0x10000u, 0x80070005u, 0xFFFFFFFFu}) {
        char line[CAN_LOG_LINE_MAX];
        ASSERT_NE(0u, CanErrorLogLineFormat(25000000ull, code, "CAN1", line, sizeof(line))) << code;
        CanLogEntry e;
        ASSERT_EQ(1, CanLogEntryParse(line, &e, nullptr, 0, nullptr)) << line;
        EXPECT_EQ(1u, e.isError) << line;
        EXPECT_EQ(code, e.errorCode) << line;
        EXPECT_EQ(25000000ull, e.msg.timeStamp) << line;
        EXPECT_EQ(CAN_ERR_DLC, e.msg.length) << line;
        EXPECT_EQ(0, e.msg.can.data[0] | e.msg.can.data[4] | e.msg.can.data[5])
            << line << ": the arbitration, transceiver and reserved bytes stay 0";
        EXPECT_EQ(code == 1117u ? CAN_ERR_CRTL_RX_OVERFLOW : CAN_ERR_CRTL_UNSPEC, e.msg.can.data[1])
            << line;
        EXPECT_EQ(CAN_ERR_FLAG | CAN_ERR_BUSERROR | CAN_ERR_CRTL, e.msg.can.id) << line;
    }
    char line[CAN_LOG_LINE_MAX];
    CanErrorLogLineFormat(25000000ull, 1117, "CAN1", line, sizeof(line));
    EXPECT_STREQ("(2.500000) CAN1 20000084#000100000000045D", line);
    EXPECT_NE(nullptr, std::strstr(CanErrorCodeText(1117), "lost before they reached the ring"));
}

CanAscLineKind Read(CanAscReader *r, const char *line, CanLogEntry *e)
{
    CanAscLineKind kind = CAN_ASC_OTHER;
    const char *error = nullptr;
    EXPECT_EQ(1, CanAscLineParse(r, line, e, &kind, &error))
        << line << ": " << (error ? error : "");
    return kind;
}

TEST(CanAsc, ReadsThePythonCanSubsetAndSortsOtherLinesOut)
{
    const struct {
        const char *line;
        CanAscLineKind kind;
        uint32_t id, length;
        uint64_t stamp;
        uint8_t data0;
    } cases[] = {
        {"date Thu Dec 10 09:42:13.123 AM 2026", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"base hex  timestamps absolute", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"internal events logged", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"// version 9.0.0", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"Begin Triggerblock Thu Dec 10 09:42:13.123 AM 2026", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"   0.000000 Start of measurement", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"   0.001250 1  123             Rx   d 8 01 02 03 04 05 06 07 08", CAN_ASC_FRAME, 0x123, 8,
         12500, 1},
        {"   0.002500 2  1F334455x       Tx   d 2 a1 22", CAN_ASC_FRAME, 0x1F334455, 2, 25000,
         0xA1},
        {"   0.003 1  456             Rx   r 4", CAN_ASC_FRAME, 0x456 | R, 4, 30000, 0},
        {"   0.004 1  456             Rx   r", CAN_ASC_FRAME, 0x456 | R, 0, 40000, 0},
        {"   0.005 1  7FF             Rx   d 0", CAN_ASC_FRAME, 0x7FF, 0, 50000, 0},
        // Vector's extra words after the data are ignored
        {"5.5 1 100 Rx d 1 FF Length = 111000 BitCount = 57 ID = 256", CAN_ASC_FRAME, 0x100, 1,
         55000000, 0xFF},
        {"   0.006000 1  ErrorFrame", CAN_ASC_ERROR, 0, 0, 60000, 0},
        {"   0.007 CANFD 1 Rx 123 0 0 8 8 01 02 03 04 05 06 07 08 0 0 1000 0 0 0 0 0",
         CAN_ASC_OTHER, 0, 0, 0, 0},
        {"   0.008 1 Statistic: D 0 R 0 XD 0 XR 0 E 0 O 0 B 0.00%", CAN_ASC_OTHER, 0, 0, 0, 0},
        {"   0.009 1 J1939TP FEE3p 6 0 0 - Rx d 23", CAN_ASC_OTHER, 0, 0, 0, 0},
        {"Some event text", CAN_ASC_OTHER, 0, 0, 0, 0},
        {"End TriggerBlock", CAN_ASC_HEADER, 0, 0, 0, 0},
        {"", CAN_ASC_HEADER, 0, 0, 0, 0},
    };
    CanAscReader r;
    CanAscReaderInit(&r);
    for (const auto &c : cases) {
        CanLogEntry e = {};
        CanAscLineKind kind = Read(&r, c.line, &e);
        EXPECT_EQ(c.kind, kind) << c.line;
        if (c.kind == CAN_ASC_FRAME || c.kind == CAN_ASC_ERROR) {
            EXPECT_EQ(c.stamp, e.msg.timeStamp) << c.line;
        }
        if (c.kind != CAN_ASC_FRAME) continue;
        EXPECT_EQ(c.id, e.msg.can.id) << c.line;
        EXPECT_EQ(c.length, e.msg.length) << c.line;
        EXPECT_EQ(c.data0, e.msg.can.data[0]) << c.line;
    }
}

TEST(CanAsc, RelativeTimeStampsAddUpAndDecimalBaseReadsDecimal)
{
    CanAscReader r;
    CanAscReaderInit(&r);
    CanLogEntry e = {};
    EXPECT_EQ(CAN_ASC_HEADER, Read(&r, "base dec timestamps relative", &e));
    EXPECT_EQ(CAN_ASC_FRAME, Read(&r, "1.5 1 291 Rx d 2 255 16", &e));
    EXPECT_EQ(15000000ull, e.msg.timeStamp);
    EXPECT_EQ(0x123u, e.msg.can.id);
    EXPECT_EQ(0xFF, e.msg.can.data[0]);
    EXPECT_EQ(0x10, e.msg.can.data[1]);
    EXPECT_EQ(CAN_ASC_FRAME, Read(&r, "0.25 1 2047 Rx d 0", &e));
    EXPECT_EQ(17500000ull, e.msg.timeStamp) << "1.5 s and then 0.25 s later";
}

TEST(CanAsc, MalformedFrameLinesAreRefused)
{
    const char *bad[] = {
        "base oct",
        "base hex timestamps sometimes",
        "0.1 1 800 Rx d 0",        // standard identifier above 7FF
        "0.1 1 20000000x Rx d 0",  // extended above 1FFFFFFF
        "0.1 1 12G Rx d 0",
        "0.1 1 123 Rx d 9 01 02 03 04 05 06 07 08 09",  // CAN FD length
        "0.1 1 123 Rx d 3 01 02",                       // a byte short
        "0.1 1 123 Rx d",                               // no length
        "0.1 1 123 Rx q 1 00",                          // neither d nor r
        "0.1 1 123 Rx d 1 100",                         // byte above FF
    };
    for (const char *line : bad) {
        CanAscReader r;
        CanAscReaderInit(&r);
        CanLogEntry e = {};
        CanAscLineKind kind;
        const char *error = nullptr;
        EXPECT_EQ(0, CanAscLineParse(&r, line, &e, &kind, &error)) << line;
        EXPECT_TRUE(error && *error) << line;
    }
}

TEST(CanAsc, WritesWhatItReadsBack)
{
    CanAscDate date = {2026, 12, 10, 4, 21, 5, 9, 7};
    char text[CAN_ASC_HEADER_MAX];
    ASSERT_NE(0u, CanAscHeaderFormat(&date, text, sizeof(text)));
    EXPECT_STREQ(
        "date Thu Dec 10 09:05:09.007 PM 2026\nbase hex  timestamps absolute\ninternal events "
        "logged\n",
        text);
    ASSERT_NE(0u, CanAscBeginFormat(&date, text, sizeof(text)));
    EXPECT_STREQ(
        "Begin Triggerblock Thu Dec 10 09:05:09.007 PM 2026\n   0.000000 Start of measurement\n",
        text);

    RxMsg frames[] = {{0, 8, {0x123, {1, 2, 3, 4, 5, 6, 7, 0xFF}}},
                      {0, 2, {0x1F334455, {0xA1, 0x22}}},
                      {0, 3, {0x456 | R, {}}},
                      {0, 0, {0x800, {}}}};
    CanAscReader r;
    CanAscReaderInit(&r);
    for (uint32_t i = 0; i < 4; i++) {
        char line[CAN_ASC_LINE_MAX];
        ASSERT_NE(0u, CanAscFrameFormat(12345670ull * i, 1 + i, &frames[i], line, sizeof(line)));
        CanLogEntry e = {};
        ASSERT_EQ(CAN_ASC_FRAME, Read(&r, line, &e)) << line;
        EXPECT_EQ(frames[i].can.id, e.msg.can.id) << line;
        EXPECT_EQ(frames[i].length, e.msg.length) << line;
        EXPECT_EQ(0, std::memcmp(frames[i].can.data, e.msg.can.data, 8)) << line;
        EXPECT_EQ(12345670ull * i, e.msg.timeStamp) << line;
    }
    char line[CAN_ASC_LINE_MAX];
    ASSERT_NE(0u, CanAscFrameFormat(12500, 1, &frames[0], line, sizeof(line)));
    EXPECT_STREQ("   0.001250 1  123             Rx   d 8 01 02 03 04 05 06 07 FF\n", line);
    ASSERT_NE(0u, CanAscErrorFormat(60000, 2, 1117, line, sizeof(line)));
    EXPECT_EQ(
        0, std::strncmp(line, "   0.006000 2  ErrorFrame\n// error entry 1117 on channel 2: ", 59))
        << line;
    RxMsg tooLong = {0, 9, {0x123, {}}};
    EXPECT_EQ(0u, CanAscFrameFormat(0, 1, &tooLong, line, sizeof(line)));
}

}  // namespace
