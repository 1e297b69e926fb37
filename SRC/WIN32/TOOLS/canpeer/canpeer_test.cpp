// canpeer: its command line, its random generator and log reader, and the
// tool itself run as a separate process against a device of a private
// driver service and as the simulated peer of a net (long option names
// there, short ones in the parser cases).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "canpeer_frames.h"
#include "canpeer_options.h"
#include "child_process.h"
#include "msgq.h"
#include "sim_can_message.h"
#include "test_names.h"
#include "vcan_control.h"

namespace {

using ribex_test::Narrow;
using ribex_test::RunProgram;

bool Parse(std::vector<std::wstring> args, PeerOptions *o, std::wstring *error)
{
    std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"canpeer")};
    for (std::wstring &a : args) argv.push_back(&a[0]);
    return ParsePeerOptions((int)argv.size(), argv.data(), o, error);
}

std::wstring WriteTempFile(const char *text)
{
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"cpt", 0, path);
    FILE *f = _wfopen(path, L"wb");
    std::fputs(text, f);
    std::fclose(f);
    return path;
}

TEST(CanPeerOptions, WrongArgumentsAreNamed)
{
    const struct {
        std::vector<std::wstring> args;
        const char *mentions;
    } cases[] = {
        {{L"123#11"}, "target"},
        {{L"-d", L"A", L"-s", L"B", L"123#11"}, "one target"},
        {{L"-d", L"A"}, "exactly one"},
        {{L"-d", L"A", L"-g", L"123#11"}, "exactly one"},
        {{L"-d", L"A", L"123#XYZ"}, "123#XYZ"},
        {{L"-d", L"A", L"-g", L"-n", L"0"}, "-n"},
        {{L"-d", L"A", L"-g", L"-r", L"fast"}, "fast"},
        {{L"-d", L"A", L"-g", L"-r", L"-5"}, "-r"},
        {{L"-d", L"A", L"-g", L"-I", L"20000000"}, "20000000"},
        {{L"-d", L"A", L"-g", L"-L", L"9"}, "-L"},
        {{L"-d", L"A", L"--bogus", L"123#11"}, "--bogus"},
        {{L"-s", L"N", L"-u", L"12", L"123#11"}, "HIGH:LOW"},
        {{L"-d", L"A", L"-w", L"100", L"123#11"}, "--sim"},
        {{L"-d"}, "-d"},
    };
    for (const auto &c : cases) {
        PeerOptions o;
        std::wstring error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.mentions;
        EXPECT_NE(std::string::npos, Narrow(error).find(c.mentions)) << Narrow(error);
    }
}

TEST(CanPeerGenerator, RandomFramesStayWithinTheirIdentifierRange)
{
    PeerOptions o;
    o.idPattern = o.lengthPattern = Pattern::Random;
    o.remote = true;
    Generator g;
    GeneratorInit(&g, &o, 7);
    uint32_t highest = 0;
    for (int i = 0; i < 200; i++) {
        RxMsg f = GeneratorNext(&g);
        EXPECT_TRUE(f.can.id & RX_REMOTE_FRAME_FLAG);
        EXPECT_LE(f.length, 8u);
        highest = std::max(highest, f.can.id & ~RX_REMOTE_FRAME_FLAG);
    }
    EXPECT_LE(highest, 0x7FFu);
    EXPECT_GT(highest, 0x400u) << "the whole standard range is used";
    o.extended = true;
    o.remote = false;
    for (int i = 0; i < 50; i++) highest = std::max(highest, GeneratorNext(&g).can.id);
    EXPECT_GT(highest, 0x7FFu);
    EXPECT_LE(highest, 0x1FFFFFFFu);
}

TEST(CanPeerLog, ReadsFramesSkipsCommentsAndNamesTheBadLine)
{
    std::wstring good = WriteTempFile("# recorded on the bench\n(100.000000) can0 123#DEADBEEF\n\n"
                                      "(100.250000) can1 1F334455#R\r\n");
    std::vector<RxMsg> frames;
    std::wstring error;
    LogCounts counts;
    ASSERT_TRUE(LoadFrameLog(good, &frames, &counts, &error)) << Narrow(error);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(1000000000ull, frames[0].timeStamp);
    EXPECT_EQ(0x1F334455u | RX_REMOTE_FRAME_FLAG, frames[1].can.id);
    EXPECT_EQ(2500000ull, frames[1].timeStamp - frames[0].timeStamp);
    DeleteFileW(good.c_str());

    std::wstring bad = WriteTempFile("(1.0) can0 123#11\n(1.1) can0 123#1\n");
    EXPECT_FALSE(LoadFrameLog(bad, &frames, &counts, &error));
    EXPECT_NE(std::string::npos, Narrow(error).find(":2:")) << Narrow(error);
    DeleteFileW(bad.c_str());
    EXPECT_FALSE(LoadFrameLog(L"C:\\no\\such\\file.log", &frames, &counts, &error));
}

// Logs as python-can writes them: candump lines with a direction, error
// frames, and ASC. Error frames and other events are counted, not sent.
TEST(CanPeerLog, ReadsPythonCanLogsAndCountsWhatItSkips)
{
    const struct {
        const char *text;
        LogFormat format;
        size_t frames;
        DWORD errorFrames, otherLines;
        uint32_t lastId;
        uint64_t lastStamp;
    } cases[] = {
        {"(1.000000) vcan0 123#DEADBEEF R\n(1.500000) vcan0 20000080#\n(2.000000) vcan0 1F334455#R "
         "T\n",
         LogFormat::Candump, 2, 1, 0, 0x1F334455u | RX_REMOTE_FRAME_FLAG, 20000000},
        {"(2.5) CAN1 20000084#000100000000045D\n(2.7) CAN1 123##311223344\n(3.0) CAN1 7FF#01\n",
         LogFormat::Candump, 1, 1, 1, 0x7FF, 30000000},
        {"date Thu Dec 10 09:42:13.123 AM 2026\nbase hex  timestamps absolute\ninternal events "
         "logged\n"
         "Begin Triggerblock Thu Dec 10 09:42:13.123 AM 2026\n   0.000000 Start of measurement\n"
         "   0.001000 1  123             Rx   d 2 11 22\n   0.002000 1  ErrorFrame\n"
         "   0.003000 CANFD 1 Rx 123 0 0 1 1 01 0 0 1000 0 0 0 0 0\n"
         "   0.004000 2  1F334455x       Tx   r 4\nEnd TriggerBlock\n",
         LogFormat::Asc, 2, 1, 1, 0x1F334455u | RX_REMOTE_FRAME_FLAG, 40000},
        {"date Thu Dec 10 09:42:13 2026\nbase dec timestamps relative\n1.0 1 291 Rx d 1 255\n0.5 1 "
         "292 Rx d 0\n",
         LogFormat::Asc, 2, 0, 0, 292, 15000000},
    };
    for (const auto &c : cases) {
        std::wstring path = WriteTempFile(c.text);
        std::vector<RxMsg> frames;
        LogCounts counts;
        std::wstring error;
        ASSERT_TRUE(LoadFrameLog(path, &frames, &counts, &error)) << c.text << Narrow(error);
        DeleteFileW(path.c_str());
        EXPECT_EQ(c.format, counts.format) << c.text;
        ASSERT_EQ(c.frames, frames.size()) << c.text;
        EXPECT_EQ(c.errorFrames, counts.errorFrames) << c.text;
        EXPECT_EQ(c.otherLines, counts.otherLines) << c.text;
        EXPECT_EQ(c.lastId, frames.back().can.id) << c.text;
        EXPECT_EQ(c.lastStamp, frames.back().timeStamp) << c.text;
    }
    std::wstring onlyErrors = WriteTempFile("(1.0) vcan0 20000080#\n");
    std::vector<RxMsg> frames;
    LogCounts counts;
    std::wstring error;
    EXPECT_FALSE(LoadFrameLog(onlyErrors, &frames, &counts, &error));
    EXPECT_NE(std::string::npos, Narrow(error).find("only error frames")) << Narrow(error);
    DeleteFileW(onlyErrors.c_str());
    std::wstring badAsc = WriteTempFile("base hex timestamps absolute\n0.1 1 800 Rx d 0\n");
    EXPECT_FALSE(LoadFrameLog(badAsc, &frames, &counts, &error));
    EXPECT_NE(std::string::npos, Narrow(error).find(":2:")) << Narrow(error);
    DeleteFileW(badAsc.c_str());
}

TEST(CanPeerProgram, HelpAndWrongArgumentsPrintTheUsage)
{
    std::string out;
    EXPECT_EQ(0u, RunProgram(L"canpeer", L"-h", 10000, &out));
    EXPECT_NE(std::string::npos, out.find("Examples:"));
    EXPECT_EQ(2u, RunProgram(L"canpeer", L"-d VCAN1 123#GG", 10000, &out));
    EXPECT_NE(std::string::npos, out.find("bad frame '123#GG'"));
    EXPECT_NE(std::string::npos, out.find("Examples:"));
}

// A driver service of this suite's own, so that no other suite sees its
// frames.
class CanPeerDevice : public ::testing::Test {
  protected:
    static std::wstring service_, device_;
    HANDLE reader_ = INVALID_HANDLE_VALUE;

    static void SetUpTestSuite()
    {
        service_ = L"cpt" + std::to_wstring(GetCurrentProcessId());
        device_ = service_ + L"_1";
        VcanUninstallService(service_.c_str());
        ASSERT_TRUE(VcanInstallService(service_.c_str(), (service_ + L"_").c_str(), 1, nullptr));
        // Room for every frame of the full-load case, however late the
        // reader gets the processor on a busy machine.
        ASSERT_TRUE(VcanSetServiceValue(service_.c_str(), L"QueueFrames", 32768));
        ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    }
    static void TearDownTestSuite() { VcanUninstallService(service_.c_str()); }
    void SetUp() override { ASSERT_NE(INVALID_HANDLE_VALUE, reader_ = VcanOpenDevice(device_.c_str())); }
    void TearDown() override { CloseHandle(reader_); }

    // Runs canpeer on the device and reads what it sent.
    std::vector<RxMsg> Send(const std::wstring &args, size_t expected, std::string *out,
                            DWORD timeoutMs = 10000)
    {
        EXPECT_EQ(0u, RunProgram(L"canpeer", L"--device " + device_ + L" " + args, timeoutMs, out))
            << *out;
        std::vector<RxMsg> got;
        std::vector<RxMsg> buffer(256);
        DWORD n = 0;
        while (got.size() < expected && VcanReadFrames(reader_, buffer.data(), 256, &n, 3000)) {
            got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        }
        EXPECT_EQ(expected, got.size()) << Narrow(args);
        got.resize(expected);
        return got;
    }
};
std::wstring CanPeerDevice::service_;
std::wstring CanPeerDevice::device_;

TEST_F(CanPeerDevice, SendsCansendFramesInOrder)
{
    uint32_t id = 0x1F334455;
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(reader_, IOCTL_CAN_ENABLE_REMREPLY, &id, 4, nullptr, 0, &n, nullptr));
    std::string out;
    std::vector<RxMsg> got = Send(L"-v 123#DEADBEEF 1F334455#R5 7FF#", 3, &out);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // text-mode stdout
    EXPECT_NE(std::string::npos, out.find(") " + Narrow(device_) + " 123#DEADBEEF\n")) << out;
    EXPECT_NE(std::string::npos, out.find(" 1F334455#R5\n")) << out;
    EXPECT_EQ(0x123u, got[0].can.id);
    EXPECT_EQ(4u, got[0].length);
    EXPECT_EQ(0xEF, got[0].can.data[3]);
    EXPECT_EQ(0x1F334455u | RX_REMOTE_FRAME_FLAG, got[1].can.id);
    EXPECT_EQ(5u, got[1].length);
    EXPECT_EQ(0x7FFu, got[2].can.id);
    EXPECT_EQ(0u, got[2].length);
}

TEST_F(CanPeerDevice, GeneratorCountsUpAndKeepsItsRate)
{
    std::string out;
    std::vector<RxMsg> got = Send(L"-g -n 10 -r 100 -I i -L i", 10, &out);
    for (uint32_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(i, got[i].can.id);
        EXPECT_EQ(i % 9, got[i].length) << "lengths cycle through 0..8";
        EXPECT_EQ(got[i].length ? (uint8_t)i : 0, got[i].can.data[0]) << "data is the sequence number";
    }
    // Nine gaps of 10 ms: the frames cannot all have come at once.
    EXPECT_GE(got[9].timeStamp - got[0].timeStamp, 700000u);
    // The last frame is due 90 ms after the first: the rate canpeer reports
    // counts the nine gaps, so however the machine runs it cannot exceed 100.
    size_t at = out.find(" frames/s (asked for 100)");
    ASSERT_NE(std::string::npos, at) << out;
    size_t begin = out.rfind(", ", at);
    ASSERT_NE(std::string::npos, begin) << out;
    double reported = std::atof(out.substr(begin + 2, at - begin - 2).c_str());
    EXPECT_GT(reported, 0.0) << out;
    EXPECT_LE(reported, 100.0) << out;
}

// The full 1 Mbit/s load of 8-byte extended frames: paced in batches, every
// frame arrives, in order. (The rate reached is a figure canpeer prints; a
// busy machine may not reach it, so it is not asserted.)
TEST_F(CanPeerDevice, FullBusLoadArrivesCompleteAndInOrder)
{
    std::string out;
    std::vector<RxMsg> got = Send(L"-g -n 15000 -r 7600 -e -I 1ABCDEF0 -L 8", 15000, &out, 120000);
    ASSERT_EQ(15000u, got.size());
    for (uint32_t i = 0; i < got.size(); i++) {
        uint32_t seq = got[i].can.data[0] | got[i].can.data[1] << 8 | got[i].can.data[2] << 16 |
                       (uint32_t)got[i].can.data[3] << 24;
        ASSERT_EQ(i, seq) << "frame " << i << " missing or out of order";
        ASSERT_EQ(0x1ABCDEF0u, got[i].can.id);
        ASSERT_EQ(8u, got[i].length);
    }
    EXPECT_NE(std::string::npos, out.find("canpeer: 15000 frames to " + Narrow(device_))) << out;
    EXPECT_NE(std::string::npos, out.find("(asked for 7600)")) << out;
}

TEST_F(CanPeerDevice, ReplaysAnAscLogAndSaysWhatItSkipped)
{
    std::wstring log = WriteTempFile(
        "base hex  timestamps absolute\n   0.000000 Start of measurement\n"
        "   0.010000 1  123             Rx   d 2 11 22\n   0.020000 1  ErrorFrame\n"
        "   0.030000 1  1F334455x       Tx   d 1 33\n");
    std::string out;
    std::vector<RxMsg> got = Send(L"-p \"" + log + L"\"", 2, &out);
    EXPECT_EQ(0x123u, got[0].can.id);
    EXPECT_EQ(0x22, got[0].can.data[1]);
    EXPECT_EQ(0x1F334455u, got[1].can.id);
    EXPECT_NE(std::string::npos, out.find("skipped 1 error frames")) << out;
    DeleteFileW(log.c_str());
}

TEST_F(CanPeerDevice, ReplayKeepsTheLogTimingUnlessAskedToHurry)
{
    std::wstring log = WriteTempFile("(5.000000) can0 101#01\n(5.150000) can0 102#02\n(5.300000) can0 103#03\n");
    std::string out;
    std::vector<RxMsg> got = Send(L"-p \"" + log + L"\"", 3, &out);
    EXPECT_EQ(0x103u, got[2].can.id);
    EXPECT_GE(got[2].timeStamp - got[0].timeStamp, 2500000u) << "300 ms apart in the log";
    got = Send(L"-x -p \"" + log + L"\"", 3, &out);
    EXPECT_EQ(0x101u, got[0].can.id);
    DeleteFileW(log.c_str());
}

TEST(CanPeerSim, FeedsTheNetQueueWithItsUniqueIdAndLingers)
{
    std::wstring net = ribex_test::UniqueName(L"CPNET");
    ribex_test::ScopedChild child;
    std::wstring args = L"-s " + net + L" --unique-id 12:34 --linger 1500 123#1122 456#R";
    ASSERT_TRUE(ribex_test::StartChild(L"canpeer", args, child.get()));
    MsgQHandle q = MsgQOpen(net.c_str(), 10000);
    ASSERT_NE(nullptr, q) << GetLastError();
    SimCanMsg msg[2];
    for (SimCanMsg &m : msg) {
        DWORD length = 0;
        ASSERT_TRUE(MsgQReceive(q, &m, sizeof(m), &length, 5000)) << GetLastError();
        EXPECT_EQ(SIM_CAN_MSG_SIZE, length);
        EXPECT_EQ(0x12u, m.uniqueIdHigh);
        EXPECT_EQ(0x34u, m.uniqueIdLow);
    }
    EXPECT_EQ(0x123u, msg[0].frame.can.id);
    EXPECT_EQ(2u, msg[0].frame.length);
    EXPECT_EQ(0x22, msg[0].frame.can.data[1]);
    EXPECT_EQ(0x456u | RX_REMOTE_FRAME_FLAG, msg[1].frame.can.id);
    MsgQClose(q);
    DWORD exitCode = 99;
    EXPECT_TRUE(ribex_test::WaitChild(child.get(), 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(nullptr, MsgQOpen(net.c_str(), 0)) << "the peer's queue goes with the peer";
}

TEST(CanPeerSim, FullQueueWithoutReaderFailsLoudly)
{
    std::string out;
    std::wstring args = L"--sim " + ribex_test::UniqueName(L"CPFULL") + L" --queue-size 2 --send-timeout 100 -g -n 5";
    EXPECT_EQ(1u, RunProgram(L"canpeer", args, 10000, &out));
    EXPECT_NE(std::string::npos, out.find("queue full")) << out;
}

// Every frame into a net's queue is a message of its own, a few kernel
// calls: no machine carries a million a second that way. canpeer must say
// so while it runs and at the end, and still send every frame.
TEST(CanPeerSim, SaysSoWhenThePathCannotKeepTheRate)
{
    std::wstring net = ribex_test::UniqueName(L"CPRATE");
    std::wstring args = L"--sim " + net + L" --queue-size 20000 -g -n 20000 -r 1000000";
    std::string out;
    EXPECT_EQ(0u, RunProgram(L"canpeer", args, 120000, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("canpeer: 20000 frames to ")) << out;
    EXPECT_NE(std::string::npos, out.find("warning: cannot keep 1000000 frames/s")) << out;
    EXPECT_NE(std::string::npos, out.find("warning: asked for 1000000 frames/s, reached")) << out;
}

}  // namespace
