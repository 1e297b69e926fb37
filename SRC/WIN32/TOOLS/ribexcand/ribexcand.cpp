// ribexcand: a socketcand server for ribex nets. Listens for TCP clients
// that speak the socketcand protocol and serves each on a thread of its own
// (rcd_connection.cpp).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "rcd_connection.h"
#include "rcd_options.h"
#include "tool_clock.h"
#include "tool_stop.h"

namespace {

struct Listener {
    SOCKET s;
    HANDLE hAccept;
    HANDLE threads[RCD_MAX_CONNECTIONS];
    DWORD noThreads;
    DWORD served;
};

// Seconds since 1970 minus the net clock (the performance counter in 100 ns
// units, which the driver and the server both stamp with), for -e.
unsigned long long WallClockShift() {
    unsigned long long now = ToolNow100ns();
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long wall =
        ((unsigned long long)ft.dwHighDateTime << 32 | ft.dwLowDateTime) - 116444736000000000ull;
    return wall - now;
}

BOOL OpenListener(Listener *l, const RcdOptions *o) {
    l->s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (l->s == INVALID_SOCKET) return FALSE;
    BOOL exclusive = TRUE;
    setsockopt(l->s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&exclusive, sizeof(exclusive));
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)o->port);
    inet_pton(AF_INET, o->address, &a.sin_addr);
    if (bind(l->s, (sockaddr *)&a, sizeof(a)) != 0 || listen(l->s, SOMAXCONN) != 0) return FALSE;
    l->hAccept = WSACreateEvent();
    if (l->hAccept == WSA_INVALID_EVENT || WSAEventSelect(l->s, l->hAccept, FD_ACCEPT) != 0)
        return FALSE;
    int length = sizeof(a);
    getsockname(l->s, (sockaddr *)&a, &length);
    printf("ribexcand: listening on %s:%u (socketcand protocol, no authentication)\n", o->address,
           ntohs(a.sin_port));
    fflush(stdout);
    return TRUE;
}

// Forgets the threads of connections that have ended.
void ReapThreads(Listener *l) {
    for (DWORD i = 0; i < l->noThreads;) {
        if (WaitForSingleObject(l->threads[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(l->threads[i]);
            l->threads[i] = l->threads[--l->noThreads];
        } else {
            ++i;
        }
    }
}

void Refuse(SOCKET s, const char *peer, DWORD limit) {
    char line[96];
    int n = snprintf(line, sizeof(line), "< error too many connections: the limit is %lu >", limit);
    send(s, line, n, 0);
    shutdown(s, SD_SEND);
    closesocket(s);
    printf("ribexcand: refused %s: %lu connections are open\n", peer, limit);
    fflush(stdout);
}

void AcceptAll(Listener *l, RcdShared *shared) {
    for (;;) {
        sockaddr_in a;
        int length = sizeof(a);
        SOCKET s = accept(l->s, (sockaddr *)&a, &length);
        if (s == INVALID_SOCKET) return;  // WSAEWOULDBLOCK: all taken
        char peer[48], address[32];
        inet_ntop(AF_INET, &a.sin_addr, address, sizeof(address));
        snprintf(peer, sizeof(peer), "%s:%u", address, ntohs(a.sin_port));
        ReapThreads(l);
        if (l->noThreads >= shared->options->maxConnections) {
            Refuse(s, peer, shared->options->maxConnections);
            continue;
        }
        DWORD number = ++l->served;
        printf("ribexcand: #%lu %s connected\n", number, peer);
        fflush(stdout);
        HANDLE h = RcdStartConnection(shared, s, peer, number);
        if (h == NULL) {
            printf("ribexcand: #%lu %s dropped: cannot serve it, error %lu\n", number, peer,
                   GetLastError());
            fflush(stdout);
            continue;
        }
        l->threads[l->noThreads++] = h;
    }
}

void Run(Listener *l, RcdShared *shared) {
    DWORD start = GetTickCount();
    DWORD runTime = shared->options->runTimeMs;
    for (;;) {
        DWORD wait = 500;
        if (runTime != 0) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= runTime) break;
            if (runTime - elapsed < wait) wait = runTime - elapsed;
        }
        HANDLE handles[2] = {l->hAccept, ToolStopEvent()};
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, wait);
        if (r == WAIT_OBJECT_0 + 1 || r == WAIT_FAILED) break;
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(l->s, l->hAccept, &ne);
        AcceptAll(l, shared);
        ReapThreads(l);
    }
}

// Ends every connection (each closes its net) and waits for them.
void Shutdown(Listener *l) {
    ToolStopRequest();  // the connections end with the listener
    closesocket(l->s);
    if (l->noThreads != 0) WaitForMultipleObjects(l->noThreads, l->threads, TRUE, 30000);
    for (DWORD i = 0; i < l->noThreads; ++i) CloseHandle(l->threads[i]);
    l->noThreads = 0;
    WSACloseEvent(l->hAccept);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    RcdOptions o;
    RcdDefaults(&o);
    ToolSpec optionTable = RcdToolSpec(&o);
    ToolArgs args;
    int code = ToolBegin(optionTable, argc, argv, &args);
    if (code >= 0) return code;
    if (!args.operands.empty()) return ToolFailOn(optionTable, L"unexpected argument", args.operands[0]);
    if (!ToolStopInstall()) return 1;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        fprintf(stderr, "ribexcand: WSAStartup failed\n");
        return 1;
    }
    RcdShared shared;
    memset(&shared, 0, sizeof(shared));
    shared.options = &o;
    shared.hStop = ToolStopEvent();
    if (o.wallClock) shared.stampShift = WallClockShift();

    Listener l;
    memset(&l, 0, sizeof(l));
    if (!OpenListener(&l, &o)) {
        fprintf(stderr, "ribexcand: cannot listen on %s:%lu: error %d\n", o.address, o.port,
                WSAGetLastError());
        return 1;
    }
    Run(&l, &shared);
    Shutdown(&l);
    printf(
        "ribexcand: stopped: %lu connections served, %ld frames, %ld lost, %ld sent to the bus\n",
        l.served, shared.frames, shared.lost, shared.toBus);
    fflush(stdout);
    WSACleanup();
    return 0;
}
