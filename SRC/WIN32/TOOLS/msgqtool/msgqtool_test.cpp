// msgqtool against queues made by the library in the test process.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "child_process.h"
#include "msgq.h"
#include "test_names.h"

using namespace ribex_test;

namespace {

std::string RunTool(const std::wstring &args, DWORD expectedCode) {
    std::string out;
    EXPECT_EQ(RunProgram(L"msgqtool", args, 20000, &out), expectedCode) << Narrow(args) << ": " << out;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    return out;
}

TEST(MsgQTool, WrongArgumentsGiveTheUsageAndExitCode2) {
    for (const wchar_t *args : {L"", L"frobnicate q", L"send q", L"send q XYZ", L"send q 123", L"create q 0 12",
                                L"-t abc info q", L"-x info q", L"recv q extra", L"-t +5 info q", L"-t \" 5\" info q",
                                L"-n -1 recv q", L"create q 8 +12", L"create q 010x 12"})
        EXPECT_NE(RunTool(args, 2).find("Usage:"), std::string::npos) << Narrow(args);
}

TEST(MsgQTool, SendsReceivesAndInspectsAQueue) {
    const std::wstring name = UniqueName(L"mqtool");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    RunTool(L"send " + name + L" DEADBEEF 00", 0);
    RunTool(L"-s send " + name + L" hello", 0);
    std::string info = RunTool(L"info " + name, 0);
    for (const char *line : {"maxMsgs        4\n", "msgSlotSize    16", "writeOffset    48 (slot 3)",
                             "message count  3 of 4", "free count     1 of 4", "sender mutex   free",
                             "queued         3", "slot 0     4#DEADBEEF", "slot 2     5#68656C6C6F  \"hello\""})
        EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
    // info took nothing: the library receives the first message.
    BYTE buffer[16];
    DWORD length = 0;
    EXPECT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0) && length == 4 && buffer[0] == 0xDE);
    EXPECT_EQ(RunTool(L"-n 0 -t 100 recv " + name, 0), "1#00  \".\"\n5#68656C6C6F  \"hello\"\n");
    RunTool(L"send " + name + L" 00112233445566778899AABBCCDD", 1);   // too long: the library's error
    MsgQClose(q);
    RunTool(L"-t 0 info " + name, 1);

    // create holds a queue of the size it was told for its time.
    ScopedChild tool;
    ASSERT_TRUE(StartChild(L"msgqtool", L"-t 3000 create " + name + L" 2 8", tool.get()));
    q = MsgQOpen(name.c_str(), 5000);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(MsgQSend(q, "a", 1, 0) && MsgQSend(q, "b", 1, 0) && !MsgQSend(q, "c", 1, 0));
    DWORD code = 1;
    EXPECT_TRUE(WaitChild(tool.get(), 10000, &code));
    EXPECT_EQ(code, 0u);
    MsgQClose(q);
}

}  // namespace
