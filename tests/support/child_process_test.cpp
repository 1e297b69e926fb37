#include "child_process.h"

#include <gtest/gtest.h>

#include "test_names.h"

using namespace ribex_test;

TEST(ChildProcess, ExitCodeOfAChildIsReported) {
    EXPECT_EQ(RunProgram(L"support_child", L"exit 42", 10000), 42u);
}

TEST(ChildProcess, OutputOfAChildIsCaptured) {
    std::string out;
    ASSERT_EQ(RunProgram(L"support_child", L"print hello", 10000, &out), 0u);
    EXPECT_NE(out.find("hello"), std::string::npos);
}

TEST(ChildProcess, AChildKilledAtItsPointEndsWithTheKillCode) {
    std::wstring point = UniqueName(L"pt");
    HANDLE hPoint = PreparePoint(point);
    ScopedChild child;
    ASSERT_TRUE(StartChild(L"support_child", L"point " + point, child.get()));
    ASSERT_TRUE(WaitForPoint(point, 10000));
    DWORD code = 0;
    EXPECT_FALSE(WaitChild(child.get(), 0, &code));  // parked at the point
    KillChild(child.get(), 77);
    ASSERT_TRUE(WaitChild(child.get(), 5000, &code));
    EXPECT_EQ(code, 77u);
    CloseHandle(hPoint);
}

TEST(ChildProcess, AMissingProgramFailsToStart) {
    ChildProcess child;
    EXPECT_FALSE(StartChild(L"no_such_program", L"", &child));
}
