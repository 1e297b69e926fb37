// What the end-to-end tests of the registry share: a ribex.exe of their
// own on a server queue that the test holds, a simulated peer played by
// the test, and scripted client processes (registry_client).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "rx_buffer_layout.h"

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

// Maps a net's receive buffer read-only (null when the net has none).
const RxBufferLayout *MapRxBuffer(const std::wstring &netName, HANDLE *phMapping);
bool NetExists(const std::wstring &netName);

// Runs registry_client with the script to its end and returns its lines;
// StartClient/FinishClient do the same in two steps.
std::vector<std::string> RunClient(const std::wstring &script);
bool StartClient(const std::wstring &script, ribex_test::ChildProcess *child);
std::vector<std::string> FinishClient(ribex_test::ChildProcess *child);

// Named events for the scripts' signal/wait.
bool WaitEvent(const std::wstring &name, DWORD timeoutMs = 20000);
void SignalEvent(const std::wstring &name);

}  // namespace registry_e2e
