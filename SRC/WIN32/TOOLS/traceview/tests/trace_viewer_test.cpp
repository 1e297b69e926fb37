// traceview as a separate process: hold, dump, clear, info, follow with
// lost-line counts, and its answers to wrong arguments.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_names.h"
#include "trace.h"

using namespace ribex_test;

namespace {

bool TraceBufferExists() {
    HANDLE h = OpenFileMappingW(FILE_MAP_READ, FALSE, L"TRACEBUFFER");
    if (h != NULL) CloseHandle(h);
    return h != NULL;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

std::string Viewer(const std::wstring &args, DWORD expectedCode = 0) {
    std::string out;
    EXPECT_EQ(RunProgram(L"traceview", args, 20000, &out), expectedCode) << Narrow(args) << ": " << out;
    return out;
}

class TraceViewer : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(TraceBufferExists()) << "a TRACEBUFFER from elsewhere is alive"; }
    void TearDown() override {
        for (const wchar_t *name : {L"TRACESIZE", L"trace_viewer_test.exe", L"trace_child.exe"})
            SetEnvironmentVariableW(name, nullptr);
    }
    // Starts "traceview ARGS" and waits until it holds or follows the ring.
    void StartViewer(ScopedChild *child, const std::wstring &args, bool capture) {
        std::wstring point = UniqueName(L"traceview");
        HANDLE ready = PreparePoint(point);
        ASSERT_TRUE(StartChild(L"traceview", L"-r ribexTestPoint-" + point + L" " + args, child->get(), capture));
        EXPECT_TRUE(WaitForPoint(point, 20000)) << "traceview did not get ready";
        CloseHandle(ready);
    }
    // A module of this process writing every level into the held ring.
    TraceModule *Writer() {
        SetEnvironmentVariableW(L"TRACESIZE", L"1 1");   // ignored: the ring exists
        SetEnvironmentVariableW(L"trace_viewer_test.exe", L"0xF");
        return TraceRegister(NULL, L"writer");
    }
};

TEST_F(TraceViewer, HeldRingKeepsTheLinesOfAProgramThatEnded) {
    ScopedChild holder;
    StartViewer(&holder, L"hold 10 40", false);
    // The program asks for a different ring; it writes into the held one.
    SetEnvironmentVariableW(L"TRACESIZE", L"100 80");
    SetEnvironmentVariableW(L"trace_child.exe", L"4");
    std::string out;
    ASSERT_EQ(RunProgram(L"trace_child", L"geometry 15", 20000, &out), 0u) << out;
    EXPECT_NE(out.find("slots 10 size 40"), std::string::npos) << out;
    EXPECT_EQ(Viewer(L"info"), "slots 10 size 40 lines 15\n");
    std::vector<std::string> lines = Lines(Viewer(L"-l dump"));
    ASSERT_EQ(lines.size(), 10u);   // oldest first: the last ten of fifteen
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lines[i], "child line " + std::to_string(6 + i));

    Viewer(L"clear");
    EXPECT_EQ(Viewer(L"info"), "slots 10 size 40 lines 0\n");
    EXPECT_EQ(Viewer(L"dump"), "");
    // Without -l the lines come out exactly as written.
    TraceModule *writer = Writer();
    ASSERT_NE(writer, nullptr);
    TraceEntry(writer, "\nribex::main Entry\n");
    TraceExit(writer, "ribex::main Exit (%lu)\n\n", 0u);
    EXPECT_EQ(Viewer(L"dump"), "\nribex::main Entry\nribex::main Exit (0)\n\n");
    TraceRelease(writer);

    KillChild(holder.get());
    EXPECT_FALSE(TraceBufferExists());
    for (const wchar_t *command : {L"dump", L"clear", L"info"})
        EXPECT_NE(Viewer(command, 1).find("there is no TRACEBUFFER"), std::string::npos);
    EXPECT_FALSE(TraceBufferExists());   // looking did not make one
}

TEST_F(TraceViewer, FollowPrintsNewLinesAndCountsTheLostOnes) {
    ScopedChild holder;
    StartViewer(&holder, L"hold 4 40", false);
    TraceModule *writer = Writer();
    ASSERT_NE(writer, nullptr);
    TracePrint(writer, TRACE_LEVEL_EVENT, "before %d", 0);   // not news to the follower

    ScopedChild follower;
    StartViewer(&follower, L"-l -t 6 follow", true);
    const int kSlow = 3, kBurst = 100, kTail = 2;
    int number = 0;
    std::string out;
    // Each slow line is printed before the next is written; the follower
    // catches up with the burst before the tail comes.
    auto printed = [&](int n) {
        return ReadOutputUntil(follower.get(), "line " + std::to_string(n) + "\n", 20000, &out);
    };
    for (int i = 0; i < kSlow; ++i) {
        TracePrint(writer, TRACE_LEVEL_EVENT, "line %d", ++number);
        ASSERT_TRUE(printed(number)) << out;
    }
    for (int i = 0; i < kBurst; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "line %d", ++number);
    ASSERT_TRUE(printed(number)) << out;
    for (int i = 0; i < kTail; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "line %d", ++number);
    out += ReadAllOutput(follower.get());
    DWORD code = 1;
    ASSERT_TRUE(WaitChild(follower.get(), 20000, &code));
    EXPECT_EQ(code, 0u);
    TraceRelease(writer);

    // Every line is either printed, in order, or counted as lost.
    int expected = 1, lost = 0, n;
    std::vector<std::string> lines = Lines(out);
    for (const std::string &line : lines) {
        if (sscanf(line.c_str(), "*** %d lines lost ***", &n) == 1) {
            lost += n;
            expected += n;
        } else {
            ASSERT_EQ(line, "line " + std::to_string(expected++)) << out;
        }
    }
    EXPECT_EQ(expected - 1, number) << out;
    EXPECT_GE(lost, kBurst - 4) << out;   // the burst laps a ring of four
    ASSERT_GE(lines.size(), 2u) << out;   // nothing came after the tail to lap it
    EXPECT_EQ(lines[lines.size() - 2], "line " + std::to_string(number - 1));
    EXPECT_EQ(lines.back(), "line " + std::to_string(number));
}

// A clear is reported even when more lines than the follower had seen come
// after it before its next look: the lines after the clear are printed from
// the first one on, behind the report.
TEST_F(TraceViewer, FollowReportsAClearHoweverManyLinesCameAfterIt) {
    ScopedChild holder;
    StartViewer(&holder, L"hold 64 40", false);
    TraceModule *writer = Writer();
    ASSERT_NE(writer, nullptr);
    ScopedChild follower;
    // Looks a second apart: the clear and the lines after it fit between two.
    StartViewer(&follower, L"-l -i 1000 -t 60 follow", true);
    for (int i = 1; i <= 3; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "old %d", i);
    std::string out;
    ASSERT_TRUE(ReadOutputUntil(follower.get(), "old 3\n", 20000, &out)) << out;
    TraceClearBuffer(writer);
    for (int i = 1; i <= 5; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "new %d", i);
    EXPECT_TRUE(ReadOutputUntil(follower.get(), "new 5\n", 20000, &out)) << out;
    // A clear by another process counts the same.
    Viewer(L"clear");
    for (int i = 1; i <= 6; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "newer %d", i);
    EXPECT_TRUE(ReadOutputUntil(follower.get(), "newer 6\n", 20000, &out)) << out;
    KillChild(follower.get());
    TraceRelease(writer);
    const char *cleared = "*** ring cleared ***";
    EXPECT_EQ(Lines(out),
              std::vector<std::string>({"old 1", "old 2", "old 3", cleared, "new 1", "new 2",
                                        "new 3", "new 4", "new 5", cleared, "newer 1", "newer 2",
                                        "newer 3", "newer 4", "newer 5", "newer 6"}))
        << out;
}

TEST_F(TraceViewer, WrongArgumentsGiveTheUsageAndExitCode2) {
    for (const wchar_t *args : {L"", L"frobnicate", L"hold 10", L"hold 0 80", L"hold 10 x", L"hold 65536 65536",
                                L"-q dump", L"-t 0 follow", L"dump extra", L"-T 0 follow", L"-i +5 follow",
                                L"-i \" 5\" follow", L"-T -1 follow", L"hold 010x 80"}) {
        EXPECT_NE(Viewer(args, 2).find("traceview: "), std::string::npos) << Narrow(args);
        EXPECT_FALSE(TraceBufferExists());
    }
}

}  // namespace
