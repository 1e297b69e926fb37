// Test messages, shared by the queue tests and their helper process: a
// sender id and a sequence number, then bytes that depend on both so that a
// torn or misplaced copy shows.
#pragma once

#include <windows.h>

#include <cstring>

#include "msgq.h"

struct MsgQTestMessage {
    DWORD senderId;
    DWORD seq;
};

inline void FillTestMessage(BYTE *message, DWORD size, DWORD senderId, DWORD seq) {
    MsgQTestMessage header{senderId, seq};
    if (size >= sizeof(header)) memcpy(message, &header, sizeof(header));
    for (DWORD i = sizeof(header); i < size; i++) message[i] = (BYTE)(senderId * 31 + seq + i);
}

inline bool CheckTestMessage(const BYTE *message, DWORD size, MsgQTestMessage *header) {
    if (size < sizeof(*header)) return false;
    memcpy(header, message, sizeof(*header));
    for (DWORD i = sizeof(*header); i < size; i++)
        if (message[i] != (BYTE)(header->senderId * 31 + header->seq + i)) return false;
    return true;
}

// Filled by every receiver, in a named mapping: how often each (sender,
// sequence) pair arrived, and the faults seen on the way.
struct MsgQTestResults {
    volatile LONG orderViolations;   // a sender's sequence went backwards at one receiver
    volatile LONG badPayloads;
    volatile LONG counts[1];   // senders * perSender
};

inline SIZE_T MsgQTestResultsSize(DWORD senders, DWORD perSender) {
    return sizeof(MsgQTestResults) + (SIZE_T)senders * perSender * sizeof(LONG);
}

// Receives and counts until a zero-length message. A short time-out makes
// the receiver run its repair again and again while senders are busy; it
// must still deliver each message once. ERROR_SUCCESS or the receive's error.
inline DWORD MarkUntilStop(MsgQHandle q, MsgQTestResults *results, DWORD senders, DWORD perSender,
                           DWORD timeout) {
    DWORD lastSeq[64];
    for (DWORD &s : lastSeq) s = 0xFFFFFFFFu;
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
