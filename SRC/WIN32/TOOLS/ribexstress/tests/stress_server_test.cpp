// The run's watch on the server, against real ribex.exe processes: two
// servers race for the instance marker, and the watch must follow the
// one that won, not the one about to end because it lost.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "child_process.h"
#include "msgq.h"
#include "server_marker.h"
#include "server_start.h"
#include "stress_server.h"
#include "wait_until.h"

namespace {

const DWORD MARKER_TIMEOUT_MS = 15000;
const DWORD LOSER_DELAY_MS = 300;

// A ribex.exe that is in the process list but has not yet looked for the
// marker: it is held suspended until the winner has the marker.
BOOL StartHeldServer(const std::wstring &queue, PROCESS_INFORMATION *pInfo) {
    std::wstring path = ribex_test::ProgramPath(L"ribex");
    std::wstring commandLine = L"\"" + path + L"\" \"" + queue + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup, pInfo);
}

struct Release {
    HANDLE hThread;
    bool resumed;
};

// Lets the held server go a little after the marker appeared, while the
// watch is already looking (the delay makes the race, it waits for nothing).
DWORD WINAPI ReleaseWhenMarked(void *pParam) {
    Release *pRelease = (Release *)pParam;
    ribex_test::WaitUntil(ribex_test::ServerMarkerExists, MARKER_TIMEOUT_MS, 20);
    Sleep(LOSER_DELAY_MS);
    pRelease->resumed = ResumeThread(pRelease->hThread) != (DWORD)-1;
    return 0;
}

TEST(StressServerWatch, FollowsTheServerThatWonTheMarkerNotTheOneThatLost) {
    ASSERT_FALSE(ribex_test::ServerMarkerExists()) << "a ribex server is running already";
    std::wstring queue = L"stressWatchQ" + std::to_wstring(GetCurrentProcessId());
    ServerWatch watch;
    NoteServersBefore(&watch);

    PROCESS_INFORMATION loser = {};
    ASSERT_TRUE(StartHeldServer(queue, &loser)) << GetLastError();
    RibexOpenFailure failure = {};
    // starts the winner
    MsgQHandle hQueue = ConnectRibexServer(queue.c_str(), nullptr, &failure);
    if (hQueue == nullptr) {
        DWORD errorCode = GetLastError();
        TerminateProcess(loser.hProcess, 9);
        FAIL() << "cannot start the server: " << errorCode;
    }
    Release release = {loser.hThread, false};
    HANDLE hReleaser = CreateThread(nullptr, 0, ReleaseWhenMarked, &release, 0, nullptr);
    ASSERT_NE(hReleaser, nullptr);

    BOOL found = FindServer(&watch, 20000);
    DWORD findError = GetLastError();
    WaitForSingleObject(hReleaser, INFINITE);
    CloseHandle(hReleaser);
    ASSERT_TRUE(release.resumed);
    DWORD loserExit = 0;
    EXPECT_EQ(WaitForSingleObject(loser.hProcess, 20000), WAIT_OBJECT_0);
    GetExitCodeProcess(loser.hProcess, &loserExit);
    EXPECT_EQ(loserExit, (DWORD)ERROR_ALREADY_EXISTS) << "the held server lost the race";

    ASSERT_TRUE(found) << findError;
    EXPECT_NE(watch.pid, loser.dwProcessId) << "the watch follows the server that ends";
    EXPECT_EQ(WaitForSingleObject(watch.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(SampleServer(&watch, 0)) << GetLastError();
    EXPECT_GT(watch.samples.back().handles, 0u);
    EXPECT_GT(watch.samples.back().workingSet, 0u);

    // The last client gone, the server that was followed ends cleanly.
    MsgQClose(hQueue);
    DWORD exitCode = 1234;
    EXPECT_TRUE(WaitServerExit(&watch, 30000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    size_t samples = watch.samples.size();
    EXPECT_FALSE(SampleServer(&watch, 1)) << "an ended server gives no figures";
    EXPECT_EQ(watch.samples.size(), samples);
    ReleaseServerWatch(&watch);
    CloseHandle(loser.hThread);
    CloseHandle(loser.hProcess);
}

}  // namespace
