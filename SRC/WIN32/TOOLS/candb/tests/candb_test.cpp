// candb against hand-written DBC text: the bit layouts, multiplexing, value
// tables and attributes, and the place a malformed file is reported at.
#include <gtest/gtest.h>

#include <string.h>

#include "candb.h"

namespace {

const char kEngine[] =
    "VERSION \"1\"\n"
    "NS_ :\n\tNS_DESC_\n\tCM_\n\tBA_DEF_\n\n"
    "BS_:\n\n"
    "BU_: ECU Dash\n\n"
    "BO_ 2364540158 EEC1: 8 ECU\n"
    " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Dash\n"
    " SG_ Torque : 16|8@1+ (1,-125) [-125|125] \"%\" Dash,ECU\n\n"
    "BO_ 291 Gear: 2 Dash\n"
    " SG_ Pos : 7|4@0+ (1,0) [0|15] \"\" ECU\n"
    " SG_ Word : 3|12@0+ (1,0) [0|0] \"\" ECU\n\n"
    "CM_ SG_ 2364540158 EngineSpeed \"Crank speed\";\n"
    "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\n"
    "BA_DEF_ SG_ \"GenSigStartValue\" FLOAT 0 100000;\n"
    "BA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n"
    "BA_DEF_DEF_ \"GenSigStartValue\" 0;\n"
    "BA_ \"GenMsgCycleTime\" BO_ 2364540158 20;\n"
    "BA_ \"GenSigStartValue\" SG_ 291 Pos 3;\n"
    "VAL_ 291 Pos 0 \"Park\" 3 \"Drive\" ;\n";

CanDatabase Parse(const char *text) {
    CanDatabase db;
    CanDbError error;
    EXPECT_TRUE(CanDbParseText(text, strlen(text), "test.dbc", &db, &error)) << CanDbErrorText(&error);
    return db;
}

TEST(CanDb, IntelAndMotorolaSignalsDecodeToPhysicalValues) {
    CanDatabase db = Parse(kEngine);
    ASSERT_EQ(nullptr, CanDbFindMessage(&db, 0x0CF004FE, false));
    const CanDbMessage *eec1 = CanDbFindMessage(&db, 0x0CF004FE, true);
    ASSERT_NE(nullptr, eec1);
    EXPECT_EQ(20, CanDbCycleTime(eec1));
    const uint8_t data[8] = {0xFF, 0x7D, 0x7D, 0x2C, 0x0B, 0xFF, 0xFF, 0xFF};
    CanDbValue v[2];
    ASSERT_EQ(2u, CanDbDecode(eec1, data, 8, v, 2));
    EXPECT_DOUBLE_EQ(0x0B2C * 0.125, v[0].physical);  // 357.5
    EXPECT_DOUBLE_EQ(125 - 125, v[1].physical);
    EXPECT_EQ("Crank speed", eec1->signals[0].comment);

    // Motorola: Pos is the top nibble of byte 0; Word starts at bit 3 of byte
    // 0 and runs on through byte 1.
    const CanDbMessage *gear = CanDbFindMessageByName(&db, "Gear");
    ASSERT_NE(nullptr, gear);
    const uint8_t g[2] = {0x3A, 0xBC};
    ASSERT_EQ(2u, CanDbDecode(gear, g, 2, v, 2));
    EXPECT_EQ(3u, v[0].raw);
    ASSERT_NE(nullptr, v[0].label);
    EXPECT_STREQ("Drive", v[0].label);
    EXPECT_EQ(0xABCu, v[1].raw);
    char text[200];
    CanDbFormatDecoded(gear, v, text, sizeof(text));
    EXPECT_STREQ("Gear(Pos: 3 \"Drive\", Word: 2748)", text);
}

TEST(CanDb, StartValuesFillTheFrameAndEncodingRoundsAndClamps) {
    CanDatabase db = Parse(kEngine);
    const CanDbMessage *gear = CanDbFindMessageByName(&db, "Gear");
    uint8_t data[8];
    ASSERT_EQ(2u, CanDbStartFrame(gear, data));
    EXPECT_EQ(0x30, data[0]);
    const CanDbMessage *eec1 = CanDbFindMessageByName(&db, "EEC1");
    bool clamped = true;
    double written = 0;
    ASSERT_TRUE(CanDbEncodeSignal(&eec1->signals[0], 1413.56, data, &clamped, &written));
    EXPECT_FALSE(clamped);
    EXPECT_DOUBLE_EQ(1413.5, written);
    ASSERT_TRUE(CanDbEncodeSignal(&eec1->signals[1], 300, data, &clamped, &written));
    EXPECT_TRUE(clamped);
    EXPECT_DOUBLE_EQ(125, written);
    CanDbValue v[2];
    ASSERT_EQ(2u, CanDbDecode(eec1, data, 8, v, 2));
    EXPECT_DOUBLE_EQ(1413.5, v[0].physical);
    EXPECT_DOUBLE_EQ(125, v[1].physical);
    std::vector<const CanDbMessage *> ecu = CanDbMessagesOfNode(&db, "ECU");
    ASSERT_EQ(1u, ecu.size());
    EXPECT_EQ(eec1, ecu[0]);
}

struct MalformedCase {
    const char *what;
    const char *text;
    unsigned line;
    unsigned column;
};

// Each file is good up to one place; the load names that place.
const MalformedCase kMalformed[] = {
    {"a signal without its bit layout", "BO_ 100 M: 8 ECU\n SG_ S : 0|8 (1,0) [0|0] \"\" ECU\n", 2, 14},
    {"a message id that is not a number", "BU_: ECU\nBO_ x12 M: 8 ECU\n", 2, 5},
    {"an unterminated unit", "BO_ 100 M: 8 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"rpm\n", 2, 0},
    {"a signal beyond the message's 8 bytes", "BO_ 100 M: 8 ECU\n SG_ S : 60|8@1+ (1,0) [0|0] \"\" ECU\n", 2, 10},
    {"a value table of an unknown message", "BO_ 100 M: 8 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" ECU\nVAL_ 101 S 0 \"off\" ;\n", 3, 0},
};

TEST(CanDb, MalformedFilesNameTheirLineAndColumn) {
    for (const MalformedCase &c : kMalformed) {
        CanDatabase db;
        CanDbError error;
        EXPECT_FALSE(CanDbParseText(c.text, strlen(c.text), "bad.dbc", &db, &error)) << c.what;
        EXPECT_EQ("bad.dbc", error.file) << c.what;
        EXPECT_EQ(c.line, error.line) << c.what << ": " << CanDbErrorText(&error);
        if (c.column != 0) {
            EXPECT_EQ(c.column, error.column) << c.what << ": " << CanDbErrorText(&error);
        }
        EXPECT_FALSE(error.text.empty()) << c.what;
    }
}

}  // namespace

// Databases per net: a net's own file hides the file for every net there,
// one identifier twice for one net is refused naming both files, and a
// tool's "NET=FILE" argument is split only where NET can be a net name.
namespace {

const char kOne[] = "BO_ 256 One: 1 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n";
const char kTwo[] = "BO_ 256 Two: 1 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n";

CanDatabase Named(const char *text, const char *fileName) {
    CanDatabase db;
    CanDbError error;
    EXPECT_TRUE(CanDbParseText(text, strlen(text), fileName, &db, &error)) << CanDbErrorText(&error);
    return db;
}

std::wstring WriteTemp(const wchar_t *name, const char *text) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(h, text, (DWORD)strlen(text), &written, nullptr);
    CloseHandle(h);
    return path;
}

}  // namespace

TEST(CanDbSet, ANetsOwnFileHidesTheCommonOneAndClashesAreNamed) {
    CanDbSet set;
    CanDbError error;
    CanDatabase common = Named(kOne, "common.dbc"), own = Named(kTwo, "can2.dbc");
    ASSERT_TRUE(CanDbSetAdd(&set, "", &common, &error));
    ASSERT_TRUE(CanDbSetAdd(&set, "CAN2", &own, &error)) << CanDbErrorText(&error);
    EXPECT_EQ("One", CanDbSetFind(&set, "CAN1", 256, false)->name);
    EXPECT_EQ("Two", CanDbSetFind(&set, "CAN2", 256, false)->name);
    EXPECT_EQ("Two", CanDbSetFind(&set, "can2", 256, false)->name);
    EXPECT_EQ(nullptr, CanDbSetFind(&set, "CAN1", 256, true));

    CanDatabase again = Named(kOne, "again.dbc");
    EXPECT_FALSE(CanDbSetAdd(&set, "can2", &again, &error));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ("again.dbc: identifier 100 (One) is already defined as Two by can2.dbc on net can2",
              CanDbErrorText(&error));
    CanDatabase everyNet = Named(kTwo, "every.dbc");
    EXPECT_FALSE(CanDbSetAdd(&set, "", &everyNet, &error));
    EXPECT_NE(std::string::npos, error.text.find("common.dbc")) << error.text;
    EXPECT_EQ(2u, set.entries.size());
}

TEST(CanDbSet, ArgumentsNameAFileOrANetAndAFile) {
    std::wstring one = WriteTemp(L"candb_set_one.dbc", kOne);
    std::wstring two = WriteTemp(L"candb_set_two.dbc", kTwo);
    CanDbSet set;
    CanDbError error;
    ASSERT_TRUE(CanDbSetLoadArgument(&set, one.c_str(), &error)) << CanDbErrorText(&error);
    EXPECT_EQ("", set.entries[0].net);  // "C:\..." holds no net
    ASSERT_TRUE(CanDbSetLoadArgument(&set, (L"VCAN_1-a=" + two).c_str(), &error)) << CanDbErrorText(&error);
    EXPECT_EQ("VCAN_1-a", set.entries[1].net);
    EXPECT_EQ("Two", CanDbSetFind(&set, "VCAN_1-a", 256, false)->name);

    EXPECT_FALSE(CanDbSetLoadArgument(&set, L"CAN1=", &error));
    EXPECT_EQ("CAN1=: expected FILE.dbc or NET=FILE.dbc", CanDbErrorText(&error));
    EXPECT_FALSE(CanDbSetLoadArgument(&set, L"CAN3=no-such-file.dbc", &error));
    EXPECT_EQ("no-such-file.dbc", error.file);
    EXPECT_EQ(2u, set.entries.size());
    DeleteFileW(one.c_str());
    DeleteFileW(two.c_str());
}
