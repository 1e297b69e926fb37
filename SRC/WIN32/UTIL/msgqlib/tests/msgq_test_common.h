// Message format and bookkeeping shared by the queue tests and their helper
// process.
#pragma once

#include <windows.h>

#include <cstring>

#include "msgq.h"

struct MsgQTestMessage {
    DWORD senderId;
    DWORD seq;
};

// Filled by every receiver, in a named mapping: how often each (sender,
// sequence) pair arrived, and how often a receiver saw a sender's sequence
// go backwards.
struct MsgQTestResults {
    volatile LONG orderViolations;
    volatile LONG badPayloads;
    volatile LONG received;
    volatile LONG pad;
    volatile LONG counts[1];  // senders * perSender
};

inline SIZE_T MsgQTestResultsSize(DWORD senders, DWORD perSender) {
    return sizeof(MsgQTestResults) + (SIZE_T)senders * perSender * sizeof(LONG);
}

// Header, then bytes that depend on sender and sequence so that a torn or
// misplaced copy shows.
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

// Receives until a zero-length message; counts each message in results.
// A short time-out makes the receiver run its repair again and again while
// senders are busy; it must still deliver each message once. Returns
// ERROR_SUCCESS or the receive's error.
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
        MsgQTestMessage header;
        if (!CheckTestMessage(buffer, length, &header) || header.senderId >= senders ||
            header.seq >= perSender || header.senderId >= 64) {
            InterlockedIncrement(&results->badPayloads);
            continue;
        }
        // One receiver sees each sender's messages in the order they were sent.
        if (lastSeq[header.senderId] != 0xFFFFFFFFu && header.seq <= lastSeq[header.senderId])
            InterlockedIncrement(&results->orderViolations);
        lastSeq[header.senderId] = header.seq;
        InterlockedIncrement(&results->counts[header.senderId * perSender + header.seq]);
        InterlockedIncrement(&results->received);
    }
}
