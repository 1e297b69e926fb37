#include "registry_e2e.h"

#include <string.h>

#include "server_marker.h"
#include "sim_can_message.h"
#include "test_names.h"
#include "trace_wait.h"
#include "wait_until.h"

using namespace ribex_test;

namespace registry_e2e {

bool StartServer(Server *server) {
    // A server of an earlier test ends by itself within a few seconds.
    if (!WaitForServerEnd(15000)) return false;
    server->queueName = UniqueName(L"regq");
    server->hQueue = MsgQCreate(server->queueName.c_str(), 64, 124, MSGQ_NAMED);
    if (server->hQueue == nullptr) return false;
    if (!StartChild(L"ribex", L"\"" + server->queueName + L"\"", &server->child)) return false;
    return WaitUntil(ServerMarkerExists, 5000) && ServerRunning(server);
}

DWORD StopServer(Server *server, DWORD timeoutMs) {
    if (server->hQueue != nullptr) MsgQClose(server->hQueue);
    server->hQueue = nullptr;
    DWORD code = (DWORD)-1;
    if (!WaitChild(&server->child, timeoutMs, &code)) code = (DWORD)-1;
    ReleaseChild(&server->child);
    return code;
}

bool ServerRunning(Server *server) {
    return server->child.hProcess != nullptr &&
           WaitForSingleObject(server->child.hProcess, 0) == WAIT_TIMEOUT;
}

MsgQHandle CreatePeer(const std::wstring &netName, DWORD maxMsgs) {
    return MsgQCreate(netName.c_str(), maxMsgs, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
}

bool SendFrames(MsgQHandle hPeer, DWORD first, DWORD count, DWORD canId) {
    for (DWORD seq = first; seq < first + count; ++seq) {
        SimCanMsg msg = {};
        msg.uniqueIdHigh = 0x5EE5;
        msg.uniqueIdLow = seq;
        msg.frame.length = 4;
        msg.frame.can.id = canId;
        memcpy(msg.frame.can.data, &seq, 4);
        if (!MsgQSend(hPeer, &msg, sizeof(msg), 10000)) return false;
    }
    return true;
}

const RxBufferLayout *MapRxBuffer(const std::wstring &netName, HANDLE *phMapping) {
    *phMapping = OpenFileMappingW(FILE_MAP_READ, FALSE, (netName + L"0000000000000000FMO").c_str());
    if (*phMapping == nullptr) return nullptr;
    const void *view = MapViewOfFile(*phMapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) CloseHandle(*phMapping);
    return (const RxBufferLayout *)view;
}

LONG TraceMark(const TraceModule *reader) { return ribex_test::TraceMark(reader); }

int CountTraced(const TraceModule *reader, LONG mark, const std::string &text) {
    return CountTraceLines(reader, mark, text);
}

bool WaitTraced(const TraceModule *reader, LONG mark, const std::string &text, DWORD timeoutMs) {
    return ReadTraceUntil(reader, mark, text, timeoutMs);
}

std::wstring QueueArg(const Server &server) { return L"queue " + server.queueName + L" "; }

bool WaitNetGone(const std::wstring &netName, DWORD timeoutMs) {
    return WaitUntil([&] { return !NetExists(netName); }, timeoutMs, 50);
}

TraceModule *ReadServerTrace(std::initializer_list<TraceLevel> moreLevels) {
    SetEnvironmentVariableW(L"TRACESIZE", L"2048 240");
    SetEnvironmentVariableW(L"ribex.exe", L"0");
    SetEnvironmentVariableW(L"ribex.exe::main", L"4");
    for (const TraceLevel &level : moreLevels)
        SetEnvironmentVariableW((std::wstring(L"ribex.exe::") + level.first).c_str(), level.second);
    TraceModule *reader = TraceRegister(nullptr, L"registry_e2e_reader");
    return reader != nullptr && reader->pBuffer != nullptr ? reader : nullptr;
}

bool NetExists(const std::wstring &netName) {
    HANDLE h = nullptr;
    const RxBufferLayout *p = MapRxBuffer(netName, &h);
    if (p == nullptr) return false;
    UnmapViewOfFile(p);
    CloseHandle(h);
    return true;
}

bool StartClient(const std::wstring &script, ChildProcess *child) {
    return StartChild(L"registry_client", script, child, true) != FALSE;
}

std::vector<std::string> FinishClient(ChildProcess *child) {
    // Read on while it runs: a full pipe would stall it.
    std::string out = ReadAllOutput(child);
    DWORD code = 0;
    if (!WaitChild(child, 30000, &code)) KillChild(child);
    ReleaseChild(child);
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < out.size(); start = end + 1) {
        end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        lines.push_back(out.substr(start, end - start));
        if (lines.back().size() && lines.back().back() == '\r') lines.back().pop_back();
    }
    if (code != 0) lines.push_back("exit " + std::to_string(code));
    return lines;
}

std::vector<std::string> RunClient(const std::wstring &script) {
    ChildProcess child;
    if (!StartClient(script, &child)) return {"start failed"};
    return FinishClient(&child);
}

bool WaitEvent(const std::wstring &name, DWORD timeoutMs) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    bool ok = h != nullptr && WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    if (h) CloseHandle(h);
    return ok;
}

void SignalEvent(const std::wstring &name) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (h == nullptr) return;
    SetEvent(h);
    CloseHandle(h);
}

}  // namespace registry_e2e
