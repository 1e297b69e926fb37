// Test-only simulated CAN peer: creates the queue named after a net and
// sends the messages given on its command line, in phases.
//
//   ribex_receive_peer NET SYNC ITEM...
//     HIGH:LOW:ID:LEN[:DATA]  a 32-byte SimCanMsg (hex fields, DATA as hex
//                             bytes, ID with 8 in front for a remote frame)
//     raw:N                   a message of N bytes (0xAB each)
//     wait                    set event SYNC-<k>, then wait for event SYNC-go<k>
//   After the last item it reaches point SYNC-end and stays until killed,
//   holding the queue.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "sim_can_message.h"

namespace {

bool ParseFrame(const wchar_t *item, SimCanMsg *message) {
    memset(message, 0, sizeof(*message));
    wchar_t data[40] = L"";
    unsigned high = 0, low = 0, id = 0, length = 0;
    int fields = swscanf(item, L"%x:%x:%x:%x:%39ls", &high, &low, &id, &length, data);
    if (fields < 4) return false;
    message->uniqueIdHigh = high;
    message->uniqueIdLow = low;
    message->frame.can.id = id;
    message->frame.length = length;
    message->frame.timeStamp = 0xDEADBEEFDEADBEEFull;  // the server must stamp it anew
    for (size_t i = 0; i < 8 && data[2 * i] && data[2 * i + 1]; i++) {
        wchar_t byte[3] = {data[2 * i], data[2 * i + 1], 0};
        message->frame.can.data[i] = static_cast<uint8_t>(wcstoul(byte, nullptr, 16));
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: ribex_receive_peer NET SYNC ITEM...\n");
        return 2;
    }
    const std::wstring sync = argv[2];
    MsgQHandle hMsgQ = MsgQCreate(argv[1], 64, 64, MSGQ_NAMED);
    if (!hMsgQ) {
        fprintf(stderr, "MsgQCreate failed: %lu\n", GetLastError());
        return 3;
    }
    int phase = 0;
    for (int i = 3; i < argc; i++) {
        if (wcscmp(argv[i], L"wait") == 0) {
            std::wstring point = sync + L"-" + std::to_wstring(phase);
            std::wstring go = sync + L"-go" + std::to_wstring(phase);
            HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, go.c_str());
            HANDLE hPoint = CreateEventW(nullptr, TRUE, FALSE, point.c_str());
            if (hPoint) SetEvent(hPoint);
            WaitForSingleObject(hGo, 60000);
            phase++;
            continue;
        }
        if (wcsncmp(argv[i], L"raw:", 4) == 0) {
            unsigned long n = wcstoul(argv[i] + 4, nullptr, 10);
            std::vector<unsigned char> raw(n ? n : 1, 0xAB);
            if (!MsgQSend(hMsgQ, raw.data(), n, 5000)) return 4;
            continue;
        }
        SimCanMsg message;
        if (!ParseFrame(argv[i], &message)) {
            fprintf(stderr, "bad item %ls\n", argv[i]);
            return 2;
        }
        if (!MsgQSend(hMsgQ, &message, sizeof(message), 5000)) return 4;
    }
    ribex_test::ReachPoint(sync + L"-end");
    return 0;
}
