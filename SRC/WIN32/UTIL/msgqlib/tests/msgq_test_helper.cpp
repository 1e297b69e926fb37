// A peer process for the queue tests. [stop] is <point> <nth> <pointName>:
// wait to be killed the nth time the library passes that point.
//   send <queue> <senderId> <first> <count> <size> [stop]
//   recv <queue> <count> <timeoutMs> [stop]    prints "<length> <senderId> <seq>"
//   recvmark <queue> <resultMap> <senders> <perSender> <timeoutMs>
//   create <queue> <maxMsgs> <maxSize> <count> <pointName>   (sender 7; then waits)
//   badptr <queue> <pointName>   every call with a bad pointer, one line each
//                                "<case> <result> <error>"; then one good
//                                message "after", and waits (handle still open)
#include <windows.h>

#include <cstdio>
#include <string>

#include "child_process.h"
#include "msgq.h"
#include "msgq_test_common.h"
#include "msgq_testhooks.h"

namespace {

int hookPoint, hookNth, hookSeen;
std::wstring hookName;

void StopAtPoint(int point) {
    if (point == hookPoint && ++hookSeen == hookNth) ribex_test::ReachPoint(hookName);
}

// Receives and counts until a zero-length message. A short time-out makes
// the receiver run its repair again and again while senders are busy; it
// must still deliver each message once. ERROR_SUCCESS or the receive's error.
DWORD MarkUntilStop(MsgQHandle q, MsgQTestResults *results, DWORD senders, DWORD perSender, DWORD timeout) {
    DWORD lastSeq[64];
    for (DWORD &seq : lastSeq) seq = 0xFFFFFFFFu;
    BYTE buffer[512];
    for (;;) {
        DWORD length = 0;
        if (!MsgQReceive(q, buffer, sizeof(buffer), &length, timeout)) {
            if (GetLastError() == ERROR_TIMEOUT && timeout < 1000) continue;
            return GetLastError();
        }
        if (length == 0) return ERROR_SUCCESS;
        MsgQTestMessage m;
        if (!CheckTestMessage(buffer, length, &m) || m.senderId >= senders || m.senderId >= 64 || m.seq >= perSender) {
            InterlockedIncrement(&results->badPayloads);
            continue;
        }
        if (lastSeq[m.senderId] != 0xFFFFFFFFu && m.seq <= lastSeq[m.senderId])
            InterlockedIncrement(&results->orderViolations);
        lastSeq[m.senderId] = m.seq;
        InterlockedIncrement(&results->counts[m.senderId * perSender + m.seq]);
    }
}

// Pages the bad pointers point into: one without access, one read-only,
// and a writable page right before the one without access.
struct BadPages {
    BYTE *noAccess;
    BYTE *readOnly;
    BYTE *beforeNoAccess;
};

bool MakeBadPages(BadPages *pages) {
    BYTE *base = (BYTE *)VirtualAlloc(nullptr, 4 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD old;
    if (!base || !VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old) ||
        !VirtualProtect(base + 3 * 4096, 4096, PAGE_READONLY, &old))
        return false;
    *pages = {base + 4096, base + 3 * 4096, base};
    return true;
}

void Report(const char *name, BOOL result) {
    std::printf("%s %d %lu\n", name, result ? 1 : 0, result ? 0ul : GetLastError());
    std::fflush(stdout);
}

int BadPointers(MsgQHandle q, const wchar_t *pointName) {
    BadPages p;
    if (!MakeBadPages(&p)) return (int)GetLastError();
    BYTE buffer[64];
    DWORD length = 0;
    Report("send-unreadable", MsgQSend(q, p.noAccess, 8, 0));
    Report("send-half-readable", MsgQSend(q, p.noAccess - 4, 8, 0));
    Report("recv-unwritable-buffer", MsgQReceive(q, p.readOnly, 64, &length, 0));
    Report("recv-no-access-buffer", MsgQReceive(q, p.noAccess - 2, 12, &length, 0));
    Report("recv-unwritable-length",
           MsgQReceive(q, buffer, sizeof(buffer), (DWORD *)p.readOnly, 0));
    Report("recv-wild-length", MsgQReceive(q, buffer, sizeof(buffer), (DWORD *)(ULONG_PTR)0x10, 0));
    Report("open-unreadable-name", MsgQOpen((const wchar_t *)p.noAccess, 0) != nullptr);
    Report("create-unreadable-name",
           MsgQCreate((const wchar_t *)p.noAccess, 1, 8, MSGQ_NAMED) != nullptr);
    // A name whose end runs into the page without access.
    wchar_t *edge = (wchar_t *)(p.noAccess - 4);
    edge[0] = L'q', edge[1] = L'n';
    Report("create-unterminated-name", MsgQCreate(edge, 1, 8, MSGQ_NAMED) != nullptr);
    BYTE after[8];
    FillTestMessage(after, 8, 9, 1);
    Report("send-after", MsgQSend(q, after, 8, 0));
    ribex_test::ReachPoint(pointName);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    auto arg = [&](int i) { return i < argc ? (DWORD)wcstoul(argv[i], nullptr, 0) : 0; };
    std::wstring command = argc > 2 ? argv[1] : L"";
    int stopAt = command == L"send" ? 7 : command == L"recv" ? 5 : argc;
    if (argc >= stopAt + 3) {
        hookPoint = (int)arg(stopAt);
        hookNth = (int)arg(stopAt + 1);
        hookName = argv[stopAt + 2];
        MsgQSetTestHook(StopAtPoint);
    }
    BYTE message[4096];
    if (command == L"create" && argc >= 7) {
        MsgQHandle q = MsgQCreate(argv[2], arg(3), arg(4), MSGQ_NAMED);
        for (DWORD seq = 0; q && seq < arg(5); seq++) {
            FillTestMessage(message, sizeof(MsgQTestMessage), 7, seq);
            if (!MsgQSend(q, message, sizeof(MsgQTestMessage), 0)) return (int)GetLastError();
        }
        if (q) ribex_test::ReachPoint(argv[6]);
        return (int)GetLastError();
    }
    MsgQHandle q = MsgQOpen(argv[2], 5000);
    if (!q) return (int)GetLastError();
    if (command == L"send" && argc >= 7) {
        for (DWORD seq = arg(4); seq < arg(4) + arg(5); seq++) {
            FillTestMessage(message, arg(6), arg(3), seq);
            if (!MsgQSend(q, message, arg(6), 10000)) return (int)GetLastError();
        }
    } else if (command == L"recv" && argc >= 5) {
        for (DWORD i = 0; i < arg(3); i++) {
            DWORD length = 0;
            MsgQTestMessage m{};
            if (!MsgQReceive(q, message, sizeof(message), &length, arg(4))) return (int)GetLastError();
            if (length >= sizeof(m)) memcpy(&m, message, sizeof(m));
            std::printf("%lu %lu %lu\n", length, m.senderId, m.seq);
            std::fflush(stdout);
        }
    } else if (command == L"badptr" && argc >= 4) {
        return BadPointers(q, argv[3]);
    } else if (command == L"recvmark" && argc >= 7) {
        HANDLE hMap = OpenFileMappingW(FILE_MAP_WRITE, FALSE, argv[3]);
        void *results = hMap ? MapViewOfFile(hMap, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
        if (!results) return (int)GetLastError();
        return (int)MarkUntilStop(q, (MsgQTestResults *)results, arg(4), arg(5), arg(6));
    } else {
        return 2;
    }
    MsgQClose(q);
    return 0;
}
