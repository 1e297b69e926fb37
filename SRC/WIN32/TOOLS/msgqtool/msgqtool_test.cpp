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

std::string RunTool(const std::wstring &args, DWORD *exitCode) {
    std::string output;
    *exitCode = RunProgram(L"msgqtool", args, 20000, &output);
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return output;
}

TEST(MsgQTool, UsageForHelpAndForWrongArguments) {
    DWORD code;
    std::string out = RunTool(L"-h", &code);
    EXPECT_EQ(code, 0u);
    EXPECT_NE(out.find("Usage: msgqtool"), std::string::npos);
    EXPECT_NE(out.find("Examples:"), std::string::npos);
    const wchar_t *wrong[] = {L"", L"frobnicate q", L"send", L"send q", L"send q XYZ", L"send q 123",
                              L"create q 0 12", L"create q 4", L"-t", L"-t abc info q", L"-x info q",
                              L"recv q extra"};
    for (const wchar_t *args : wrong) {
        out = RunTool(args, &code);
        EXPECT_EQ(code, 2u) << Narrow(args);
        EXPECT_NE(out.find("msgqtool: "), std::string::npos) << Narrow(args);
        EXPECT_NE(out.find("Usage:"), std::string::npos) << Narrow(args);
    }
}

TEST(MsgQTool, SendsReceivesAndInspectsAQueue) {
    const std::wstring name = UniqueName(L"mqtool");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);

    DWORD code;
    RunTool(L"send " + name + L" DEADBEEF 00", &code);
    EXPECT_EQ(code, 0u);
    RunTool(L"-s send " + name + L" hello", &code);
    EXPECT_EQ(code, 0u);

    std::string info = RunTool(L"info " + name, &code);
    EXPECT_EQ(code, 0u) << info;
    EXPECT_NE(info.find("maxMsgs        4\n"), std::string::npos) << info;
    EXPECT_NE(info.find("msgSlotSize    16"), std::string::npos) << info;
    EXPECT_NE(info.find("writeOffset    48 (slot 3)"), std::string::npos) << info;
    EXPECT_NE(info.find("message count  3 of 4"), std::string::npos) << info;
    EXPECT_NE(info.find("free count     1 of 4"), std::string::npos) << info;
    EXPECT_NE(info.find("sender mutex   free"), std::string::npos) << info;
    EXPECT_NE(info.find("queued         3"), std::string::npos) << info;
    EXPECT_NE(info.find("slot 0     4#DEADBEEF"), std::string::npos) << info;
    EXPECT_NE(info.find("slot 2     5#68656C6C6F  \"hello\""), std::string::npos) << info;

    // info changed nothing: the library receives the three messages.
    BYTE buffer[16];
    DWORD length;
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(buffer[0], 0xDE);

    std::string received = RunTool(L"-n 0 -t 100 recv " + name, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(received, "1#00  \".\"\n5#68656C6C6F  \"hello\"\n");

    // Too long for the queue: the tool reports the library's error.
    RunTool(L"send " + name + L" 00112233445566778899AABBCCDD", &code);
    EXPECT_EQ(code, 1u);
    MsgQClose(q);

    RunTool(L"-t 0 info " + name, &code);
    EXPECT_EQ(code, 1u);
}

TEST(MsgQTool, CreateHoldsTheQueueForItsTime) {
    const std::wstring name = UniqueName(L"mqtoolc");
    ScopedChild tool;
    ASSERT_TRUE(StartChild(L"msgqtool", L"-t 3000 create " + name + L" 2 8", tool.get()));
    MsgQHandle q = MsgQOpen(name.c_str(), 5000);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(MsgQSend(q, "a", 1, 0));
    EXPECT_TRUE(MsgQSend(q, "b", 1, 0));
    EXPECT_FALSE(MsgQSend(q, "c", 1, 0));  // capacity 2, as the tool was told
    DWORD code = 1;
    EXPECT_TRUE(WaitChild(tool.get(), 10000, &code));
    EXPECT_EQ(code, 0u);
    MsgQClose(q);
}

}  // namespace
