// The server killed while three tools read one net through it: each one's
// client library starts a new server and opens the net again; candump says
// so once and marks the gap with an error frame in its output and log,
// canmon shows it in the net's header, ribexcand keeps its TCP connection
// and tells its client in error lines. The tools start the server here.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "registry_e2e.h"
#include "server_marker.h"
#include "test_names.h"

using namespace registry_e2e;
using ribex_test::ChildProcess;
using ribex_test::ReadOutputUntil;
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
    ASSERT_TRUE(ribex_test::KillProcessById(pid));
}

// A socketcand client on 127.0.0.1, reading with a time-out.
struct SocketClient {
    SOCKET s = INVALID_SOCKET;
    std::string in;
    ~SocketClient() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
    bool Connect(unsigned port) {
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD timeoutMs = 500;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeoutMs, sizeof(timeoutMs));
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((u_short)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(s, (sockaddr *)&a, sizeof(a)) == 0;
    }
    bool Send(const std::string &text) {
        return send(s, text.data(), (int)text.size(), 0) == (int)text.size();
    }
    bool ReadUntil(const std::string &text, DWORD limitMs) {
        char buf[2048];
        for (DWORD start = GetTickCount(); in.find(text) == std::string::npos;) {
            if (GetTickCount() - start >= limitMs) return false;
            int n = recv(s, buf, sizeof(buf), 0);
            if (n == 0) return false;  // closed
            if (n > 0) in.append(buf, (size_t)n);
        }
        return true;
    }
};

class ToolsServerDeath : public ::testing::Test {
  protected:
    void SetUp() override {
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
        ASSERT_TRUE(ribex_test::WaitForServerEnd(15000)) << "an earlier server still runs";
    }
    void TearDown() override {
        WSACleanup();
        EXPECT_TRUE(ribex_test::WaitForServerEnd(15000)) << "the new server did not end";
    }
};

}  // namespace

TEST_F(ToolsServerDeath, EachToolReadsOnFromTheNewServerAndSaysWhatHappened) {
    std::wstring net = UniqueName(L"gone");
    std::string n = ribex_test::Narrow(net);
    std::wstring queue = UniqueName(L"goneq");
    Peer peer(net);
    ASSERT_NE(peer.h, nullptr);
    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    std::wstring logPath = std::wstring(tempDir) + UniqueName(L"gone") + L".log";

    // candump: two frames, the error frame of the gap and two frames.
    // Scoped: a failed assertion leaves no tool running behind the test.
    ribex_test::ScopedChild dumpChild, monChild, candChild;
    ChildProcess &dump = *dumpChild.get(), &mon = *monChild.get(), &cand = *candChild.get();
    std::string dumpOut, monOut, candOut;
    ASSERT_TRUE(ribex_test::StartChild(
        L"candump", L"-q " + queue + L" -s -n 5 -l \"" + logPath + L"\" " + net, &dump, true));
    ASSERT_TRUE(ReadOutputUntil(&dump, "(Ctrl+C ends)", 20000, &dumpOut)) << dumpOut;
    ASSERT_TRUE(ribex_test::StartChild(L"canmon", L"-S -i 100 -t 60000 -q " + queue + L" " + net,
                                       &mon, true));
    ASSERT_TRUE(ReadOutputUntil(&mon, "canmon: reading", 20000, &monOut)) << monOut;
    ASSERT_TRUE(ribex_test::StartChild(L"ribexcand", L"-p 0 -T 60000 -q " + queue, &cand, true));
    ASSERT_TRUE(ReadOutputUntil(&cand, "(socketcand protocol", 20000, &candOut)) << candOut;
    size_t colon = candOut.find("127.0.0.1:");
    ASSERT_NE(std::string::npos, colon) << candOut;
    unsigned port = (unsigned)atoi(candOut.c_str() + colon + 10);
    SocketClient client;
    ASSERT_TRUE(client.Connect(port)) << WSAGetLastError();
    ASSERT_TRUE(client.ReadUntil("< hi >", 10000)) << client.in;
    ASSERT_TRUE(client.Send("< open " + n + " >< rawmode >"));
    ASSERT_TRUE(client.ReadUntil("< ok >< ok >", 10000)) << client.in;

    ASSERT_TRUE(SendFrames(peer.h, 1, 2, 0x111));
    ASSERT_TRUE(ReadOutputUntil(&dump, "111#02000000", 10000, &dumpOut)) << dumpOut;
    ASSERT_TRUE(client.ReadUntil("< frame 111 ", 10000)) << client.in;
    ASSERT_TRUE(ReadOutputUntil(&mon, "2 frames", 10000, &monOut)) << monOut;

    KillServerProcess();
    ASSERT_TRUE(ReadOutputUntil(&dump, "reopened on a new server", 20000, &dumpOut)) << dumpOut;
    ASSERT_TRUE(client.ReadUntil("< error reopened net ", 20000)) << client.in;
    ASSERT_TRUE(ReadOutputUntil(&mon, "reopens after the server went away: 1", 20000, &monOut))
        << monOut;
    ASSERT_TRUE(SendFrames(peer.h, 3, 2, 0x333));

    // Not to the end of its output: the other tools hold its pipe too.
    EXPECT_TRUE(ReadOutputUntil(&dump, "reopens of a net", 20000, &dumpOut)) << dumpOut;
    DWORD code = 99;
    ASSERT_TRUE(ribex_test::WaitChild(&dump, 20000, &code));
    EXPECT_EQ(0u, code) << dumpOut;
    EXPECT_EQ(1u, Count(dumpOut, "the ribex server went away")) << dumpOut;
    EXPECT_EQ(1u, Count(dumpOut, "reopened on a new server")) << dumpOut;
    EXPECT_NE(std::string::npos, dumpOut.find(" " + n + " 333#04000000")) << dumpOut;
    EXPECT_NE(std::string::npos, dumpOut.find("1 reopens of a net")) << dumpOut;

    // The connection stayed: frames of the new server reach it.
    EXPECT_TRUE(client.ReadUntil("< frame 333 ", 10000)) << client.in;
    EXPECT_EQ(1u, Count(client.in, "< error the ribex server went away ")) << client.in;
    EXPECT_TRUE(ReadOutputUntil(&mon, "4 frames", 10000, &monOut)) << monOut;
    ribex_test::ReleaseChild(&mon);
    ribex_test::ReleaseChild(&cand);
    ribex_test::ReleaseChild(&dump);

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
