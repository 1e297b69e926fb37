// traceview as a separate process: hold, dump, clear, info and follow with
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
    if (h == NULL) return false;
    CloseHandle(h);
    return true;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class TraceViewer : public ::testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"TRACESIZE", nullptr);
        SetEnvironmentVariableW(L"TRACEPORT", nullptr);
        ASSERT_FALSE(TraceBufferExists()) << "a TRACEBUFFER from elsewhere is alive";
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TRACESIZE", nullptr);
        SetEnvironmentVariableW(L"trace_viewer_test.exe", nullptr);
        SetEnvironmentVariableW(L"trace_child.exe", nullptr);
    }

    // Starts "traceview ... " and waits until it holds or follows the ring.
    void StartViewer(ScopedChild *child, const std::wstring &args, bool capture) {
        std::wstring point = UniqueName(L"traceview");
        HANDLE ready = PreparePoint(point);
        ASSERT_TRUE(StartChild(L"traceview", L"-r ribexTestPoint-" + point + L" " + args, child->get(), capture));
        EXPECT_TRUE(WaitForPoint(point, 20000)) << "traceview did not get ready";
        CloseHandle(ready);
    }

    // A module of this process writing every level into the existing ring.
    TraceModule *Writer() {
        SetEnvironmentVariableW(L"TRACESIZE", L"1 1");   // ignored: the ring exists
        SetEnvironmentVariableW(L"trace_viewer_test.exe", L"0xF");
        return TraceRegister(NULL, L"writer");
    }
};

TEST_F(TraceViewer, HeldRingKeepsTheLinesOfAProgramThatEnded) {
    ScopedChild holder;
    StartViewer(&holder, L"hold 10 40", false);
    ASSERT_TRUE(TraceBufferExists());

    // The program asks for a different ring; it writes into the held one.
    SetEnvironmentVariableW(L"TRACESIZE", L"100 80");
    SetEnvironmentVariableW(L"trace_child.exe", L"4");
    std::string out;
    ASSERT_EQ(RunProgram(L"trace_child", L"geometry 15", 20000, &out), 0u) << out;
    EXPECT_NE(out.find("slots 10 size 40"), std::string::npos) << out;

    ASSERT_EQ(RunProgram(L"traceview", L"info", 20000, &out), 0u);
    EXPECT_EQ(out, "slots 10 size 40 lines 15\n");

    // Oldest first: the last ten of the fifteen lines.
    ASSERT_EQ(RunProgram(L"traceview", L"-l dump", 20000, &out), 0u);
    std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(lines.size(), 10u) << out;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lines[i], "child line " + std::to_string(6 + i));

    ASSERT_EQ(RunProgram(L"traceview", L"clear", 20000, &out), 0u);
    ASSERT_EQ(RunProgram(L"traceview", L"info", 20000, &out), 0u);
    EXPECT_EQ(out, "slots 10 size 40 lines 0\n");
    ASSERT_EQ(RunProgram(L"traceview", L"dump", 20000, &out), 0u);
    EXPECT_EQ(out, "");

    KillChild(holder.get());
    EXPECT_FALSE(TraceBufferExists());
}

TEST_F(TraceViewer, DumpBeforeTheWrapShowsOnlyWrittenLinesExactly) {
    ScopedChild holder;
    StartViewer(&holder, L"hold 8 32", false);
    TraceModule *writer = Writer();
    ASSERT_NE(writer, nullptr);
    TraceEntry(writer, "\nribex::main Entry\n");
    TraceExit(writer, "ribex::main Exit (%lu)\n\n", 0u);
    std::string out;
    ASSERT_EQ(RunProgram(L"traceview", L"dump", 20000, &out), 0u);
    EXPECT_EQ(out, "\nribex::main Entry\nribex::main Exit (0)\n\n");
    TraceRelease(writer);
}

TEST_F(TraceViewer, HoldKeepsAnExistingRingsGeometry) {
    ScopedChild first;
    StartViewer(&first, L"hold 5 20", false);
    std::string out;
    EXPECT_EQ(RunProgram(L"traceview", L"-t 1 hold 50 60", 20000, &out), 0u);
    EXPECT_NE(out.find("exists with 5 slots of 20 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("holding TRACEBUFFER: 5 slots of 20 bytes"), std::string::npos) << out;
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
    for (int i = 0; i < kSlow; ++i) {
        TracePrint(writer, TRACE_LEVEL_EVENT, "line %d", ++number);
        Sleep(100);
    }
    for (int i = 0; i < kBurst; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "line %d", ++number);
    Sleep(300);
    for (int i = 0; i < kTail; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "line %d", ++number);
    std::string out = ReadAllOutput(follower.get());
    DWORD code = 1;
    ASSERT_TRUE(WaitChild(follower.get(), 20000, &code));
    EXPECT_EQ(code, 0u);
    TraceRelease(writer);

    // Every line is either printed, in order, or counted as lost.
    int expected = 1, lost = 0;
    std::vector<std::string> lines = Lines(out);
    for (const std::string &line : lines) {
        int n;
        if (sscanf(line.c_str(), "*** %d lines lost ***", &n) == 1) {
            lost += n;
            expected += n;
        } else {
            ASSERT_EQ(line, "line " + std::to_string(expected)) << out;
            ++expected;
        }
    }
    EXPECT_EQ(expected - 1, number) << out;
    EXPECT_GE(lost, kBurst - 4) << out;   // the burst laps a ring of four
    // Nothing came after the tail, so nothing could lap it.
    ASSERT_GE(lines.size(), 2u) << out;
    EXPECT_EQ(lines[lines.size() - 2], "line " + std::to_string(number - 1));
    EXPECT_EQ(lines.back(), "line " + std::to_string(number));
    EXPECT_EQ(out.find("before"), std::string::npos) << out;
}

TEST_F(TraceViewer, FollowWaitsForARingAndPrintsItFromItsFirstLine) {
    ScopedChild follower;
    StartViewer(&follower, L"-l -t 4 follow", true);
    Sleep(100);
    // This process makes the ring now, and keeps it until the follower ends.
    SetEnvironmentVariableW(L"TRACESIZE", L"16 40");
    SetEnvironmentVariableW(L"trace_viewer_test.exe", L"0xF");
    TraceModule *writer = TraceRegister(NULL, L"writer");
    ASSERT_NE(writer, nullptr);
    for (int i = 1; i <= 3; ++i) TracePrint(writer, TRACE_LEVEL_EVENT, "first line %d", i);
    std::string out = ReadAllOutput(follower.get());
    DWORD code = 1;
    ASSERT_TRUE(WaitChild(follower.get(), 20000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out, "first line 1\nfirst line 2\nfirst line 3\n");
    TraceRelease(writer);
}

TEST_F(TraceViewer, ReadingCommandsWithoutARingFail) {
    std::string out;
    for (const wchar_t *command : {L"dump", L"clear", L"info"}) {
        EXPECT_EQ(RunProgram(L"traceview", command, 20000, &out), 1u) << Narrow(command);
        EXPECT_NE(out.find("there is no TRACEBUFFER"), std::string::npos) << out;
    }
    EXPECT_FALSE(TraceBufferExists());   // looking did not make one
}

TEST_F(TraceViewer, WrongArgumentsGiveTheUsageAndExitCode2) {
    std::string out;
    for (const wchar_t *args : {L"", L"frobnicate", L"hold", L"hold 10", L"hold 0 80", L"hold 10 x",
                                L"hold 65536 65536", L"-q dump", L"-t", L"-t 0 follow", L"dump extra"}) {
        EXPECT_EQ(RunProgram(L"traceview", args, 20000, &out), 2u) << Narrow(args);
        EXPECT_NE(out.find("traceview: "), std::string::npos) << Narrow(args) << ": " << out;
        EXPECT_FALSE(TraceBufferExists());
    }
    EXPECT_EQ(RunProgram(L"traceview", L"-h", 20000, &out), 0u);
    EXPECT_NE(out.find("hold SLOTS SLOTSIZE"), std::string::npos);
}

}  // namespace
