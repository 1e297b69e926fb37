// canpeer with a DBC database: its new options, messages with signal values
// made into frames, and the rest bus's schedule and set lines, against a
// database written here by hand.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "canpeer_options.h"
#include "canpeer_restbus.h"
#include "canpeer_signals.h"

namespace {

// ECU sends EEC1 every 20 ms and EEC2 every 50 ms, Dash sends Lamps on
// change only and a multiplexed Page every 100 ms; Gateway sends nothing.
const char kCar[] =
    "VERSION \"\"\n\n"
    "BU_: ECU Dash Gateway\n\n"
    "BO_ 2364540158 EEC1: 8 ECU\n"
    " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Dash\n"
    " SG_ EngineTorque : 16|8@1+ (1,-125) [-125|125] \"%\" Dash\n"
    " SG_ Mode : 0|4@1+ (1,0) [0|15] \"\" Dash\n\n"
    "BO_ 2364539902 EEC2: 8 ECU\n"
    " SG_ Pedal : 8|8@1+ (0.4,0) [0|100] \"%\" Dash\n\n"
    "BO_ 801 Lamps: 2 Dash\n"
    " SG_ Left : 7|2@0+ (1,0) [0|3] \"\" ECU\n\n"
    "BO_ 802 Page: 8 Dash\n"
    " SG_ Sel M : 0|8@1+ (1,0) [0|255] \"\" ECU\n"
    " SG_ Fuel m0 : 8|16@1+ (0.5,0) [0|1000] \"l\" ECU\n"
    " SG_ Oil m1 : 8|16@1- (1,0) [-500|500] \"C\" ECU\n"
    " SG_ Trim m1 : 24|8@1+ (1,0) [0|255] \"\" ECU\n\n"
    "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\n"
    "BA_DEF_ SG_ \"GenSigStartValue\" FLOAT 0 100000;\n"
    "BA_DEF_DEF_ \"GenMsgCycleTime\" 0;\n"
    "BA_DEF_DEF_ \"GenSigStartValue\" 0;\n"
    "BA_ \"GenMsgCycleTime\" BO_ 2364540158 20;\n"
    "BA_ \"GenMsgCycleTime\" BO_ 2364539902 50;\n"
    "BA_ \"GenMsgCycleTime\" BO_ 802 100;\n"
    "BA_ \"GenSigStartValue\" SG_ 2364540158 Mode 5;\n"
    "BA_ \"GenSigStartValue\" SG_ 2364540158 EngineTorque 125;\n"
    "BA_ \"GenSigStartValue\" SG_ 802 Trim 7;\n"
    "VAL_ 801 Left 0 \"Off\" 1 \"On\" 2 \"Blink\" ;\n";

class CanPeerDbc : public ::testing::Test {
  protected:
    CanDatabase db_;
    void SetUp() override
    {
        CanDbError error;
        ASSERT_TRUE(CanDbParseText(kCar, strlen(kCar), "car.dbc", &db_, &error)) << CanDbErrorText(&error);
    }
    RxMsg Frame(const char *text, std::vector<SignalClamp> *clamps = nullptr)
    {
        std::vector<SignalAssignment> values;
        std::string error;
        RxMsg frame = {};
        EXPECT_TRUE(ParseMessageAssignments(&db_, text, &values, &error)) << error;
        if (values.empty()) return frame;
        EXPECT_TRUE(EncodeMessageFrame(values.front().msg, values, &frame, clamps, &error)) << error;
        return frame;
    }
    std::string Refused(const char *text)
    {
        std::vector<SignalAssignment> values;
        std::string error;
        RxMsg frame;
        if (ParseMessageAssignments(&db_, text, &values, &error) &&
            EncodeMessageFrame(values.front().msg, values, &frame, nullptr, &error)) {
            ADD_FAILURE() << text << " was accepted";
        }
        return error;
    }
};

bool Parse(std::vector<std::wstring> args, PeerOptions *o, std::wstring *error)
{
    std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"canpeer")};
    for (std::wstring &a : args) argv.push_back(&a[0]);
    return ParsePeerOptions((int)argv.size(), argv.data(), o, error);
}

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

TEST(CanPeerDbcOptions, MessagesAndNodesNeedTheDatabaseAndExcludeEachOther)
{
    const struct {
        std::vector<std::wstring> args;
        const char *mentions;
    } cases[] = {
        {{L"-d", L"A", L"--node", L"ECU"}, "--node needs --dbc"},
        {{L"-d", L"A", L"--dbc", L"car.dbc"}, "exactly one"},
        {{L"-d", L"A", L"--dbc", L"car.dbc", L"--node", L"ECU", L"EEC1.Mode=1"}, "exactly one"},
        {{L"-d", L"A", L"--dbc", L"car.dbc", L"-g"}, "not -g"},
        {{L"-d", L"A", L"--dbc", L"car.dbc", L"--node", L"ECU", L"-n", L"5"}, "cycle time"},
        {{L"-d", L"A", L"-T", L"1000", L"123#11"}, "-T belongs"},
        {{L"-d", L"A", L"--dbc", L"car.dbc", L"--node", L"ECU", L"-T", L"0"}, "-T"},
        {{L"-d", L"A", L"--dbc"}, "option needs a value: '--dbc'"},
        {{L"-d", L"A", L"--dbc", L""}, "--dbc: needs a DBC file"},
        {{L"-d", L"A", L"--dbc", L"car.dbc", L"--node"}, "option needs a value: '--node'"},
        {{L"-d", L"A", L"--dbc", L"car.dbc", L"--node", L""}, "--node: needs a node name"},
    };
    for (const auto &c : cases) {
        PeerOptions o;
        std::wstring error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.mentions;
        EXPECT_NE(std::string::npos, Narrow(error).find(c.mentions)) << Narrow(error);
    }
    PeerOptions o;
    std::wstring error;
    // --dbc after the messages still makes them messages, not frames.
    ASSERT_TRUE(Parse({L"-s", L"N", L"EEC1.Mode=2,EEC1.EngineSpeed=800", L"-n", L"4", L"--dbc", L"car.dbc"}, &o,
                      &error))
        << Narrow(error);
    EXPECT_EQ(PeerMode::Signals, o.mode);
    ASSERT_EQ(1u, o.messages.size());
    EXPECT_EQ("EEC1.Mode=2,EEC1.EngineSpeed=800", o.messages[0]);
    EXPECT_TRUE(o.countGiven);
    PeerOptions rest;
    ASSERT_TRUE(Parse({L"-d", L"A", L"--dbc", L"car.dbc", L"--node", L"ECU", L"--node", L"Dash", L"-T", L"500"},
                      &rest, &error));
    EXPECT_EQ(PeerMode::RestBus, rest.mode);
    EXPECT_EQ(2u, rest.nodes.size());
    EXPECT_EQ(500u, rest.runTimeMs);
}

TEST_F(CanPeerDbc, SignalsNotGivenKeepTheirStartValues)
{
    RxMsg f = Frame("EEC1.EngineSpeed=1500");
    EXPECT_EQ(0x0CF004FEu, f.can.id);
    EXPECT_EQ(8u, f.length);
    EXPECT_EQ(0x05, f.can.data[0]) << "Mode's start value";
    EXPECT_EQ(125, f.can.data[2]) << "EngineTorque's start value is raw 125 (0 %)";
    EXPECT_EQ(1500 * 8, f.can.data[3] | f.can.data[4] << 8);
    f = Frame(" EEC1.EngineTorque = 40 , EEC1.Mode=9 ");
    EXPECT_EQ(9, f.can.data[0]);
    EXPECT_EQ(165, f.can.data[2]);
    EXPECT_EQ(0, f.can.data[3]);
}

TEST_F(CanPeerDbc, ValuesRoundToTheStepAndOutOfRangeValuesAreClampedAndReported)
{
    std::vector<SignalClamp> clamps;
    RxMsg f = Frame("EEC2.Pedal=50.3", &clamps);  // 125.75 steps of 0.4
    EXPECT_EQ(126, f.can.data[1]);
    EXPECT_TRUE(clamps.empty());
    f = Frame("EEC2.Pedal=130", &clamps);
    EXPECT_EQ(250, f.can.data[1]) << "100 % is raw 250";
    ASSERT_EQ(1u, clamps.size());
    EXPECT_EQ("EEC2.Pedal", clamps[0].name);
    EXPECT_DOUBLE_EQ(130, clamps[0].asked);
    EXPECT_DOUBLE_EQ(100, clamps[0].written);
    clamps.clear();
    f = Frame("EEC1.EngineTorque=-300", &clamps);
    EXPECT_EQ(0, f.can.data[2]);
    ASSERT_EQ(1u, clamps.size());
    EXPECT_DOUBLE_EQ(-125, clamps[0].written);
}

TEST_F(CanPeerDbc, ValueTableTextsStandForTheirValues)
{
    RxMsg f = Frame("Lamps.Left=Blink");
    EXPECT_EQ(0x80, f.can.data[0]) << "Motorola: 2 in the top two bits";
    EXPECT_EQ(2u, f.length);
    EXPECT_NE(std::string::npos, Refused("Lamps.Left=Dim").find("\"Blink\"")) << "the texts are listed";
}

TEST_F(CanPeerDbc, UnknownNamesAreErrorsThatSayWhatThereIs)
{
    std::string e = Refused("EEC9.EngineSpeed=1");
    EXPECT_NE(std::string::npos, e.find("no message 'EEC9'")) << e;
    EXPECT_NE(std::string::npos, e.find("EEC1, EEC2, Lamps, Page")) << e;
    e = Refused("EEC1.Speed=1");
    EXPECT_NE(std::string::npos, e.find("no signal 'Speed'")) << e;
    EXPECT_NE(std::string::npos, e.find("EngineSpeed, EngineTorque, Mode")) << e;
    EXPECT_NE(std::string::npos, Refused("EEC1.Mode=fast").find("bad value 'fast'"));
    EXPECT_NE(std::string::npos, Refused("EEC1.Mode").find("MESSAGE.SIGNAL=VALUE"));
    EXPECT_NE(std::string::npos, Refused("EEC1.Mode=1,").find("MESSAGE.SIGNAL=VALUE"));
    EXPECT_NE(std::string::npos, Refused("EEC1Mode=1").find("no MESSAGE.SIGNAL"));
    EXPECT_NE(std::string::npos, Refused("EEC1.Mode=1,EEC2.Pedal=3").find("one message per argument"));
}

TEST_F(CanPeerDbc, AMultiplexorGivenSelectsItsSignalsWithTheirStartValues)
{
    RxMsg f = Frame("Page.Fuel=12.5");
    EXPECT_EQ(0, f.can.data[0]);
    EXPECT_EQ(25, f.can.data[1]);
    f = Frame("Page.Oil=-2,Page.Sel=1");
    EXPECT_EQ(1, f.can.data[0]);
    EXPECT_EQ(0xFE, f.can.data[1]);
    EXPECT_EQ(0xFF, f.can.data[2]);
    EXPECT_EQ(7, f.can.data[3]) << "Trim, on the page now selected, takes its start value";
    std::string e = Refused("Page.Oil=3");
    EXPECT_NE(std::string::npos, e.find("multiplexor Sel")) << e;
}

// The rest bus's clock: a loop woken at uneven, late times still gets
// exactly one frame per cycle elapsed, in the order they fall due.
TEST_F(CanPeerDbc, RestBusKeepsEveryCycleOnOneClock)
{
    RestBus bus;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(RestBusInit(&bus, &db_, {"ECU", "Dash"}, &notes, &error)) << error;
    ASSERT_EQ(4u, bus.messages.size());
    ASSERT_EQ(1u, notes.size());
    EXPECT_NE(std::string::npos, notes[0].find("Lamps (321) has no GenMsgCycleTime")) << notes[0];
    std::map<uint32_t, int> counts;
    uint64_t now = 0;
    unsigned step = 0;
    const uint64_t end = 10000000;  // one second, 100 ns units
    while (now <= end) {
        std::vector<RxMsg> batch;
        RestBusTakeDue(&bus, now, &batch);
        for (const RxMsg &f : batch) counts[f.can.id]++;
        if (!batch.empty()) continue;
        // Wake-ups 0.1 to 7 ms late, never on time.
        now = RestBusNextDue(&bus) + 1000 + (step++ * 7919) % 70000;
    }
    // Frames due at 0, 20, ..., 1000 ms (the last only if woken in time).
    EXPECT_NEAR(51, counts[0x0CF004FE], 1);
    EXPECT_NEAR(21, counts[0x0CF003FE], 1);
    EXPECT_NEAR(11, counts[0x322], 1);
    EXPECT_EQ(1, counts[0x321]) << "sent once at the start";
    EXPECT_EQ(uint64_t(counts[0x0CF004FE]), bus.messages[0].sent);
}

TEST_F(CanPeerDbc, RestBusSetLinesChangeTheNextFrame)
{
    RestBus bus;
    std::vector<std::string> notes;
    std::string error, done;
    ASSERT_TRUE(RestBusInit(&bus, &db_, {"all"}, &notes, &error)) << error;
    ASSERT_TRUE(RestBusApplyLine(&bus, "set EEC1.EngineSpeed 2000", &done, &error)) << error;
    EXPECT_EQ("EEC1.EngineSpeed = 2000 rpm", done);
    ASSERT_TRUE(RestBusApplyLine(&bus, "  set EEC1.EngineTorque 400\r", &done, &error)) << error;
    EXPECT_EQ("EEC1.EngineTorque = 125 % (clamped from 400)", done);
    std::vector<RxMsg> batch;
    RestBusTakeDue(&bus, 0, &batch);
    ASSERT_EQ(4u, batch.size());
    EXPECT_EQ(0x0CF004FEu, batch[0].can.id);
    EXPECT_EQ(2000 * 8, batch[0].can.data[3] | batch[0].can.data[4] << 8) << "the earlier value stays";
    EXPECT_EQ(250, batch[0].can.data[2]);
    EXPECT_EQ(5, batch[0].can.data[0]) << "Mode keeps its start value";

    // A message without a cycle time goes again once it is set.
    batch.clear();
    RestBusTakeDue(&bus, 1, &batch);
    EXPECT_TRUE(batch.empty());
    ASSERT_TRUE(RestBusApplyLine(&bus, "set Lamps.Left On", &done, &error)) << error;
    RestBusTakeDue(&bus, 2, &batch);
    ASSERT_EQ(1u, batch.size());
    EXPECT_EQ(0x40, batch[0].can.data[0]);

    const char *bad[] = {"set EEC1.EngineSpeed", "get EEC1.EngineSpeed 1", "set EEC1.Nothing 1",
                         "set EEC1.EngineSpeed 1 2", "set EEC1.EngineSpeed many"};
    for (const char *line : bad) EXPECT_FALSE(RestBusApplyLine(&bus, line, &done, &error)) << line;
    RestBus ecu;
    ASSERT_TRUE(RestBusInit(&ecu, &db_, {"ECU"}, &notes, &error)) << error;
    EXPECT_FALSE(RestBusApplyLine(&ecu, "set Lamps.Left On", &done, &error));
    EXPECT_NE(std::string::npos, error.find("not a message of the nodes")) << error;
}

TEST_F(CanPeerDbc, RestBusNamesUnknownNodesAndNodesThatSendNothing)
{
    RestBus bus;
    std::vector<std::string> notes;
    std::string error;
    EXPECT_FALSE(RestBusInit(&bus, &db_, {"Brakes"}, &notes, &error));
    EXPECT_NE(std::string::npos, error.find("ECU, Dash, Gateway")) << error;
    EXPECT_FALSE(RestBusInit(&bus, &db_, {"Gateway"}, &notes, &error));
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(std::string::npos, notes[0].find("Gateway sends no message")) << notes[0];
}

}  // namespace
