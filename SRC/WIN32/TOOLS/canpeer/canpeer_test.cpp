// canpeer: its command line, its generator and log reader, and the tool
// itself run as a separate process against a device of a private driver
// service and as the simulated peer of a net.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

bool Parse(std::vector<std::wstring> args, PeerOptions *o, std::wstring *error)
{
    std::vector<wchar_t *> argv;
    static wchar_t program[] = L"canpeer";
    argv.push_back(program);
    for (std::wstring &a : args) argv.push_back(&a[0]);
    return ParsePeerOptions((int)argv.size(), argv.data(), o, error);
}

TEST(CanPeerOptions, TargetsModesAndValues)
{
    PeerOptions o;
    std::wstring error;
    ASSERT_TRUE(Parse({L"--device", L"VCAN1", L"123#DEADBEEF", L"1F334455#R"}, &o, &error)) << Narrow(error);
    EXPECT_EQ(PeerTarget::Device, o.target);
    EXPECT_EQ(L"VCAN1", o.targetName);
    EXPECT_EQ(PeerMode::Frames, o.mode);
    ASSERT_EQ(2u, o.frames.size());
    EXPECT_EQ(0x1F334455u | RX_REMOTE_FRAME_FLAG, o.frames[1].can.id);

    PeerOptions g;
    ASSERT_TRUE(Parse({L"-s", L"CAN1", L"-g", L"-n", L"500", L"-r", L"250.5", L"-I", L"7e0", L"-L", L"i", L"-u",
                       L"1a:2b", L"-w", L"1500", L"-Q", L"8"},
                      &g, &error))
        << Narrow(error);
    EXPECT_EQ(PeerTarget::Sim, g.target);
    EXPECT_EQ(PeerMode::Generator, g.mode);
    EXPECT_EQ(500u, g.count);
    EXPECT_DOUBLE_EQ(250.5, g.rate);
    EXPECT_EQ(Pattern::Fixed, g.idPattern);
    EXPECT_EQ(0x7E0u, g.id);
    EXPECT_EQ(Pattern::Increment, g.lengthPattern);
    EXPECT_EQ(0x1Au, g.uniqueIdHigh);
    EXPECT_EQ(0x2Bu, g.uniqueIdLow);
    EXPECT_EQ(1500u, g.lingerMs);
    EXPECT_EQ(8u, g.queueSize);

    PeerOptions r;
    ASSERT_TRUE(Parse({L"-d", L"VCAN2", L"-p", L"x.log", L"-x"}, &r, &error));
    EXPECT_EQ(PeerMode::Replay, r.mode);
    EXPECT_TRUE(r.asFastAsPossible);

    PeerOptions big;
    ASSERT_TRUE(Parse({L"-d", L"V1", L"-g", L"-I", L"12345"}, &big, &error));
    EXPECT_TRUE(big.extended) << "an identifier above 7FF is an extended one";
}

TEST(CanPeerOptions, WrongArgumentsAreNamed)
{
    struct Case {
        std::vector<std::wstring> args;
        const char *mentions;
    } cases[] = {
        {{L"123#11"}, "target"},
        {{L"-d", L"A", L"-s", L"B", L"123#11"}, "one target"},
        {{L"-d", L"A"}, "exactly one"},
        {{L"-d", L"A", L"-g", L"123#11"}, "exactly one"},
        {{L"-d", L"A", L"123#XYZ"}, "123#XYZ"},
        {{L"-d", L"A", L"800#11"}, "800#11"},
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
    for (Case &c : cases) {
        PeerOptions o;
        std::wstring error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.mentions;
        EXPECT_NE(std::string::npos, Narrow(error).find(c.mentions)) << Narrow(error);
    }
}

TEST(CanPeerGenerator, PatternsAndSequenceNumbers)
{
    PeerOptions o;
    o.idPattern = Pattern::Increment;
    o.lengthPattern = Pattern::Increment;
    Generator g;
    GeneratorInit(&g, &o, 1);
    for (uint32_t i = 0; i < 20; i++) {
        RxMsg f = GeneratorNext(&g);
        EXPECT_EQ(i, f.can.id);
        EXPECT_EQ(i % 9, f.length);
        if (f.length >= 1) {
            EXPECT_EQ((uint8_t)i, f.can.data[0]);
        }
    }
    PeerOptions r;
    r.idPattern = Pattern::Random;
    r.lengthPattern = Pattern::Random;
    r.remote = true;
    GeneratorInit(&g, &r, 7);
    bool sawHighId = false;
    for (int i = 0; i < 200; i++) {
        RxMsg f = GeneratorNext(&g);
        EXPECT_TRUE(f.can.id & RX_REMOTE_FRAME_FLAG);
        EXPECT_LE(f.can.id & ~RX_REMOTE_FRAME_FLAG, 0x7FFu);
        EXPECT_LE(f.length, 8u);
        sawHighId |= (f.can.id & ~RX_REMOTE_FRAME_FLAG) > 0x400;
    }
    EXPECT_TRUE(sawHighId);
    r.extended = true;
    r.remote = false;
    bool sawExtended = false;
    for (int i = 0; i < 50; i++) sawExtended |= GeneratorNext(&g).can.id > 0x7FF;
    EXPECT_TRUE(sawExtended);
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

TEST(CanPeerLog, ReadsFramesSkipsCommentsAndNamesTheBadLine)
{
    std::wstring good = WriteTempFile("# recorded on the bench\n"
                                      "(100.000000) can0 123#DEADBEEF\n"
                                      "\n"
                                      "(100.250000) can1 1F334455#R\r\n");
    std::vector<RxMsg> frames;
    std::wstring error;
    ASSERT_TRUE(LoadCandumpLog(good, &frames, &error)) << Narrow(error);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(1000000000ull, frames[0].timeStamp);
    EXPECT_EQ(2500000ull, frames[1].timeStamp - frames[0].timeStamp);
    DeleteFileW(good.c_str());

    std::wstring bad = WriteTempFile("(1.0) can0 123#11\n(1.1) can0 123#1\n");
    frames.clear();
    EXPECT_FALSE(LoadCandumpLog(bad, &frames, &error));
    EXPECT_NE(std::string::npos, Narrow(error).find(":2:")) << Narrow(error);
    DeleteFileW(bad.c_str());

    EXPECT_FALSE(LoadCandumpLog(L"C:\\no\\such\\file.log", &frames, &error));
}

TEST(CanPeerProgram, HelpAndWrongArgumentsPrintTheUsage)
{
    std::string out;
    EXPECT_EQ(0u, ribex_test::RunProgram(L"canpeer", L"-h", 10000, &out));
    EXPECT_NE(std::string::npos, out.find("Examples:"));
    EXPECT_EQ(2u, ribex_test::RunProgram(L"canpeer", L"-d VCAN1 123#GG", 10000, &out));
    EXPECT_NE(std::string::npos, out.find("bad frame '123#GG'"));
    EXPECT_NE(std::string::npos, out.find("Examples:"));
    EXPECT_EQ(2u, ribex_test::RunProgram(L"canpeer", L"", 10000, &out));
}

// A driver service of this suite's own, so it needs no fixture and
// disturbs no other suite.
class CanPeerDevice : public ::testing::Test {
  protected:
    static std::wstring service_, device_;
    static void SetUpTestSuite()
    {
        wchar_t id[16];
        swprintf(id, 16, L"%lx", (unsigned long)GetCurrentProcessId());
        service_ = std::wstring(L"cpt") + id;
        device_ = std::wstring(L"CPT") + id + L"_1";
        VcanUninstallService(service_.c_str());
        ASSERT_TRUE(VcanInstallService(service_.c_str(), (std::wstring(L"CPT") + id + L"_").c_str(), 1, nullptr));
        ASSERT_TRUE(VcanStartService(service_.c_str())) << GetLastError();
    }
    static void TearDownTestSuite() { VcanUninstallService(service_.c_str()); }

    std::vector<RxMsg> ReadAll(HANDLE h, size_t expected)
    {
        std::vector<RxMsg> got;
        RxMsg buffer[64];
        DWORD n = 0;
        while (got.size() < expected && VcanReadFrames(h, buffer, 64, &n, 3000)) got.insert(got.end(), buffer, buffer + n);
        return got;
    }
};
std::wstring CanPeerDevice::service_;
std::wstring CanPeerDevice::device_;

TEST_F(CanPeerDevice, SendsCansendFramesInOrder)
{
    HANDLE reader = VcanOpenDevice(device_.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    uint32_t id = 0x1F334455;
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(reader, IOCTL_CAN_ENABLE_REMREPLY, &id, 4, nullptr, 0, &n, nullptr));
    std::string out;
    EXPECT_EQ(0u, ribex_test::RunProgram(L"canpeer", L"-d " + device_ + L" -v 123#DEADBEEF 1F334455#R5 7FF#", 10000,
                                         &out))
        << out;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // text-mode stdout
    EXPECT_NE(std::string::npos, out.find(") " + Narrow(device_) + " 123#DEADBEEF\n")) << out;
    EXPECT_NE(std::string::npos, out.find(" 1F334455#R5\n")) << out;
    std::vector<RxMsg> got = ReadAll(reader, 3);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(0x123u, got[0].can.id);
    EXPECT_EQ(4u, got[0].length);
    EXPECT_EQ(0xEF, got[0].can.data[3]);
    EXPECT_EQ(0x1F334455u | RX_REMOTE_FRAME_FLAG, got[1].can.id);
    EXPECT_EQ(5u, got[1].length);
    EXPECT_EQ(0x7FFu, got[2].can.id);
    EXPECT_EQ(0u, got[2].length);
    CloseHandle(reader);
}

TEST_F(CanPeerDevice, GeneratorKeepsItsRate)
{
    HANDLE reader = VcanOpenDevice(device_.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    std::string out;
    EXPECT_EQ(0u, ribex_test::RunProgram(L"canpeer", L"-d " + device_ + L" -g -n 10 -r 100 -I i -L 4", 10000, &out))
        << out;
    std::vector<RxMsg> got = ReadAll(reader, 10);
    ASSERT_EQ(10u, got.size());
    for (uint32_t i = 0; i < 10; i++) {
        EXPECT_EQ(i, got[i].can.id);
        EXPECT_EQ((uint8_t)i, got[i].can.data[0]);
    }
    // Nine gaps of 10 ms: the frames cannot all have come at once.
    EXPECT_GE(got[9].timeStamp - got[0].timeStamp, 700000u);
    CloseHandle(reader);
}

TEST_F(CanPeerDevice, ReplayKeepsTheLogTimingUnlessAskedToHurry)
{
    std::wstring log = WriteTempFile("(5.000000) can0 101#01\n(5.150000) can0 102#02\n(5.300000) can0 103#03\n");
    HANDLE reader = VcanOpenDevice(device_.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    std::string out;
    EXPECT_EQ(0u, ribex_test::RunProgram(L"canpeer", L"-d " + device_ + L" -p \"" + log + L"\"", 10000, &out)) << out;
    std::vector<RxMsg> got = ReadAll(reader, 3);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(0x103u, got[2].can.id);
    EXPECT_GE(got[2].timeStamp - got[0].timeStamp, 2500000u) << "300 ms apart in the log";

    EXPECT_EQ(0u, ribex_test::RunProgram(L"canpeer", L"-d " + device_ + L" -x -p \"" + log + L"\"", 10000, &out))
        << out;
    got = ReadAll(reader, 3);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(0x101u, got[0].can.id);
    CloseHandle(reader);
    DeleteFileW(log.c_str());
}

TEST(CanPeerSim, FeedsTheNetQueueWithItsUniqueIdAndLingers)
{
    std::wstring net = ribex_test::UniqueName(L"CPNET");
    ribex_test::ScopedChild child;
    ASSERT_TRUE(ribex_test::StartChild(L"canpeer", L"-s " + net + L" -u 12:34 -w 1500 123#1122 456#R", child.get()));
    MsgQHandle q = MsgQOpen(net.c_str(), 10000);
    ASSERT_NE(nullptr, q) << GetLastError();
    for (int i = 0; i < 2; i++) {
        SimCanMsg msg;
        DWORD length = 0;
        ASSERT_TRUE(MsgQReceive(q, &msg, sizeof(msg), &length, 5000)) << GetLastError();
        EXPECT_EQ(SIM_CAN_MSG_SIZE, length);
        EXPECT_EQ(0x12u, msg.uniqueIdHigh);
        EXPECT_EQ(0x34u, msg.uniqueIdLow);
        if (i == 0) {
            EXPECT_EQ(0x123u, msg.frame.can.id);
            EXPECT_EQ(2u, msg.frame.length);
            EXPECT_EQ(0x22, msg.frame.can.data[1]);
        } else {
            EXPECT_EQ(0x456u | RX_REMOTE_FRAME_FLAG, msg.frame.can.id);
        }
    }
    MsgQClose(q);
    DWORD exitCode = 99;
    EXPECT_TRUE(ribex_test::WaitChild(child.get(), 10000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(nullptr, MsgQOpen(net.c_str(), 0)) << "the peer's queue goes with the peer";
}

TEST(CanPeerSim, FullQueueWithoutReaderFailsLoudly)
{
    std::wstring net = ribex_test::UniqueName(L"CPFULL");
    std::string out;
    DWORD code = ribex_test::RunProgram(L"canpeer", L"-s " + net + L" -Q 2 -t 100 -g -n 5", 10000, &out);
    EXPECT_EQ(1u, code);
    EXPECT_NE(std::string::npos, out.find("queue full")) << out;
}

}  // namespace
