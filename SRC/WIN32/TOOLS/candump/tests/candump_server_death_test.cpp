// candump reading while the server it started is killed: it says so once,
// marks the gap with an error frame in its output and log, reads again
// from the server its library starts, and ends as asked.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "registry_e2e.h"
#include "test_names.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::UniqueName;

namespace {

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void KillServerProcess() {
    DWORD pid = ribex_test::FindProcessByName(L"ribex.exe");
    ASSERT_NE(0u, pid) << "no server runs";
    HANDLE hServer = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(nullptr, hServer);
    ASSERT_TRUE(TerminateProcess(hServer, 9));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hServer, 10000));
    CloseHandle(hServer);
}

}  // namespace

TEST(CandumpServerDeath, SaysSoOnceMarksTheGapAndReadsOnFromTheNewServer) {
    std::wstring net = UniqueName(L"gone");
    std::wstring queue = UniqueName(L"goneq");
    Peer peer(net);
    ASSERT_NE(peer.h, nullptr);
    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    std::wstring logPath = std::wstring(tempDir) + UniqueName(L"gone") + L".log";

    ChildProcess dump;
    // Two frames, the error frame of the gap and two frames: five entries.
    ASSERT_TRUE(ribex_test::StartChild(
        L"candump", L"-q " + queue + L" -s -n 5 -l \"" + logPath + L"\" " + net, &dump, true));
    std::string out;
    ASSERT_TRUE(ribex_test::ReadOutputUntil(&dump, "(Ctrl+C ends)", 20000, &out)) << out;
    ASSERT_TRUE(SendFrames(peer.h, 1, 2, 0x111));
    ASSERT_TRUE(ribex_test::ReadOutputUntil(&dump, "111#02000000", 10000, &out)) << out;

    KillServerProcess();
    ASSERT_TRUE(ribex_test::ReadOutputUntil(&dump, "reopened on a new server", 20000, &out)) << out;
    ASSERT_TRUE(SendFrames(peer.h, 3, 2, 0x333));
    std::string rest = ribex_test::ReadAllOutput(&dump);
    out += rest;
    DWORD code = 99;
    ASSERT_TRUE(ribex_test::WaitChild(&dump, 20000, &code));
    ribex_test::ReleaseChild(&dump);
    EXPECT_EQ(0u, code) << out;

    std::string n = ribex_test::Narrow(net);
    EXPECT_EQ(1u, Count(out, "the ribex server went away")) << out;
    EXPECT_EQ(1u, Count(out, "reopened on a new server")) << out;
    EXPECT_TRUE(out.find(" " + n + " 333#04000000") != std::string::npos) << out;
    EXPECT_TRUE(out.find("1 reopens of a net") != std::string::npos) << out;

    // The log: the frames before, one error frame, the frames after, in order.
    std::ifstream log(ribex_test::Narrow(logPath));
    std::string l((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    log.close();
    DeleteFileW(logPath.c_str());
    EXPECT_EQ(5, std::count(l.begin(), l.end(), '\n')) << l;
    size_t before = l.find(" " + n + " 111#02000000");
    size_t gap = l.find(" " + n + " 200000");  // an error frame: the error flag in the id
    size_t after = l.find(" " + n + " 333#03000000");
    ASSERT_NE(std::string::npos, before) << l;
    ASSERT_NE(std::string::npos, gap) << l;
    ASSERT_NE(std::string::npos, after) << l;
    EXPECT_LT(before, gap);
    EXPECT_LT(gap, after);
}
