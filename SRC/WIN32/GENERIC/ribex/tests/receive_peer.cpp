// Test-only simulated CAN peer: creates the queue named after a net, sends
// the messages given on its command line, then reaches point SYNC-end and
// stays, holding the queue, until it is killed.
//
//   ribex_receive_peer NET SYNC ITEM...
//     HIGH:LOW:ID:LEN[:DATA]  a 32-byte SimCanMsg (hex fields, DATA as hex
//                             bytes, ID with 8 in front for a remote frame)
//     raw:N                   a message of N bytes (0xAB each)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "sim_can_message.h"

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) return 2;
    MsgQHandle hMsgQ = MsgQCreate(argv[1], 64, 64, MSGQ_NAMED);
    if (!hMsgQ) return 3;
    for (int i = 3; i < argc; i++) {
        if (wcsncmp(argv[i], L"raw:", 4) == 0) {
            std::vector<unsigned char> raw(wcstoul(argv[i] + 4, nullptr, 10) + 1, 0xAB);
            if (!MsgQSend(hMsgQ, raw.data(), (DWORD)raw.size() - 1, 5000)) return 4;
            continue;
        }
        SimCanMsg m = {};
        wchar_t data[40] = L"";
        unsigned high = 0, low = 0, id = 0, length = 0;
        if (swscanf(argv[i], L"%x:%x:%x:%x:%39ls", &high, &low, &id, &length, data) < 4) return 2;
        m.uniqueIdHigh = high;
        m.uniqueIdLow = low;
        m.frame.can.id = id;
        m.frame.length = length;
        m.frame.timeStamp = 0xDEADBEEFDEADBEEFull;  // the server must stamp it anew
        for (size_t k = 0; k < 8 && data[2 * k] && data[2 * k + 1]; k++) {
            wchar_t byte[3] = {data[2 * k], data[2 * k + 1], 0};
            m.frame.can.data[k] = (uint8_t)wcstoul(byte, nullptr, 16);
        }
        if (!MsgQSend(hMsgQ, &m, sizeof(m), 5000)) return 4;
    }
    ribex_test::ReachPoint(std::wstring(argv[2]) + L"-end");
    return 0;
}
