// canmon's statistics, table lines, keys and command line, on frames whose
// time stamps and data the test chooses.
#include <gtest/gtest.h>

#include <string>

#include "canmon_console.h"
#include "canmon_keys.h"
#include "canmon_view.h"

namespace {

const unsigned long long kMs = 10000;  // 100 ns units per millisecond

RibexFrame Frame(DWORD canId, unsigned long long stamp, std::initializer_list<BYTE> data) {
    RibexFrame f = {};
    f.msg.can.id = canId;
    f.msg.timeStamp = stamp;
    f.msg.length = (DWORD)data.size();
    DWORD i = 0;
    for (BYTE b : data) f.msg.can.data[i++] = b;
    return f;
}

RibexFrame ErrorEntry(DWORD code) {
    RibexFrame f = {};
    f.errorCode = code;
    return f;
}

const MonRow *FindRow(const MonSnapshot &snap, DWORD canId) {
    for (const MonRow &row : snap.rows)
        if (row.canId == canId) return &row;
    return nullptr;
}

struct Fixture {
    MonTable table;
    Fixture(DWORD nets = 1) { MonTableInit(&table, nets); }
    void Add(const RibexFrame &f, DWORD net = 0, ULONGLONG nowMs = 1000) {
        MonTableAdd(&table, net, &f, 1, 0, nowMs);
    }
    MonSnapshot Snap(ULONGLONG nowMs = 1000) {
        MonSnapshot s;
        MonTableSnapshot(&table, nowMs, &s);
        return s;
    }
};

TEST(CanmonTable, RatePeriodAndJitterComeFromTheFramesOwnTimeStamps) {
    Fixture t;
    // 0x100 every 10 ms exactly; 0x200 alternately after 8 and 12 ms, for
    // three seconds. The frames are added "late" and all at once: only their
    // stamps count.
    for (int i = 0; i <= 300; ++i) t.Add(Frame(0x100, 5000000 + i * 10 * kMs, {1}));
    unsigned long long stamp = 5000000;
    for (int i = 0; i <= 300; ++i) {
        t.Add(Frame(0x200, stamp, {2}));
        stamp += (i % 2 ? 12 : 8) * kMs;
    }
    MonSnapshot s = t.Snap();
    const MonRow *even = FindRow(s, 0x100), *odd = FindRow(s, 0x200);
    ASSERT_TRUE(even && odd);
    EXPECT_EQ(even->count, 301u);
    // The rate window ends at the last frame; its 100 ms buckets put it at
    // most one frame per window (0.5/s) off.
    EXPECT_NEAR(MonRowRate(even), 100.0, 0.6);
    EXPECT_DOUBLE_EQ(MonRowPeriodMs(even), 10.0);
    EXPECT_NEAR(MonRowJitterMs(even), 0.0, 1e-9);
    EXPECT_NEAR(MonRowRate(odd), 100.0, 0.6);
    EXPECT_NEAR(MonRowPeriodMs(odd), 10.0, 1e-9);
    EXPECT_NEAR(MonRowJitterMs(odd), 2.0, 1e-9);
    // The net: 602 frames over three seconds, 55 + 8 stuffed data bits each.
    EXPECT_EQ(s.nets[0].frames, 602u);
    EXPECT_NEAR(MonNetRate(&s.nets[0]), 601.0 / 3.0, 1e-9);
    EXPECT_EQ(s.nets[0].busBits, 602u * 65u);
}

// The net's clock runs 50 s ahead of the monitor's; each frame is read 1 ms
// after it was stamped. 0x321 comes twice, 0.8 ms apart, ten seconds before
// the table is looked at; 0x100 comes every 10 ms all the while, then stops.
TEST(CanmonTable, TheRateIsWhatTheLastSecondsCarriedAndFallsToZeroWhenAnIdentifierStops) {
    Fixture t;
    const ULONGLONG kAheadMs = 50000;
    auto addAt = [&](DWORD canId, unsigned long long stamp) {
        t.Add(Frame(canId, stamp, {0}), 0, stamp / kMs - kAheadMs + 1);
    };
    const unsigned long long start = 60000 * kMs;
    addAt(0x321, start);
    addAt(0x321, start + 8000);
    for (int i = 0; i <= 1000; ++i) addAt(0x100, start + i * 10 * kMs);
    ULONGLONG lastRead = (start + 10000 * kMs) / kMs - kAheadMs + 1;

    MonSnapshot s = t.Snap(lastRead);
    ASSERT_TRUE(FindRow(s, 0x321) && FindRow(s, 0x100));
    EXPECT_EQ(MonRowRate(FindRow(s, 0x321)), 0.0) << "a burst ten seconds ago is no rate";
    EXPECT_NEAR(MonRowRate(FindRow(s, 0x100)), 100.0, 0.6);
    MonViewSettings byRate;
    byRate.sort = MonSort::Rate;
    std::vector<size_t> order = MonOrderRows(&s, &byRate);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(s.rows[order[0]].canId, 0x100u) << "the busy identifier tops the rate sort";

    // No frame comes any more: the window moves on with the monitor's clock.
    double halfGone = MonRowRate(FindRow(t.Snap(lastRead + 1000), 0x100));
    EXPECT_GT(halfGone, 40.0);
    EXPECT_LT(halfGone, 60.0);
    EXPECT_EQ(MonRowRate(FindRow(t.Snap(lastRead + 2100), 0x100)), 0.0);
    EXPECT_EQ(MonRowRate(FindRow(t.Snap(lastRead + 600000), 0x100)), 0.0);
    // The frames' counts and period stay what the whole run carried.
    const MonRow *row = FindRow(t.Snap(lastRead + 2100), 0x100);
    EXPECT_EQ(row->count, 1001u);
    EXPECT_DOUBLE_EQ(MonRowPeriodMs(row), 10.0);
}

TEST(CanmonTable, StandardExtendedAndRemoteFramesGetRowsOfTheirOwnPerNet) {
    Fixture t(2);
    t.Add(Frame(0x123, 0, {}));
    t.Add(Frame(0x80000123, 0, {}));  // remote frame of the same identifier
    t.Add(Frame(0x00000800, 0, {}));  // extended
    t.Add(Frame(0x123, 0, {}), 1);    // same identifier, other net
    t.Add(ErrorEntry(1117));
    DWORD lost = 7;
    MonTableAdd(&t.table, 1, nullptr, 0, lost, 1000);
    MonSnapshot s = t.Snap();
    EXPECT_EQ(s.rows.size(), 4u);
    EXPECT_EQ(s.nets[0].frames, 3u);
    EXPECT_EQ(s.nets[0].errorEntries, 1u);
    EXPECT_EQ(s.nets[0].lastError, 1117u);
    EXPECT_EQ(s.nets[1].lost, 7u);

    MonViewSettings view;
    view.netNames = {L"CAN1", L"CAN2"};
    MonMarks marks;
    std::vector<std::wstring> lines;
    size_t shown = 0;
    MonBuildLines(&s, &view, &marks, &lines, &shown);
    ASSERT_EQ(lines.size(), 7u);  // heading, header, 3 rows, header, 1 row
    EXPECT_EQ(shown, 4u);
    EXPECT_NE(lines[1].find(L"== CAN1: "), std::wstring::npos) << lines[1];
    EXPECT_NE(lines[1].find(L"1 error entries, 3 frames (last error 1117)"), std::wstring::npos)
        << lines[1];
    EXPECT_EQ(lines[2].substr(0, 22), L"CAN1 123      std     ");
    EXPECT_EQ(lines[3].substr(0, 22), L"CAN1 123      std rtr ");
    EXPECT_NE(lines[3].find(L"remote, length 0"), std::wstring::npos);
    EXPECT_EQ(lines[4].substr(0, 22), L"CAN1 00000800 ext     ");
    EXPECT_NE(lines[5].find(L"== CAN2: 0.0 frames/s, bus load 0.00% at 500000 bit/s, 7 lost"),
              std::wstring::npos)
        << lines[5];
}

TEST(CanmonTable, ChangedBytesAreMarkedUntilTheNextSnapshotAndHeldOnTheConsole) {
    Fixture t;
    t.Add(Frame(0x10, 0, {0x11, 0x22, 0x33}));
    t.Add(Frame(0x10, kMs, {0x11, 0x2F, 0x33}));
    t.Add(Frame(0x10, 2 * kMs, {0x11, 0x20, 0x33, 0x44}));  // byte 3 is new
    MonSnapshot s = t.Snap(1000);
    const MonRow *row = FindRow(s, 0x10);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->changedMask, 0x0A);

    MonViewSettings view;
    view.netNames = {L"N"};
    MonMarks none;
    std::vector<std::wstring> lines;
    MonBuildLines(&s, &view, &none, &lines, nullptr);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 12), L"11 20*33 44*");

    // The next snapshot starts over; on the console the marks stay a while.
    MonMarks marks;
    MonUpdateMarks(&marks, &s, 1000);
    t.Add(Frame(0x10, 3 * kMs, {0x11, 0x20, 0x33, 0x44}));
    MonSnapshot later = t.Snap(1500);
    row = FindRow(later, 0x10);
    EXPECT_EQ(row->changedMask, 0);
    EXPECT_EQ(MonMarkedBytes(&marks, row, 1500), 0x0A);
    EXPECT_EQ(MonMarkedBytes(&marks, row, 2001), 0);
    view.styled = true;
    MonBuildLines(&later, &view, &marks, &lines, nullptr);
    EXPECT_NE(lines[2].find(L"11 \x1b[1;30;43m20\x1b[0m 33 \x1b[1;30;43m44\x1b[0m"),
              std::wstring::npos);
}

TEST(CanmonView, RowsSortByIdRateOrAgeWithinTheirNetAndPassTheFilters) {
    Fixture t;
    // Within the last seconds: 0x300 2 frames, last read at 900; 0x100 3
    // frames, read at 500; 0x200 4 frames, read at 700.
    t.Add(Frame(0x300, 0, {}), 0, 800);
    t.Add(Frame(0x300, 100 * kMs, {}), 0, 900);
    for (int i = 0; i < 3; ++i) t.Add(Frame(0x100, i * 25 * kMs, {}), 0, 300 + 100 * i);
    for (int i = 0; i < 4; ++i) t.Add(Frame(0x200, i * 3 * kMs, {}), 0, 550 + 50 * i);
    MonSnapshot s = t.Snap(1000);
    const struct {
        MonSort sort;
        std::vector<CanIdFilter> filters;
        std::vector<DWORD> ids;
    } cases[] = {{MonSort::Id, {}, {0x100, 0x200, 0x300}},
                 {MonSort::Rate, {}, {0x200, 0x100, 0x300}},
                 {MonSort::Age, {}, {0x300, 0x200, 0x100}},
                 {MonSort::Id, {{0x200, 0x700}}, {0x200}},
                 {MonSort::Rate, {{0x100, 0x7FF}, {0x300, 0x7FF}}, {0x100, 0x300}}};
    for (const auto &c : cases) {
        MonViewSettings view;
        view.sort = c.sort;
        view.filters = c.filters;
        std::vector<size_t> order = MonOrderRows(&s, &view);
        std::vector<DWORD> ids;
        for (size_t i : order) ids.push_back(s.rows[i].canId);
        EXPECT_EQ(ids, c.ids) << (int)c.sort;
    }
}

TEST(CanmonTable, ClearAndDropTakeRowsAwayAndTheyComeBackWithTheirNextFrame) {
    Fixture t;
    t.Add(Frame(0x1, 0, {}), 0, 1000);
    t.Add(Frame(0x2, 0, {}), 0, 9000);
    MonTableDropStale(&t.table, 10000, 5000);
    MonSnapshot s = t.Snap();
    ASSERT_EQ(s.rows.size(), 1u);
    EXPECT_EQ(s.rows[0].canId, 0x2u);
    t.Add(Frame(0x2, kMs, {}), 0, 9500);  // the index still finds the moved row
    EXPECT_EQ(t.Snap().rows[0].count, 2u);
    MonTableClear(&t.table);
    s = t.Snap();
    EXPECT_TRUE(s.rows.empty());
    EXPECT_EQ(s.nets[0].frames, 0u);
    t.Add(Frame(0x1, 0, {}));
    EXPECT_EQ(t.Snap().rows.size(), 1u);
}

TEST(CanmonKeys, KeysSortPauseQuitAndTheFilterPromptTakesCandumpSyntax) {
    MonKeyState k;
    MonViewSettings view;
    EXPECT_EQ(MonHandleKey(&k, &view, L'r'), MonAction::None);
    EXPECT_EQ(view.sort, MonSort::Rate);
    EXPECT_EQ(MonHandleKey(&k, &view, L'a'), MonAction::None);
    EXPECT_EQ(view.sort, MonSort::Age);
    MonHandleKey(&k, &view, L'p');
    EXPECT_TRUE(k.paused);
    EXPECT_EQ(MonHandleKey(&k, &view, L'c'), MonAction::Clear);
    EXPECT_EQ(MonHandleKey(&k, &view, L'd'), MonAction::Drop);

    // f, typed text, Enter: the filter applies; q inside the prompt is text.
    MonHandleKey(&k, &view, L'f');
    EXPECT_TRUE(k.prompting);
    for (wchar_t c : std::wstring(L"100:7F0 1ABq")) MonHandleKey(&k, &view, c);
    MonHandleKey(&k, &view, 8);  // backspace
    MonHandleKey(&k, &view, 13);
    EXPECT_FALSE(k.prompting);
    EXPECT_TRUE(view.filters.empty());
    EXPECT_NE(k.message.find(L"1AB"), std::wstring::npos);  // the bad part is named
    MonHandleKey(&k, &view, L'f');
    k.input.clear();
    for (wchar_t c : std::wstring(L"100:7F0,80000000:80000000")) MonHandleKey(&k, &view, c);
    MonHandleKey(&k, &view, 13);
    ASSERT_EQ(view.filters.size(), 2u);
    EXPECT_EQ(view.filters[1].mask, 0x80000000u);
    EXPECT_EQ(MonFilterText(view.filters), L"100:7F0 80000000:80000000");
    MonHandleKey(&k, &view, L'f');
    MonHandleKey(&k, &view, 27);  // Esc keeps the filter
    EXPECT_EQ(view.filters.size(), 2u);
    EXPECT_EQ(MonHandleKey(&k, &view, L'q'), MonAction::Quit);
    EXPECT_EQ(MonHandleKey(&k, &view, 3), MonAction::Quit);
}

TEST(CanmonOptions, WrongArgumentsAreNamed) {
    const struct {
        std::vector<const wchar_t *> args;
        bool ok;
        const wchar_t *error;
    } cases[] = {
        {{L"CAN1"}, true, L""},
        {{L"-b", L"1000000", L"-f", L"100:7F0", L"-o", L"rate", L"-S", L"-t", L"500", L"A", L"B"},
         true,
         L""},
        {{}, false, L"no net given"},
        {{L"-x", L"CAN1"}, false, L"unknown option: '-x'"},
        {{L"-f", L"100", L"CAN1"}, false, L"-f: filter must be ID:MASK in hex: '100'"},
        {{L"-o", L"size", L"CAN1"}, false, L"-o: sort order must be id, rate or age: 'size'"},
        {{L"-b", L"0", L"CAN1"}, false, L"-b: bad bit rate: '0'"},
        {{L"-t"}, false, L"option needs a value: '-t'"},
        {{L"-u", L"12", L"CAN1"}, false, L"-u: unique id must be HIGH:LOW in hex: '12'"},
        {{L"-i", L"\t100", L"CAN1"}, false, L"-i: bad interval: '\t100'"},
        {{L"-a", L"86401", L"CAN1"}, false, L"-a: bad age: '86401'"},
        {{L"-u", L"1:2 ", L"CAN1"}, false, L"-u: unique id must be HIGH:LOW in hex: '1:2 '"},
        {{L"--read-delay", L"x", L"CAN1"}, false, L"--read-delay: bad read delay: 'x'"}};
    for (const auto &c : cases) {
        std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"canmon")};
        for (const wchar_t *a : c.args) argv.push_back(const_cast<wchar_t *>(a));
        MonOptions o;
        std::wstring error;
        EXPECT_EQ(ParseMonOptions((int)argv.size(), argv.data(), &o, &error), c.ok) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

TEST(CanmonOptions, TheRunTimeIsTAsInEveryToolAndTStillWorks) {
    for (const wchar_t *letter : {L"-T", L"-t"}) {
        std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"canmon"), const_cast<wchar_t *>(letter),
                                       const_cast<wchar_t *>(L"700"), const_cast<wchar_t *>(L"CAN1")};
        MonOptions o;
        std::wstring error;
        ASSERT_TRUE(ParseMonOptions((int)argv.size(), argv.data(), &o, &error)) << error.c_str();
        EXPECT_EQ(o.runTimeMs, 700u);
    }
    MonOptions unused;
    std::wstring usage = ToolUsageText(MonToolSpec(&unused));
    EXPECT_NE(usage.find(L"  -T MS "), std::wstring::npos);
    EXPECT_NE(usage.find(L"Examples:"), std::wstring::npos);
}

TEST(CanmonConsole, ColourSequencesBecomeCellAttributesAndTheRowIsFilled) {
    const WORD base = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;  // grey on black
    CHAR_INFO cells[8];
    MonLineToCells(L"a\x1b[1;30;43mBC\x1b[0md\x1b[7me\x1b[0m\x1b[1;36mf", base, cells, 8);
    const wchar_t *text = L"aBCdef  ";
    const WORD yellowBack = BACKGROUND_RED | BACKGROUND_GREEN;
    const WORD attributes[] = {base,
                               (WORD)(FOREGROUND_INTENSITY | yellowBack),
                               (WORD)(FOREGROUND_INTENSITY | yellowBack),
                               base,
                               (WORD)(BACKGROUND_RED | BACKGROUND_GREEN | BACKGROUND_BLUE),
                               (WORD)(FOREGROUND_INTENSITY | FOREGROUND_GREEN | FOREGROUND_BLUE),
                               base,
                               base};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(cells[i].Char.UnicodeChar, text[i]) << i;
        EXPECT_EQ(cells[i].Attributes, attributes[i]) << i;
    }
    // Cut at the width; the sequences take no cells.
    CHAR_INFO two[2];
    MonLineToCells(L"\x1b[7mxyz", base, two, 2);
    EXPECT_EQ(two[1].Char.UnicodeChar, L'y');
}

}  // namespace
