// The dump tool's line and bus-time arithmetic.
#include <gtest/gtest.h>

#include <string.h>

#include "candump_line.h"

namespace {

RibexFrame Frame(DWORD canId, DWORD length, DWORD errorCode = 0) {
    RibexFrame f = {};
    f.msg.can.id = canId;
    f.msg.length = length;
    for (DWORD i = 0; i < 8; ++i) f.msg.can.data[i] = (uint8_t)(0xA0 + i);
    f.errorCode = errorCode;
    return f;
}

DWORD Bits(DWORD canId, DWORD length) {
    RibexFrame f = Frame(canId, length);
    return WorstCaseFrameBits(&f.msg);
}

std::string Line(unsigned long long stamp, const RibexFrame &f) {
    char line[128];
    FormatDumpLine(stamp, "CAN1", &f, line, sizeof(line));
    return line;
}

TEST(CandumpLine, FramesPrintAsCandumpLogLines) {
    EXPECT_EQ(Line(12345678901ull, Frame(0x123, 3)), "(1234.567890) CAN1 123#A0A1A2");
    EXPECT_EQ(Line(0, Frame(0x7FF, 0)), "(0.000000) CAN1 7FF#");
    EXPECT_EQ(Line(10, Frame(0x800, 1)), "(0.000001) CAN1 00000800#A0");
    EXPECT_EQ(Line(0, Frame(0x80000123, 0)), "(0.000000) CAN1 123#R");
    EXPECT_EQ(Line(0, Frame(0x9F334455, 0)), "(0.000000) CAN1 1F334455#R");
    // An error entry carries no frame: it becomes an error frame that keeps
    // its code, whatever the slot's frame held.
    EXPECT_EQ(Line(25000000ull, Frame(0x123, 8, 1117)),
              "(2.500000) CAN1 20000084#000100000000045D");
    EXPECT_EQ(Line(0, Frame(0x7FF, 2, 23)), "(0.000000) CAN1 20000084#0000000000000017");
}

TEST(CandumpLine, WorstCaseBitStuffingGivesTheKnownFrameLengths) {
    // Standard frames: 55 bits empty, 135 with 8 bytes; extended: 80 and 160.
    EXPECT_EQ(Bits(0x123, 0), 55u);
    EXPECT_EQ(Bits(0x123, 8), 135u);
    EXPECT_EQ(Bits(0x1F334455, 0), 80u);
    EXPECT_EQ(Bits(0x1F334455, 8), 160u);
    // A remote frame carries no data whatever length it asks for.
    EXPECT_EQ(Bits(0x80000123, 8), 55u);
}

}  // namespace
