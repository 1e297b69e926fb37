// The JSON Lines record read back by a JSON parser: what a frame, a decoded
// (and a multiplexed) message, a remote frame and an error entry become.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "can_error_frame.h"
#include "canjson.h"

namespace {

using nlohmann::json;

const char kDbc[] =
    "VERSION \"\"\n\nBS_:\n\nBU_: ECU\n\n"
    "BO_ 2364540158 EEC1: 8 ECU\n"
    " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" ECU\n"
    " SG_ Mode : 0|2@1+ (1,0) [0|3] \"\" ECU\n\n"
    "BO_ 1024 Mux: 3 ECU\n"
    " SG_ Sel M : 0|8@1+ (1,0) [0|0] \"\" ECU\n"
    " SG_ A m1 : 8|16@1- (0.5,0) [0|0] \"V\" ECU\n"
    " SG_ B m2 : 8|8@1+ (1,0) [0|0] \"\" ECU\n\n"
    "BO_ 291 Temp: 4 ECU\n"
    " SG_ Value : 0|32@1- (1,0) [0|0] \"degC\" ECU\n\n"
    "SIG_VALTYPE_ 291 Value : 1;\n"
    "VAL_ 2364540158 Mode 0 \"Off\" 2 \"Run\" ;\n";

struct Decoded {
    CanDatabase db;
    CanDbValue values[8];
};

void Load(Decoded *d) {
    CanDbError error;
    ASSERT_TRUE(CanDbParseText(kDbc, strlen(kDbc), "canjson.dbc", &d->db, &error)) << CanDbErrorText(&error);
}

json Line(const RxMsg &msg, DWORD errorCode, const CanDbMessage *m, const CanDbValue *v) {
    CanJsonFrame f;
    CanJsonFrameFromRxMsg(&msg, errorCode, msg.timeStamp, "CAN1", &f);
    std::string line = "left over";
    EXPECT_TRUE(CanJsonFormatLine(&f, m, v, &line));
    EXPECT_EQ(std::string::npos, line.find('\n')) << line;
    return json::parse(line);
}

RxMsg Msg(uint32_t id, unsigned long long stamp, std::initializer_list<uint8_t> data) {
    RxMsg m = {};
    m.timeStamp = stamp;
    m.can.id = id;
    m.length = (uint32_t)data.size();
    unsigned i = 0;
    for (uint8_t b : data) m.can.data[i++] = b;
    return m;
}

TEST(CanJson, AFrameAndItsDecodedSignalsWithLabelsInTheSchemaOrder) {
    Decoded d;
    Load(&d);
    // 123456.7890123 s on the net's clock; 1413.5 rpm is raw 0x2C2C.
    RxMsg msg = Msg(0x0CF004FE, 1234567890123ull, {0x02, 0x7D, 0x7D, 0x2C, 0x2C, 0xFF, 0xFF, 0xFF});
    const CanDbMessage *m = CanDbFindMessage(&d.db, 0x0CF004FE, true);
    ASSERT_NE(nullptr, m);
    ASSERT_EQ(2u, CanDbDecode(m, msg.can.data, msg.length, d.values, 8));
    json j = Line(msg, 0, m, d.values);

    EXPECT_DOUBLE_EQ(123456.7890123, j["t"].get<double>());
    EXPECT_EQ("CAN1", j["net"]);
    EXPECT_EQ(0x0CF004FE, j["id"]);
    EXPECT_EQ(true, j["ext"]);
    EXPECT_EQ(false, j["rtr"]);
    EXPECT_EQ(8, j["dlc"]);
    EXPECT_EQ("027D7D2C2CFFFFFF", j["data"]);
    EXPECT_EQ("EEC1", j["msg"]);
    EXPECT_DOUBLE_EQ(0x2C2C * 0.125, j["signals"]["EngineSpeed"].get<double>());
    EXPECT_EQ(2.0, j["signals"]["Mode"].get<double>());
    EXPECT_EQ(json({{"Mode", "Run"}}), j["labels"]);
    EXPECT_TRUE(j["error"].is_null());
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    // Parsed into a sorted map; the order on the line is checked on the text.
    CanJsonFrame f;
    CanJsonFrameFromRxMsg(&msg, 0, msg.timeStamp, "CAN1", &f);
    std::string line;
    ASSERT_TRUE(CanJsonFormatLine(&f, m, d.values, &line));
    EXPECT_EQ(0u, line.find("{\"t\":123456.7890123,\"net\":\"CAN1\",\"id\":217056510,\"ext\":true,"
                            "\"rtr\":false,\"dlc\":8,\"data\":\"027D7D2C2CFFFFFF\",\"msg\":\"EEC1\","
                            "\"signals\":{"))
        << line;
    EXPECT_EQ(11u, keys.size());
}

TEST(CanJson, AMultiplexedMessageCarriesOnlyTheSignalsItsSelectorPicks) {
    Decoded d;
    Load(&d);
    const CanDbMessage *m = CanDbFindMessage(&d.db, 0x400, false);
    ASSERT_NE(nullptr, m);
    RxMsg msg = Msg(0x400, 10000000, {0x01, 0xFE, 0xFF});
    CanDbDecode(m, msg.can.data, msg.length, d.values, 8);
    json j = Line(msg, 0, m, d.values);
    EXPECT_EQ(json({{"Sel", 1.0}, {"A", -1.0}}), j["signals"]);
    EXPECT_EQ(false, j["ext"]);

    msg = Msg(0x400, 10000000, {0x02, 0x07, 0x00});
    CanDbDecode(m, msg.can.data, msg.length, d.values, 8);
    EXPECT_EQ(json({{"Sel", 2.0}, {"B", 7.0}}), Line(msg, 0, m, d.values)["signals"]);
}

TEST(CanJson, UnknownRemoteAndNonFiniteValuesAndBadLengths) {
    Decoded d;
    Load(&d);
    // No database entry: msg null, nothing decoded.
    json raw = Line(Msg(0x7FF, 0, {0xAB}), 0, nullptr, nullptr);
    EXPECT_TRUE(raw["msg"].is_null());
    EXPECT_EQ(json::object(), raw["signals"]);
    EXPECT_EQ(json::object(), raw["labels"]);
    EXPECT_EQ("AB", raw["data"]);
    EXPECT_EQ(0.0, raw["t"].get<double>());

    // A remote frame asks for 4 bytes and carries none.
    RxMsg remote = Msg(0x123 | RX_REMOTE_FRAME_FLAG, 5, {});
    remote.length = 4;
    json r = Line(remote, 0, nullptr, nullptr);
    EXPECT_EQ(0x123, r["id"]);
    EXPECT_EQ(true, r["rtr"]);
    EXPECT_EQ(4, r["dlc"]);
    EXPECT_EQ("", r["data"]);

    // An IEEE float NaN is no JSON number: null.
    const CanDbMessage *temp = CanDbFindMessage(&d.db, 0x123, false);
    ASSERT_NE(nullptr, temp);
    RxMsg nan = Msg(0x123, 0, {0x00, 0x00, 0xC0, 0x7F});
    CanDbDecode(temp, nan.can.data, nan.length, d.values, 8);
    ASSERT_TRUE(isnan(d.values[0].physical));
    json n = Line(nan, 0, temp, d.values);
    ASSERT_TRUE(n["signals"].contains("Value"));
    EXPECT_TRUE(n["signals"]["Value"].is_null());

    CanJsonFrame f = {};
    f.dlc = 9;
    std::string line = "kept";
    EXPECT_FALSE(CanJsonFormatLine(&f, nullptr, nullptr, &line));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ("kept", line);
    EXPECT_FALSE(CanJsonFormatLine(nullptr, nullptr, nullptr, &line));
}

TEST(CanJson, AnErrorEntryIsTheLinuxErrorFrameWithItsCodeInWords) {
    json j = Line(Msg(0, 20000000, {}), 1117, nullptr, nullptr);
    EXPECT_EQ(2.0, j["t"].get<double>());
    EXPECT_EQ(0x20000084, j["id"]);  // the error flag, controller and bus error classes
    EXPECT_EQ(true, j["ext"]);
    EXPECT_EQ(8, j["dlc"]);
    EXPECT_EQ("000100000000045D", j["data"]);  // as candump prints it
    EXPECT_TRUE(j["msg"].is_null());
    EXPECT_EQ(1117, j["error"]["code"]);
    EXPECT_EQ(std::string(CanErrorCodeText(1117)), j["error"]["text"]);

    json other = Line(Msg(0, 0, {}), 5, nullptr, nullptr);
    EXPECT_EQ(5, other["error"]["code"]);
    EXPECT_EQ("0000000000000005", other["data"]);
}

}  // namespace
