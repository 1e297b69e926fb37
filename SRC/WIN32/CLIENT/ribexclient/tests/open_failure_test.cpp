// A failed open names its step, and the text made of it tells the user what
// was tried and what to do: against the real server (started from beside
// the test) and, for the steps a test cannot provoke, from the record alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "server_marker.h"
#include "msgq.h"
#include "ribex_client.h"
#include "sim_can_message.h"
#include "test_names.h"

namespace {

bool MarkerGoneWithin(DWORD timeoutMs) { return ribex_test::WaitForServerEnd(timeoutMs); }

std::wstring Describe(const std::wstring &net, const RibexOpenFailure &f) {
    wchar_t text[1024];
    RibexDescribeOpenFailure(net.c_str(), &f, text, 1024);
    return text;
}

bool Has(const std::wstring &text, const std::wstring &part) {
    return text.find(part) != std::wstring::npos;
}

class OpenFailure : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(MarkerGoneWithin(8000)) << "an earlier server still runs";
        queueName_ = ribex_test::UniqueName(L"openfq");
        options_.serverQueueName = queueName_.c_str();
        options_.confirmTimeoutMs = 8000;
    }
    void TearDown() override { EXPECT_TRUE(MarkerGoneWithin(7000)) << "the server did not end"; }

    // Opens and expects a failure; returns the record.
    RibexOpenFailure FailedOpen(const std::wstring &net) {
        RibexOpenFailure f;
        memset(&f, 0xCC, sizeof(f));
        RibexClientNet *pNet = reinterpret_cast<RibexClientNet *>(1);
        EXPECT_FALSE(RibexOpenNetEx(net.c_str(), &options_, &pNet, &f));
        EXPECT_EQ(GetLastError(), f.errorCode);
        EXPECT_EQ(pNet, nullptr);
        return f;
    }

    std::wstring queueName_;
    RibexClientOptions options_ = {};
};

TEST_F(OpenFailure, ANetWithNeitherDeviceNorPeerSaysWhatWasTriedAndWhatToDo) {
    const std::wstring net = L"NOSUCHNET";
    RibexOpenFailure f = FailedOpen(net);
    EXPECT_EQ(f.step, RIBEX_OPEN_REFUSED);
    EXPECT_EQ(f.errorCode, (DWORD)ERROR_TIMEOUT);
    std::wstring text = Describe(net, f);
    EXPECT_TRUE(Has(text, L"no device \\\\.\\NOSUCHNET")) << text;
    EXPECT_TRUE(Has(text, L"no simulated peer queue named NOSUCHNET appeared in time")) << text;
    EXPECT_TRUE(Has(text, L"'canpeer -s NOSUCHNET'")) << text;
    // What loads the driver where the DLL is installed, not a script of the build.
    EXPECT_TRUE(Has(text, L"sc start vcan")) << text;
    // The system's own words beside the number, not the number alone.
    size_t at = text.find(L"(error 1460: ");
    ASSERT_NE(at, std::wstring::npos) << text;
    EXPECT_GT(text.size(), at + 14) << text;
    EXPECT_EQ(text.back(), L')') << text;
}

TEST_F(OpenFailure, AServerThatRefusesTheVersionIsNamedAsSuch) {
    options_.majorVersion = 5;
    RibexOpenFailure f = FailedOpen(L"ANYNET");
    EXPECT_EQ(f.step, RIBEX_OPEN_REFUSED);
    EXPECT_EQ(f.errorCode, (DWORD)ERROR_REVISION_MISMATCH);
    std::wstring text = Describe(L"ANYNET", f);
    EXPECT_TRUE(Has(text, L"refused the version")) << text;
    EXPECT_TRUE(Has(text, L"interface version 5")) << text;
    EXPECT_TRUE(Has(text, L"(error 1306")) << text;
}

TEST_F(OpenFailure, AServerThatCannotBeStartedIsNamedWithTheProgramTried) {
    const wchar_t *path = L"C:\\no\\such\\folder\\ribex.exe";
    options_.serverPath = path;
    RibexOpenFailure f = FailedOpen(L"CAN1");
    EXPECT_EQ(f.step, RIBEX_OPEN_SERVER_START);
    EXPECT_TRUE(f.errorCode == ERROR_FILE_NOT_FOUND || f.errorCode == ERROR_PATH_NOT_FOUND)
        << f.errorCode;
    EXPECT_STREQ(f.serverPath, path);
    std::wstring text = Describe(L"CAN1", f);
    EXPECT_TRUE(Has(text, L"could not be started from 'C:\\no\\such\\folder\\ribex.exe'")) << text;
    EXPECT_FALSE(ribex_test::ServerMarkerExists());
}

TEST_F(OpenFailure, AUniqueIdInUseOnTheNetIsNamedAndTheFirstClientKeepsItsNet) {
    std::wstring net = ribex_test::UniqueName(L"OF").substr(0, 40);
    MsgQHandle hPeer = MsgQCreate(net.c_str(), 16, sizeof(SimCanMsg), MSGQ_NAMED);
    ASSERT_NE(hPeer, nullptr);
    options_.haveUniqueId = TRUE;
    options_.uniqueIdHigh = 0xcafe;
    options_.uniqueIdLow = 7;
    RibexClientNet *pFirst = nullptr;
    RibexOpenFailure ok;
    ASSERT_TRUE(RibexOpenNetEx(net.c_str(), &options_, &pFirst, &ok)) << GetLastError();
    EXPECT_EQ(ok.step, RIBEX_OPEN_DONE);
    EXPECT_EQ(ok.errorCode, 0u);

    RibexOpenFailure f = FailedOpen(net);
    EXPECT_EQ(f.step, RIBEX_OPEN_REPLY_QUEUE);
    EXPECT_EQ(f.errorCode, (DWORD)ERROR_ALREADY_EXISTS);
    std::wstring text = Describe(net, f);
    EXPECT_TRUE(Has(text, L"another client already uses the unique id cafe:7 on " + net)) << text;

    EXPECT_TRUE(RibexCloseNet(pFirst)) << GetLastError();
    MsgQClose(hPeer);
}

TEST(OpenFailureText, EveryStepHasItsOwnWordsAndTheTextIsCutSafely) {
    const struct {
        RibexOpenStep step;
        DWORD errorCode;
        const wchar_t *part;
    } cases[] = {
        {RIBEX_OPEN_ARGUMENTS, ERROR_INVALID_PARAMETER, L"1 to 51 characters"},
        {RIBEX_OPEN_SERVER_QUEUE, ERROR_ACCESS_DENIED, L"server's queue could not be created"},
        {RIBEX_OPEN_WAKE_EVENT, ERROR_ACCESS_DENIED, L"wake-up event for NET could not be created"},
        {RIBEX_OPEN_REQUEST, ERROR_TIMEOUT, L"did not answer the open request within 10000 ms"},
        {RIBEX_OPEN_REQUEST, ERROR_INVALID_HANDLE, L"could not be sent"},
        {RIBEX_OPEN_REFUSED, ERROR_FILE_NOT_FOUND, L"device \\\\.\\NET is there"},
        {RIBEX_OPEN_REFUSED, ERROR_ACCESS_DENIED, L"could not open it"},
        {RIBEX_OPEN_REFUSED, ERROR_NOT_ENOUGH_MEMORY, L"the server could not open NET (error 8"},
        {RIBEX_OPEN_RX_BUFFER, ERROR_INVALID_DATA, L"receive buffer could not be mapped"},
    };
    for (const auto &c : cases) {
        RibexOpenFailure f = {};
        f.step = c.step;
        f.errorCode = c.errorCode;
        f.confirmTimeoutMs = 10000;
        std::wstring text = Describe(L"NET", f);
        EXPECT_TRUE(Has(text, c.part)) << text;
        EXPECT_TRUE(Has(text, L"(error " + std::to_wstring(c.errorCode))) << text;
    }
    RibexOpenFailure f = {};
    f.step = RIBEX_OPEN_REFUSED;
    f.errorCode = ERROR_TIMEOUT;
    wchar_t small[24];
    wmemset(small, L'#', 24);
    DWORD n = RibexDescribeOpenFailure(L"NET", &f, small, 20);
    EXPECT_EQ(n, 19u);
    EXPECT_EQ(small[19], L'\0');
    EXPECT_EQ(small[20], L'#');
}

}  // namespace
