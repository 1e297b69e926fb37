// A peer process for the queue tests: sends, receives or holds a queue, and
// can stop at a point inside the library so that the test kills it there.
//
//   send <queue> <senderId> <first> <count> <size> [<point> <nth> <pointName>]
//   recv <queue> <count> <timeoutMs> [<point> <nth> <pointName>]
//   recvmark <queue> <resultMap> <senders> <perSender> <timeoutMs>
//   create <queue> <maxMsgs> <maxSize> <count> <pointName>
//
// Messages start with a MsgQTestMessage header (sender id and sequence).
// recv prints "<length> <senderId> <seq>" for each message. recvmark counts
// every message into a shared table until a zero-length message arrives.
// create makes a named queue, sends count messages and waits to be killed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "child_process.h"
#include "msgq.h"
#include "msgq_test_common.h"
#include "msgq_testhooks.h"

namespace {

int hookPoint = 0;
int hookNth = 0;
int hookSeen = 0;
std::wstring hookName;

void StopAtPoint(int point) {
    if (point == hookPoint && ++hookSeen == hookNth) ribex_test::ReachPoint(hookName);
}

void ArmHook(int argc, wchar_t **argv, int at) {
    if (argc < at + 3) return;
    hookPoint = _wtoi(argv[at]);
    hookNth = _wtoi(argv[at + 1]);
    hookName = argv[at + 2];
    MsgQSetTestHook(StopAtPoint);
}

DWORD Arg(wchar_t **argv, int i) { return (DWORD)wcstoul(argv[i], nullptr, 0); }

int Send(int argc, wchar_t **argv) {
    if (argc < 7) return 2;
    DWORD senderId = Arg(argv, 3), first = Arg(argv, 4), count = Arg(argv, 5), size = Arg(argv, 6);
    ArmHook(argc, argv, 7);
    MsgQHandle q = MsgQOpen(argv[2], 5000);
    if (!q) return (int)GetLastError();
    BYTE message[4096];
    for (DWORD seq = first; seq < first + count; seq++) {
        FillTestMessage(message, size, senderId, seq);
        if (!MsgQSend(q, message, size, 10000)) return (int)GetLastError();
    }
    MsgQClose(q);
    return 0;
}

int Receive(int argc, wchar_t **argv) {
    if (argc < 5) return 2;
    DWORD count = Arg(argv, 3), timeout = Arg(argv, 4);
    ArmHook(argc, argv, 5);
    MsgQHandle q = MsgQOpen(argv[2], 5000);
    if (!q) return (int)GetLastError();
    BYTE buffer[4096];
    for (DWORD i = 0; i < count; i++) {
        DWORD length = 0;
        if (!MsgQReceive(q, buffer, sizeof(buffer), &length, timeout)) return (int)GetLastError();
        MsgQTestMessage header{};
        if (length >= sizeof(header)) memcpy(&header, buffer, sizeof(header));
        std::printf("%lu %lu %lu\n", length, header.senderId, header.seq);
        std::fflush(stdout);
    }
    MsgQClose(q);
    return 0;
}

int ReceiveAndMark(int argc, wchar_t **argv) {
    if (argc < 7) return 2;
    DWORD senders = Arg(argv, 4), perSender = Arg(argv, 5), timeout = Arg(argv, 6);
    HANDLE hMap = OpenFileMappingW(FILE_MAP_WRITE, FALSE, argv[3]);
    if (!hMap) return (int)GetLastError();
    auto *results = static_cast<MsgQTestResults *>(MapViewOfFile(hMap, FILE_MAP_WRITE, 0, 0, 0));
    if (!results) return (int)GetLastError();
    MsgQHandle q = MsgQOpen(argv[2], 5000);
    if (!q) return (int)GetLastError();
    DWORD error = MarkUntilStop(q, results, senders, perSender, timeout);
    MsgQClose(q);
    return (int)error;
}

int CreateAndHold(int argc, wchar_t **argv) {
    if (argc < 7) return 2;
    DWORD maxMsgs = Arg(argv, 3), maxSize = Arg(argv, 4), count = Arg(argv, 5);
    MsgQHandle q = MsgQCreate(argv[2], maxMsgs, maxSize, MSGQ_NAMED);
    if (!q) return (int)GetLastError();
    BYTE message[4096];
    DWORD size = maxSize < sizeof(MsgQTestMessage) ? maxSize : (DWORD)sizeof(MsgQTestMessage);
    for (DWORD seq = 0; seq < count; seq++) {
        FillTestMessage(message, size, 7, seq);
        if (!MsgQSend(q, message, size, 0)) return (int)GetLastError();
    }
    ribex_test::ReachPoint(argv[6]);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) return 2;
    std::wstring command = argv[1];
    if (command == L"send") return Send(argc, argv);
    if (command == L"recv") return Receive(argc, argv);
    if (command == L"recvmark") return ReceiveAndMark(argc, argv);
    if (command == L"create") return CreateAndHold(argc, argv);
    return 2;
}
