#include "registry_e2e.h"

#include <string.h>

#include "sim_can_message.h"
#include "test_names.h"

using namespace ribex_test;

namespace registry_e2e {

namespace {

const wchar_t kInstanceMarker[] = L"ribexMultInstMtx";

bool MarkerExists() {
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMarker);
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

bool StartServer(Server *server) {
    // A server of an earlier test ends by itself within a few seconds.
    for (int i = 0; i < 150 && MarkerExists(); ++i) Sleep(100);
    if (MarkerExists()) return false;
    server->queueName = UniqueName(L"regq");
    server->hQueue = MsgQCreate(server->queueName.c_str(), 64, 124, MSGQ_NAMED);
    if (server->hQueue == nullptr) return false;
    if (!StartChild(L"ribex", L"\"" + server->queueName + L"\"", &server->child)) return false;
    for (int i = 0; i < 100 && !MarkerExists(); ++i) Sleep(50);
    return MarkerExists() && ServerRunning(server);
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
    return server->child.hProcess != nullptr && WaitForSingleObject(server->child.hProcess, 0) == WAIT_TIMEOUT;
}

MsgQHandle CreatePeer(const std::wstring &netName, DWORD maxMsgs) {
    return MsgQCreate(netName.c_str(), maxMsgs, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
}

bool SendFrames(MsgQHandle hPeer, DWORD first, DWORD count, DWORD canId) {
    for (DWORD i = 0; i < count; ++i) {
        SimCanMsg msg = {};
        msg.uniqueIdHigh = 0x5EE5;
        msg.uniqueIdLow = first + i;
        msg.frame.length = 4;
        msg.frame.can.id = canId;
        DWORD seq = first + i;
        memcpy(msg.frame.can.data, &seq, 4);
        if (!MsgQSend(hPeer, &msg, sizeof(msg), 10000)) return false;
    }
    return true;
}

const RxBufferLayout *MapRxBuffer(const std::wstring &netName, HANDLE *phMapping) {
    std::wstring name = netName + L"0000000000000000FMO";
    *phMapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (*phMapping == nullptr) return nullptr;
    const void *view = MapViewOfFile(*phMapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(*phMapping);
        *phMapping = nullptr;
    }
    return (const RxBufferLayout *)view;
}

bool WaitForStored(const RxBufferLayout *pBuffer, DWORD frames, DWORD timeoutMs) {
    DWORD wantHead = frames % RX_BUFFER_NO_ENTRIES;
    DWORD wantLap = 1 + frames / RX_BUFFER_NO_ENTRIES;
    DWORD start = GetTickCount();
    do {
        if (pBuffer->header.head == wantHead && pBuffer->header.currSeqNo == wantLap) return true;
        Sleep(10);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

bool StartClient(const std::wstring &script, ChildProcess *child) {
    return StartChild(L"registry_client", script, child, true) != FALSE;
}

std::vector<std::string> FinishClient(ChildProcess *child, DWORD timeoutMs) {
    // Read on while it runs: a full pipe would stall it.
    std::string out = ReadAllOutput(child);
    DWORD code = 0;
    if (!WaitChild(child, timeoutMs, &code)) KillChild(child);
    ReleaseChild(child);
    std::vector<std::string> lines = SplitLines(out);
    if (code != 0) lines.push_back("exit " + std::to_string(code));
    return lines;
}

std::vector<std::string> RunClient(const std::wstring &script, DWORD timeoutMs) {
    ChildProcess child;
    if (!StartClient(script, &child)) return {"start failed"};
    return FinishClient(&child, timeoutMs);
}

bool WaitEvent(const std::wstring &name, DWORD timeoutMs) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    bool ok = h != nullptr && WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    if (h) CloseHandle(h);
    return ok;
}

void SignalEvent(const std::wstring &name) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (h) {
        SetEvent(h);
        CloseHandle(h);
    }
}

bool OpenTraceRing(TraceRing *ring) {
    ring->module = TraceRegister(nullptr, L"registry_e2e_reader");
    return ring->module != nullptr && ring->module->pBuffer != nullptr;
}

LONG TraceMark(const TraceRing *ring) { return ring->module->pBuffer->noLines; }

std::vector<std::string> TraceLinesSince(const TraceRing *ring, LONG mark) {
    const TraceBufferHeader *h = ring->module->pBuffer;
    const char *slots = (const char *)h + sizeof(TraceBufferHeader);
    LONG now = h->noLines;
    std::vector<std::string> lines;
    LONG from = now - mark > (LONG)h->noSlots ? now - (LONG)h->noSlots : mark;
    for (LONG k = from + 1; k <= now; ++k) {
        const char *slot = slots + (size_t)((DWORD)(k - 1) % h->noSlots) * h->slotSize;
        lines.push_back(std::string(slot, strnlen(slot, h->slotSize)));
    }
    return lines;
}

bool TraceContains(const TraceRing *ring, LONG mark, const std::string &text) {
    for (const std::string &line : TraceLinesSince(ring, mark))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
    for (const std::string &l : lines)
        if (l == line) return true;
    return false;
}

}  // namespace registry_e2e
