// What the end-to-end tests of the registry share: a ribex.exe of their
// own on a server queue that the test holds, a simulated peer played by
// the test, scripted client processes, and the trace ring.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
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

// The simulated peer of a net: the queue named after the net.
MsgQHandle CreatePeer(const std::wstring &netName, DWORD maxMsgs = 64);
// Sends frames carrying the sequence numbers first..first+count-1 in their
// first four data bytes; id 0x100 unless given.
bool SendFrames(MsgQHandle hPeer, DWORD first, DWORD count, DWORD canId = 0x100);

// Maps a net's receive buffer read-only (null when the net has none).
const RxBufferLayout *MapRxBuffer(const std::wstring &netName, HANDLE *phMapping);
// Waits until head and currSeqNo show that `frames` frames were stored.
bool WaitForStored(const RxBufferLayout *pBuffer, DWORD frames, DWORD timeoutMs);

// Runs registry_client with the script, to its end, and returns its lines.
std::vector<std::string> RunClient(const std::wstring &script, DWORD timeoutMs = 30000);
// Starts it in the background; Finish collects its lines.
bool StartClient(const std::wstring &script, ribex_test::ChildProcess *child);
std::vector<std::string> FinishClient(ribex_test::ChildProcess *child, DWORD timeoutMs = 30000);

// Named events for the scripts' signal/wait.
bool WaitEvent(const std::wstring &name, DWORD timeoutMs);
void SignalEvent(const std::wstring &name);

// The trace ring: TraceRing opens it (TRACESIZE must be set); Lines
// returns the lines written after mark (a value of Mark()).
struct TraceRing {
    TraceModule *module = nullptr;
};
bool OpenTraceRing(TraceRing *ring);
LONG TraceMark(const TraceRing *ring);
std::vector<std::string> TraceLinesSince(const TraceRing *ring, LONG mark);
bool TraceContains(const TraceRing *ring, LONG mark, const std::string &text);

bool Contains(const std::vector<std::string> &lines, const std::string &line);

}  // namespace registry_e2e
