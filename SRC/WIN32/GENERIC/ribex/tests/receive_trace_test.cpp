// The receive path's trace lines, word for word, read back from the
// shared "TRACEBUFFER" ring.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msgq.h"
#include "receive_harness.h"
#include "rem_reply_table.h"
#include "ribex_trace_modules.h"

using namespace receive_test;

namespace {

std::wstring ProgramFileName() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, n);
    return full.substr(full.find_last_of(L'\\') + 1);
}

class ReceiveTrace : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SetEnvironmentVariableW(L"TRACESIZE", L"3000 1024");
        SetEnvironmentVariableW(ProgramFileName().c_str(), L"0xF");
        RegisterRibexTraceModules();
    }
    static void TearDownTestSuite() {
        ReleaseRibexTraceModules();
        SetEnvironmentVariableW(L"TRACESIZE", nullptr);
        SetEnvironmentVariableW(ProgramFileName().c_str(), nullptr);
    }
    void SetUp() override {
        ASSERT_NE(Reader(), nullptr);
        ASSERT_NE(Reader()->pBuffer, nullptr);
        TraceClearBuffer(Reader());
    }
    static TraceModule *Reader() { return g_ribexTrace[TM_MAIN]; }

    // Every line written since the last clear, oldest first.
    static std::vector<std::string> Lines() {
        DWORD noSlots = 0, slotSize = 0;
        TraceGetBufferSize(Reader(), &noSlots, &slotSize);
        std::vector<char> buffer(static_cast<size_t>(noSlots) * slotSize);
        TraceReadBuffer(Reader(), buffer.data(), static_cast<DWORD>(buffer.size()));
        std::vector<std::string> lines;
        for (DWORD i = 0; i < noSlots; i++) {
            const char *slot = buffer.data() + static_cast<size_t>(i) * slotSize;
            if (!*slot) break;
            lines.emplace_back(slot);
        }
        return lines;
    }
    // Position of the first line equal to text at or after `from`, or -1.
    static long Find(const std::vector<std::string> &lines, const std::string &text,
                     long from = 0) {
        for (size_t i = from; i < lines.size(); i++)
            if (lines[i] == text) return static_cast<long>(i);
        return -1;
    }
    static long FindPrefix(const std::vector<std::string> &lines, const std::string &prefix) {
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i].compare(0, prefix.size(), prefix) == 0) return static_cast<long>(i);
        return -1;
    }
    // The lines appear in this order (others may come between).
    static void ExpectInOrder(const std::vector<std::string> &lines,
                              const std::vector<std::string> &expected) {
        long at = 0;
        for (const std::string &text : expected) {
            long found = Find(lines, text, at);
            EXPECT_GE(found, 0) << "missing or out of order: " << ::testing::PrintToString(text);
            if (found >= 0) at = found + 1;
        }
    }
};

TEST_F(ReceiveTrace, SimulatedNetFromStartToExit) {
    std::wstring name = UniqueNetName(L"rxtr");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 8, 32, MSGQ_NAMED);
    ASSERT_NE(hPeer, nullptr);
    TestNet t;
    ASSERT_EQ(StartTestNet(name, &t), 0u);
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(AddClient(&t, 5, 6, hEvent));
    SimCanMsg m = {};
    m.uniqueIdHigh = 0xa;
    m.uniqueIdLow = 0xb;
    m.frame.can.id = 0x123;
    m.frame.length = 2;
    m.frame.can.data[0] = 0x11;
    m.frame.can.data[1] = 0x22;
    ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 1000));
    ASSERT_EQ(TakeEntries(&t, 1).size(), 1u);
    // A remote frame nobody enabled, then the reply table and the enable.
    m.frame.can.id = 0x80000123;
    ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 1000));
    m.frame.can.id = 0x124;  // once this one is in, the remote frame was dropped
    ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 1000));
    ASSERT_EQ(TakeEntries(&t, 1).size(), 1u);
    m.frame.can.id = 0x80000123;
    ASSERT_TRUE(RequestNetThread(t.net, CAN_THREAD_REALLOC_REMREPLIES, 0, nullptr, "Test"));
    t.net->threadParam.pRemote->reply[0] = {0x42, {0x123}};
    t.net->threadParam.pRemote->noReplies = 1;
    ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 1000));
    ASSERT_EQ(TakeEntries(&t, 1).size(), 1u);
    EXPECT_EQ(StopTestNet(&t), 0u);
    MsgQClose(hPeer);

    std::vector<std::string> lines = Lines();
    ExpectInOrder(lines, {
        "\nribex::CanReadThread Entry\n",
        "\nribex::ReAllocEventSpace Entry\n",
        "\tribex::ReAllocEventSpace, allocated space == 152\n",
        "ribex::ReAllocEventSpace Exit (TRUE), errorCode == 0\n\n",
        "ribex::CanReadThread, hSimCan != NULL\n",
        "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 2\n",
        "\nribex::CheckSimCanBufferStore Entry\n",
        "ribex::CanCheckSimCanBufferStore \n\tId == 0x123\n",
        "ribex::CheckSimCanBufferStore Exit ,return value == 0x1 \n\n",
        "ribex::SimRibexBufferStore \n\tid == 0x123\t head == 0 \n",
        "ribex::RibexBufferAdvance, NEW MESSAGES\n\tpRxBuffer->currSeqNo == 1\n\tpRxBuffer->head == "
        "0\n\tpRxBuffer->noEntries == 256\n",
        "ribex::RibexBufferAdvance, \n\tpSimCanUniqueId[0] == 0xa:0xb \n\tpSeqNo[0] == "
        "1\n\tpErrorCode[0] == 0\n\tpMsg[0].can.id == 0x123 pMsg[0].length == 2 pMsg[0].can.data == "
        "0x11 0x22  0  0  0  0  0  0\n",
        // the remote frame: dropped
        "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 2\n",
        "\nribex::CheckSimCanBufferStore Entry\n",
        "ribex::CheckSimCanBufferStore Exit ,return value == 0 \n\n",
        // the reply table
        "ribex::CanReadThread, result1 == WAIT_OBJECT_0\n",
        "ribex::CanReadThread, pThreadData->req == CAN_THREAD_REALLOC_REMREPLIES\n",
        "\nribex::ReAllocRemReplySpace Entry\n",
        "\tribex::ReAllocRemReplySpace, allocated space == 136\n",
        "\tribex::ReAllocRemReplySpace, pRemote->\n\t\tmaxNoReplies == 16\n\t\tnoReplies == 0\n",
        "ribex::ReAllocRemReplySpace Exit (TRUE), errorCode == 0\n\n",
        // the remote frame again: enabled now
        "\nribex::CheckSimCanBufferStore Entry\n",
        "\nribex::GetRemFrameIndex Entry\n",
        "\tribex::GetRemFrameIndex, canId == 0x123\n",
        "\tribex::GetRemFrameIndex, pRemote->noReplies == 1\n",
        "\tribex::GetRemFrameIndex, pRemote->reply[0].\n\t\tuniqueProcId == 0x42 can.id == 291",
        "ribex::GetRemFrameIndex Exit (0)\n\n",
        "\tribex::CanCheckSimCanBufferStore, GetRemFrameIndex( ... ) != -1\n",
        "ribex::CanCheckSimCanBufferStore, REMOTE FRAME\n\tid == 0x123\n",
        "ribex::CheckSimCanBufferStore Exit ,return value == 0x1 \n\n",
        "ribex::SimRibexBufferStore \n\tid == 0x80000123\t head == 0x2 \n",
        "ribex::CanReadThread, pThreadData->req == CAN_THREAD_EXIT\n",
        "ribex::CanReadThread Exit (0)\n\n",
    });
    // The table dumps: the new table, and each wake pass with its client.
    EXPECT_GE(FindPrefix(lines, "\tribex::ReAllocEventSpace, pEvents->\n\t\tmaxNoEvents == 8\n\t\t"
                                "noEvents == 0\n\t\tpUniqueId == 0:0\n\t\tpEventHandle == 0x"),
              0);
    EXPECT_GE(FindPrefix(lines, "ribex::CanReadThread, pThreadData->pEvents->\n\tnoEvents == "
                                "1\n\t\t0x5:0x6\n\t\t0x"),
              0);
    // A device line never shows on a net without one.
    EXPECT_LT(Find(lines, "ribex::CanReadThread, hDevice != INVALID_HANDLE_VALUE\n"), 0);
}

TEST_F(ReceiveTrace, WakeDumpShowsAtMostTenClients) {
    std::wstring name = UniqueNetName(L"rxtr");
    MsgQHandle hPeer = MsgQCreate(name.c_str(), 8, 32, MSGQ_NAMED);
    TestNet t;
    ASSERT_EQ(StartTestNet(name, &t), 0u);
    for (DWORD i = 0; i < 12; i++)
        ASSERT_TRUE(AddClient(&t, 0x100, i, CreateEventW(nullptr, FALSE, FALSE, nullptr)));
    SimCanMsg m = {};
    m.frame.can.id = 0x7;
    ASSERT_TRUE(MsgQSend(hPeer, &m, sizeof(m), 1000));
    ASSERT_EQ(TakeEntries(&t, 1).size(), 1u);
    EXPECT_EQ(StopTestNet(&t), 0u);
    MsgQClose(hPeer);
    std::vector<std::string> lines = Lines();
    long dump = FindPrefix(lines, "ribex::CanReadThread, pThreadData->pEvents->\n\tnoEvents == 12\n");
    ASSERT_GE(dump, 0);
    const std::string &text = lines[dump];
    size_t pairs = 0;
    for (size_t at = text.find("\t\t0x100:"); at != std::string::npos;
         at = text.find("\t\t0x100:", at + 1))
        pairs++;
    EXPECT_EQ(pairs, 10u);
    EXPECT_NE(text.find("\t\t0x100:0x9\n"), std::string::npos);
    EXPECT_EQ(text.find("\t\t0x100:0xa\n"), std::string::npos);
}

TEST_F(ReceiveTrace, NetWithoutDeviceOrPeerFailsWithItsLine) {
    TestNet t;
    ASSERT_EQ(StartTestNet(UniqueNetName(L"rxtrnone"), &t), (DWORD)ERROR_TIMEOUT);
    std::vector<std::string> lines = Lines();
    ExpectInOrder(lines, {
        "\nribex::CanReadThread Entry\n",
        "ribex::CanReadThread, hDevice == INVALID_HANDLE_VALUE && hSimCan == NULL, errorCode == 1460\n",
        "ribex::CanReadThread Exit (1460)\n\n",
    });
}

TEST_F(ReceiveTrace, LookupWithoutATable) {
    EXPECT_EQ(GetRemFrameIndex(nullptr, 0x5), REM_FRAME_INDEX_NONE);
    ExpectInOrder(Lines(), {
        "\nribex::GetRemFrameIndex Entry\n",
        "\tribex::GetRemFrameIndex, pRemote == NULL\n",
        "ribex::GetRemFrameIndex Exit (4294967295)\n\n",
    });
}

}  // namespace
