// The bus arithmetic and identifier filters that candump and canmon share.
#include <gtest/gtest.h>

#include "can_bus_load.h"
#include "can_id_filter.h"

namespace {

TEST(CanIdFilter, ParsesIdAndMaskInHexAndRejectsEverythingElse) {
    const struct {
        const wchar_t *text;
        BOOL ok;
        DWORD id, mask;
    } cases[] = {{L"100:7F0", TRUE, 0x100, 0x7F0},
                 {L"1f334455:1FFFFFFF", TRUE, 0x1F334455, 0x1FFFFFFF},
                 {L"0x80000000:0X80000000", TRUE, 0x80000000, 0x80000000},
                 {L"0:0", TRUE, 0, 0},
                 {L"100", FALSE, 0, 0},
                 {L"100:", FALSE, 0, 0},
                 {L":7F0", FALSE, 0, 0},
                 {L"10g:7F0", FALSE, 0, 0},
                 {L"100:7F0 ", FALSE, 0, 0},
                 {L"-1:7F0", FALSE, 0, 0},
                 {L"123456789:1", FALSE, 0, 0},
                 {L"1:2:3", FALSE, 0, 0}};
    for (const auto &c : cases) {
        CanIdFilter f = {0xDEAD, 0xBEEF};
        EXPECT_EQ(ParseCanIdFilter(c.text, &f), c.ok) << (int)(&c - cases);
        if (c.ok) {
            EXPECT_EQ(f.id, c.id);
            EXPECT_EQ(f.mask, c.mask);
        } else {
            EXPECT_EQ(f.id, 0xDEADu);  // untouched on failure
        }
    }
}

TEST(CanIdFilter, AFramePassesAnyFilterOrAllWhenThereIsNone) {
    const CanIdFilter filters[] = {{0x100, 0x7F0}, {0x1F334455, 0x1FFFFFFF}};
    EXPECT_TRUE(CanIdPassesFilters(filters, 0, 0x555));
    EXPECT_TRUE(CanIdPassesFilters(filters, 2, 0x10F));
    EXPECT_FALSE(CanIdPassesFilters(filters, 2, 0x110));
    EXPECT_TRUE(CanIdPassesFilters(filters, 2, 0x1F334455));
    EXPECT_FALSE(CanIdPassesFilters(filters, 1, 0x1F334455));
    // Bit 31 (remote) is outside the mask 7F0: remote frames pass too...
    EXPECT_TRUE(CanIdPassesFilters(filters, 1, 0x80000105));
    // ...unless the mask takes bit 31 in.
    const CanIdFilter dataOnly = {0x100, 0x800007F0};
    EXPECT_FALSE(CanIdPassesFilters(&dataOnly, 1, 0x80000105));
    EXPECT_TRUE(CanIdPassesFilters(&dataOnly, 1, 0x105));
}

TEST(CanBusLoad, BitsOfAFullSecondOfFramesGiveTheLoad) {
    RxMsg msg = {};
    msg.can.id = 0x123;
    msg.length = 8;
    // 135 bits each: 7,407 frames fill a 1 Mbit/s bus for one second.
    unsigned long long bits = 7407ull * WorstCaseFrameBits(&msg);
    EXPECT_NEAR(BusLoadPercent(bits, 1.0, 1000000), 99.99, 0.01);
    EXPECT_NEAR(BusLoadPercent(bits, 2.0, 1000000), 50.0, 0.01);
    EXPECT_EQ(BusLoadPercent(bits, 0.0, 1000000), 0.0);
    EXPECT_EQ(BusLoadPercent(bits, 1.0, 0), 0.0);
}

}  // namespace
