// What one client-liveness check costs: the registry in this process with
// nets of simulated peers and clients whose event and reply queue this
// program holds as their client would. Prints the time of a check with
// every client alive, of the check that finds half of them gone and
// removes them, and of one handle-count query. Asserts nothing.
//
//   ribex_liveness_bench [CLIENTS [NETS]]     defaults 64 clients on 4 nets
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "client_liveness.h"
#include "msgq.h"
#include "msgq_ref_table.h"
#include "net_registry.h"
#include "ribex_names.h"
#include "server_test_access.h"
#include "sim_can_message.h"
#include "test_names.h"

namespace {

struct BenchClient {
    std::wstring net;
    DWORD high, low;
    MsgQHandle hReply;  // the client's side
    HANDLE hEvent;
};

double Ms(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(f.QuadPart);
}

// What the open request does on the server's side, without the wire.
bool OpenClient(BenchClient *c) {
    c->hReply = CreateMsgQ(c->net.c_str(), c->high, c->low, 12);
    wchar_t *name = CreateUniqueName(c->net.c_str(), c->high, c->low, L"EVT");
    c->hEvent = CreateEventW(nullptr, FALSE, FALSE, name);
    HeapFree(GetProcessHeap(), 0, name);
    MsgQHandle hServerSide = OpenMsgQ(c->net.c_str(), c->high, c->low);
    DWORD ref = hServerSide ? IssueMsgQRef(hServerSide, c->high, c->low) : 0;
    return c->hReply && c->hEvent && ref != 0 &&
           WatchReplyQueue(ref, c->net.c_str(), c->high, c->low) &&
           RegisterRibexClient(c->net.c_str(), c->high, c->low);
}

// One check, timed; waits until it is due first.
double TimedCheck(void) {
    while (ClientLivenessDueInMs() != 0) Sleep(ClientLivenessDueInMs() + 1);
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    CheckClientLiveness();
    QueryPerformanceCounter(&t1);
    return Ms(t0, t1);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    DWORD noClients = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 64;
    DWORD noNets = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 4;
    if (noClients == 0 || noNets == 0 || noNets > noClients) {
        fprintf(stderr,
                "usage: ribex_liveness_bench [CLIENTS [NETS]], e.g. ribex_liveness_bench 64 4\n");
        return 2;
    }
    std::vector<std::wstring> nets;
    std::vector<MsgQHandle> peers;
    for (DWORD n = 0; n < noNets; ++n) {
        nets.push_back(ribex_test::UniqueName(L"lvb"));
        peers.push_back(MsgQCreate(nets.back().c_str(), 8, SIM_CAN_MSG_SIZE, MSGQ_NAMED));
    }
    std::vector<BenchClient> clients(noClients);
    for (DWORD i = 0; i < noClients; ++i) {
        clients[i] = {nets[i % noNets], 0x4c00 + i, i, nullptr, nullptr};
        if (!OpenClient(&clients[i])) {
            fprintf(stderr, "client %lu could not be opened, error %lu\n", i, GetLastError());
            return 1;
        }
    }

    DWORD count = 0;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (int k = 0; k < 1000; ++k) GetObjectHandleCount(clients[0].hEvent, &count);
    QueryPerformanceCounter(&t1);
    printf("handle-count query: %.1f us\n", Ms(t0, t1));  // 1000 calls: ms per 1000 = us per call

    TimedCheck();  // the first one also looks the query up
    double alive = TimedCheck();
    ClientLivenessFigures figures = {};
    GetClientLivenessFigures(&figures);
    printf("check, %lu clients alive on %lu nets: %.2f ms (%lu kernel calls)\n", figures.noClients,
           noNets, alive, figures.kernelCalls);

    // Half of every net's clients, so that no net stops.
    for (DWORD i = 0; i < noClients; i++) {
        if ((i / noNets) % 2 != 0) continue;
        MsgQClose(clients[i].hReply);
        CloseHandle(clients[i].hEvent);
        clients[i].hReply = nullptr;
        clients[i].hEvent = nullptr;
    }
    double removing = TimedCheck();
    GetClientLivenessFigures(&figures);
    printf("check that removes the gone half of the clients (%lu): %.2f ms (%lu kernel calls)\n",
           figures.noGone, removing, figures.kernelCalls);
    double after = TimedCheck();
    printf("check, %lu clients alive: %.2f ms\n", noClients / 2, after);

    for (BenchClient &c : clients) {
        if (c.hReply) MsgQClose(c.hReply);
        if (c.hEvent) CloseHandle(c.hEvent);
    }
    double stopping = TimedCheck();  // removes the rest; their nets stop
    printf("check that removes the rest and stops %lu nets: %.2f ms; nets left: %lu\n", noNets,
           stopping, CountRibexNets());
    for (MsgQHandle h : peers) MsgQClose(h);
    return CountRibexNets() == 0 ? 0 : 1;
}
