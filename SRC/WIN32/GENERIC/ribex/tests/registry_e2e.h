// What the end-to-end tests of the registry share: a ribex.exe of their
// own on a server queue that the test holds, a simulated peer played by
// the test, and scripted client processes (registry_client).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "ribex_names.h"
#include "rx_buffer_layout.h"
#include "trace.h"

namespace registry_e2e {

struct Server {
    ribex_test::ChildProcess child;
    MsgQHandle hQueue = nullptr;  // the test's own handle keeps the server alive
    std::wstring queueName;
};

// Waits until no other server runs, creates the server queue and starts
// ribex.exe on it; returns when the server holds its instance marker.
bool StartServer(Server *server);
// Drops the test's queue handle; the server must end by itself. Returns
// its exit code, or (DWORD)-1 when it did not end within timeoutMs.
DWORD StopServer(Server *server, DWORD timeoutMs);
bool ServerRunning(Server *server);

// The simulated peer of a net: the queue named after the net. SendFrames
// sends frames carrying the sequence numbers first..first+count-1 in their
// first four data bytes.
MsgQHandle CreatePeer(const std::wstring &netName, DWORD maxMsgs = 64);
bool SendFrames(MsgQHandle hPeer, DWORD first, DWORD count, DWORD canId = 0x100);
struct Peer {
    MsgQHandle h;
    explicit Peer(const std::wstring &netName) : h(CreatePeer(netName)) {}
    ~Peer() { MsgQClose(h); }
};

// A client made by hand: reply queue (room for one confirm) and wake-up
// event under the names the server derives from the net and the id.
struct RawClient {
    std::wstring net;
    DWORD high = 0, low = 0, ref = 0;
    MsgQHandle hReply = nullptr;
    HANDLE hEvent = nullptr;

    RawClient(const std::wstring &netName, DWORD h, DWORD l, bool replyQueue = true, bool event = true)
        : net(netName), high(h), low(l) {
        if (replyQueue) hReply = CreateMsgQ(net.c_str(), high, low, 12);
        wchar_t *name = CreateUniqueName(net.c_str(), high, low, L"EVT");
        if (event) hEvent = CreateEventW(nullptr, FALSE, FALSE, name);
        HeapFree(GetProcessHeap(), 0, name);
    }
    ~RawClient() { Drop(); }
    // Lets go of both objects, as a client process that ends does.
    void Drop() {
        if (hReply) MsgQClose(hReply);
        if (hEvent) CloseHandle(hEvent);
        hReply = nullptr;
        hEvent = nullptr;
    }
};

// Maps a net's receive buffer read-only (null when the net has none).
const RxBufferLayout *MapRxBuffer(const std::wstring &netName, HANDLE *phMapping);
bool NetExists(const std::wstring &netName);

// Runs registry_client with the script to its end and returns its lines;
// StartClient/FinishClient do the same in two steps.
std::vector<std::string> RunClient(const std::wstring &script);
bool StartClient(const std::wstring &script, ribex_test::ChildProcess *child);
std::vector<std::string> FinishClient(ribex_test::ChildProcess *child);

// The server's trace ring as a reader module sees it: a mark is the number
// of lines written so far; the others look at the lines written after it
// (those still in the ring).
LONG TraceMark(const TraceModule *reader);
int CountTraced(const TraceModule *reader, LONG mark, const std::string &text);
inline bool Traced(const TraceModule *reader, LONG mark, const std::string &text) {
    return CountTraced(reader, mark, text) > 0;
}
// Waits (up to timeoutMs) until a line after mark contains text.
bool WaitTraced(const TraceModule *reader, LONG mark, const std::string &text, DWORD timeoutMs = 20000);

// Named events for the scripts' signal/wait.
bool WaitEvent(const std::wstring &name, DWORD timeoutMs = 20000);
void SignalEvent(const std::wstring &name);

}  // namespace registry_e2e
