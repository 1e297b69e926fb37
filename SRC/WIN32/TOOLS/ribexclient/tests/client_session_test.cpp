// The client library against a server process that it starts itself: the
// order of objects and requests, the confirms, frames through the shared
// buffer, and the server's lifetime following the open nets.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "ribex_client.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "test_names.h"

namespace {

const wchar_t kFakeServer[] = L"ribexclient_fakeserver";
const uint32_t kFakeWriteFrames = 0x100;

bool MarkerExists() {
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, L"ribexMultInstMtx");
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

bool WaitMarker(bool present, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (MarkerExists() != present) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

bool EventExists(const std::wstring &net, DWORD high, DWORD low) {
    wchar_t *pName = CreateUniqueName(net.c_str(), high, low, L"EVT");
    HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, pName);
    HeapFree(GetProcessHeap(), 0, pName);
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

template <typename Pred>
bool Eventually(Pred pred, DWORD timeoutMs = 3000) {
    DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

std::string Hex(DWORD v) {
    char s[16];
    snprintf(s, sizeof(s), "%lx", (unsigned long)v);
    return s;
}

class ClientSession : public ::testing::Test {
  protected:
    void SetUp() override {
        // A server left from an earlier test would take our requests for
        // a queue it does not serve.
        ASSERT_TRUE(WaitMarker(false, 8000)) << "a server from an earlier test still runs";
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        logPath_ = std::wstring(temp) + ribex_test::UniqueName(L"fakelog") + L".txt";
        SetEnvironmentVariableW(L"RIBEX_FAKE_LOG", logPath_.c_str());
        SetEnvironmentVariableW(L"RIBEX_FAKE_MODE", nullptr);
        queueName_ = ribex_test::UniqueName(L"clientq");
        serverPath_ = ribex_test::ProgramPath(kFakeServer);
        options_.serverQueueName = queueName_.c_str();
        options_.serverPath = serverPath_.c_str();
        options_.confirmTimeoutMs = 5000;
    }

    void TearDown() override {
        EXPECT_TRUE(WaitMarker(false, 8000)) << "the server did not end after the last net closed";
        SetEnvironmentVariableW(L"RIBEX_FAKE_LOG", nullptr);
        SetEnvironmentVariableW(L"RIBEX_FAKE_MODE", nullptr);
        DeleteFileW(logPath_.c_str());
    }

    std::vector<std::string> LogLines() {
        std::ifstream in(ribex_test::Narrow(logPath_));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    int LogCount(const std::string &prefix) {
        int n = 0;
        for (const std::string &line : LogLines())
            if (line.compare(0, prefix.size(), prefix) == 0) ++n;
        return n;
    }

    std::string LogLine(const std::string &prefix) {
        for (const std::string &line : LogLines())
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
        return "";
    }

    // Asks the stand-in server to publish count frames on net.
    void PublishFrames(const std::wstring &net, uint32_t count) {
        struct {
            uint32_t id, count;
            wchar_t netName[RIBEX_NET_NAME_MAX];
        } request = {kFakeWriteFrames, count, {}};
        wcscpy(request.netName, net.c_str());
        MsgQHandle hQueue = MsgQOpen(queueName_.c_str(), 0);
        ASSERT_NE(nullptr, hQueue);
        ASSERT_TRUE(MsgQSend(hQueue, &request, sizeof(request), 1000));
        MsgQClose(hQueue);
    }

    std::wstring NetName(const wchar_t *base) { return ribex_test::UniqueName(base).substr(0, 40); }

    std::wstring logPath_, queueName_, serverPath_;
    RibexClientOptions options_ = {};
};

TEST_F(ClientSession, OpenStartsTheServerAndRemoteFrameRequestsGetTheirAnswers) {
    std::wstring net = NetName(L"sess");
    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();
    ASSERT_NE(nullptr, pNet);
    EXPECT_TRUE(MarkerExists());
    DWORD high = 0, low = 0;
    RibexGetUniqueId(pNet, &high, &low);
    EXPECT_EQ(GetCurrentProcessId(), high);
    EXPECT_NE(0u, low);
    // The server found the reply queue and the event under the agreed
    // names and was told the interface version 6.
    std::string open = LogLine("open ");
    EXPECT_EQ("open " + ribex_test::Narrow(net) + " " + Hex(high) + " " + Hex(low) + " 6 0 -> 0",
              open.substr(0, open.rfind(' ')));
    EXPECT_NE(nullptr, RibexGetWakeEvent(pNet));
    ASSERT_NE(nullptr, RibexGetRxBuffer(pNet));
    EXPECT_EQ(256u, RibexGetRxBuffer(pNet)->header.noEntries);

    EXPECT_TRUE(RibexEnableRemFrame(pNet, 0x123, 4));
    EXPECT_FALSE(RibexEnableRemFrame(pNet, 0x123, 4));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    DWORD canId = 0;
    EXPECT_TRUE(RibexEnumRemFrame(pNet, 0, &canId));
    EXPECT_EQ(0x123u, canId);
    EXPECT_FALSE(RibexEnumRemFrame(pNet, 1, &canId));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_FALSE(RibexDisableRemFrame(pNet, 0x124));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    EXPECT_TRUE(RibexDisableRemFrame(pNet, 0x123));
    EXPECT_TRUE(RibexDisableAllRemFrames(pNet));

    std::string ref = open.substr(open.rfind(' ') + 1);
    EXPECT_TRUE(RibexCloseNet(pNet)) << GetLastError();
    EXPECT_EQ(1, LogCount("disableall " + Hex(high)));
    EXPECT_EQ(1, LogCount("close " + ref + " " + Hex(high) + " " + Hex(low)));
    EXPECT_TRUE(Eventually([&] { return !EventExists(net, high, low); }));
}

TEST_F(ClientSession, FramesPublishedByTheServerAreReadInOrderAndLapsAreCounted) {
    std::wstring net = NetName(L"frames");
    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pNet)) << GetLastError();

    std::vector<RibexFrame> frames(300);
    DWORD n = 0, lost = 0;
    // Nothing published: the wait ends with no frames.
    EXPECT_TRUE(RibexReadFrames(pNet, frames.data(), 16, &n, &lost, 100));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0u, lost);

    PublishFrames(net, 5);
    ASSERT_TRUE(RibexReadFrames(pNet, frames.data(), 16, &n, &lost, 5000));
    ASSERT_EQ(5u, n);
    EXPECT_EQ(0u, lost);
    for (DWORD i = 0; i < n; ++i) EXPECT_EQ(i + 1, frames[i].msg.timeStamp);

    // More than the ring holds before the client reads again.
    PublishFrames(net, 300);
    DWORD read = 0, lostTotal = 0;
    uint64_t last = 5;
    while (read + lostTotal < 300) {
        ASSERT_TRUE(RibexReadFrames(pNet, frames.data(), 300, &n, &lost, 5000));
        ASSERT_TRUE(n != 0 || lost != 0) << "frames went missing without being counted";
        for (DWORD i = 0; i < n; ++i) {
            EXPECT_GT(frames[i].msg.timeStamp, last);
            last = frames[i].msg.timeStamp;
        }
        read += n;
        lostTotal += lost;
    }
    EXPECT_EQ(300u, read + lostTotal);
    EXPECT_GT(lostTotal, 0u);
    EXPECT_EQ(305u, last);
    EXPECT_TRUE(RibexCloseNet(pNet));
}

TEST_F(ClientSession, ServerLivesWhileAnyNetIsOpenAndEndsAfterTheLast) {
    RibexClientNet *pFirst = nullptr, *pSecond = nullptr;
    std::wstring netA = NetName(L"life"), netB = NetName(L"life");
    ASSERT_TRUE(RibexOpenNet(netA.c_str(), &options_, &pFirst));
    ASSERT_TRUE(RibexOpenNet(netB.c_str(), &options_, &pSecond));
    EXPECT_EQ(1, LogCount("start "));  // the second open found it running
    DWORD lowA = 0, lowB = 0;
    RibexGetUniqueId(pFirst, nullptr, &lowA);
    RibexGetUniqueId(pSecond, nullptr, &lowB);
    EXPECT_NE(lowA, lowB);

    EXPECT_TRUE(RibexCloseNet(pFirst));
    Sleep(1000);  // several of the stand-in's client checks
    EXPECT_TRUE(MarkerExists());
    EXPECT_TRUE(RibexEnableRemFrame(pSecond, 0x55, 0));

    EXPECT_TRUE(RibexCloseNet(pSecond));
    EXPECT_TRUE(WaitMarker(false, 5000));
    EXPECT_EQ(1, LogCount("end"));
}

TEST_F(ClientSession, RefusedOpenReportsTheServersErrorAndGivesTheReplyQueueBack) {
    SetEnvironmentVariableW(L"RIBEX_FAKE_MODE", L"reject");
    std::wstring net = NetName(L"reject");
    RibexClientNet *pNet = reinterpret_cast<RibexClientNet *>(1);
    options_.haveUniqueId = TRUE;
    options_.uniqueIdHigh = 0xABCD;
    options_.uniqueIdLow = 0x1234;
    EXPECT_FALSE(RibexOpenNet(net.c_str(), &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_REVISION_MISMATCH, GetLastError());
    EXPECT_EQ(nullptr, pNet);

    std::string open = LogLine("open ");
    ASSERT_NE("", open);
    EXPECT_NE(std::string::npos, open.find(" abcd 1234 6 0 -> 1306 "));
    std::string ref = open.substr(open.rfind(' ') + 1);
    EXPECT_EQ(1, LogCount("close " + ref + " abcd 1234"));
    // The server lets go of both right after its answer to the close.
    EXPECT_TRUE(Eventually([&] { return !EventExists(net, 0xABCD, 0x1234); }));
    EXPECT_TRUE(Eventually([&] {
        MsgQHandle h = OpenMsgQ(net.c_str(), 0xABCD, 0x1234);
        if (h != nullptr) MsgQClose(h);
        return h == nullptr;
    }));
}

TEST_F(ClientSession, UnansweredOpenFailsWithTimeoutAndLeavesNothingBehind) {
    SetEnvironmentVariableW(L"RIBEX_FAKE_MODE", L"silent");
    std::wstring net = NetName(L"silent");
    options_.confirmTimeoutMs = 300;
    options_.haveUniqueId = TRUE;
    options_.uniqueIdHigh = 7;
    options_.uniqueIdLow = 8;
    // Another client holds the server queue: the close request below must
    // not vanish with the queue at one of the server's client checks.
    MsgQHandle hOtherClient = MsgQCreate(queueName_.c_str(), 64, 124, MSGQ_NAMED);
    ASSERT_NE(nullptr, hOtherClient);
    RibexClientNet *pNet = nullptr;
    EXPECT_FALSE(RibexOpenNet(net.c_str(), &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
    EXPECT_FALSE(EventExists(net, 7, 8));
    EXPECT_EQ(nullptr, OpenMsgQ(net.c_str(), 7, 8));
    // A close behind the open undoes what a late server might still do.
    for (int i = 0; i < 150 && LogCount("close 0 7 8") == 0; ++i) Sleep(20);
    EXPECT_EQ(1, LogCount("close 0 7 8"));
    MsgQClose(hOtherClient);
}

TEST_F(ClientSession, SecondOpenWithTheSameUniqueIdOnTheSameNetIsRefused) {
    std::wstring net = NetName(L"dupid");
    options_.haveUniqueId = TRUE;
    options_.uniqueIdHigh = 0x11;
    options_.uniqueIdLow = 0x22;
    RibexClientNet *pFirst = nullptr, *pSecond = nullptr;
    ASSERT_TRUE(RibexOpenNet(net.c_str(), &options_, &pFirst));
    EXPECT_FALSE(RibexOpenNet(net.c_str(), &options_, &pSecond));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(1, LogCount("open "));
    // The first one is untouched.
    EXPECT_TRUE(RibexEnableRemFrame(pFirst, 0x77, 0));
    EXPECT_TRUE(RibexCloseNet(pFirst));
}

TEST_F(ClientSession, MissingServerProgramFailsAndLeavesNoServerQueue) {
    std::wstring missing = ribex_test::ExeDir() + L"no_such_server.exe";
    options_.serverPath = missing.c_str();
    RibexClientNet *pNet = nullptr;
    EXPECT_FALSE(RibexOpenNet(NetName(L"nosrv").c_str(), &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, MsgQOpen(queueName_.c_str(), 0));
    EXPECT_FALSE(MarkerExists());
}

TEST_F(ClientSession, AbandonedGlobalLockDoesNotStopAnOpen) {
    std::wstring point = ribex_test::UniqueName(L"clientlock");
    HANDLE hPoint = ribex_test::PreparePoint(point);
    ribex_test::ScopedChild holder;
    ASSERT_TRUE(ribex_test::StartChild(L"ribex_spine_lock_holder", point, holder.get()));
    ASSERT_TRUE(ribex_test::WaitForPoint(point, 10000));
    ribex_test::KillChild(holder.get());
    CloseHandle(hPoint);

    RibexClientNet *pNet = nullptr;
    ASSERT_TRUE(RibexOpenNet(NetName(L"abandon").c_str(), &options_, &pNet)) << GetLastError();
    EXPECT_TRUE(RibexCloseNet(pNet));
}

TEST_F(ClientSession, WithoutAServerPathRibexExeBesideTheProgramIsStarted) {
    // The real server: a fresh net name has neither a device nor a
    // simulated peer, so whatever it answers (or not), the open fails;
    // the server stays only until it finds no client left.
    options_.serverPath = nullptr;
    options_.confirmTimeoutMs = 1500;
    RibexClientNet *pNet = nullptr;
    EXPECT_FALSE(RibexOpenNet(NetName(L"realsrv").c_str(), &options_, &pNet));
    EXPECT_NE(0u, GetLastError());
    EXPECT_TRUE(MarkerExists());
    EXPECT_EQ(0, LogCount("start "));  // not the stand-in
    EXPECT_TRUE(WaitMarker(false, 3000 + 100 + 3000));
}

TEST_F(ClientSession, BadArgumentsAndStaleHandlesAreRefused) {
    RibexClientNet *pNet = nullptr;
    EXPECT_FALSE(RibexOpenNet(nullptr, &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(RibexOpenNet(L"", &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    std::wstring tooLong(RIBEX_NET_NAME_MAX, L'n');  // no room for the terminator
    EXPECT_FALSE(RibexOpenNet(tooLong.c_str(), &options_, &pNet));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(RibexOpenNet(L"net", &options_, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(MarkerExists()) << "a refused open must not start the server";

    RibexClientNet *pBogus = reinterpret_cast<RibexClientNet *>(&pNet);
    EXPECT_FALSE(RibexCloseNet(pBogus));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(RibexCloseNet(nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    std::wstring longest(RIBEX_NET_NAME_MAX - 1, L'n');
    ASSERT_TRUE(RibexOpenNet(longest.c_str(), &options_, &pNet)) << GetLastError();
    ASSERT_TRUE(RibexCloseNet(pNet));
    DWORD canId = 0, n = 0, lost = 0;
    RibexFrame frame;
    EXPECT_FALSE(RibexCloseNet(pNet));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(RibexEnumRemFrame(pNet, 0, &canId));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(RibexReadFrames(pNet, &frame, 1, &n, &lost, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, RibexGetRxBuffer(pNet));
    EXPECT_EQ(nullptr, RibexGetWakeEvent(pNet));
}

}  // namespace
