// Test messages, shared by the queue tests and their helper process: a
// sender id and a sequence number, then bytes that depend on both so that a
// torn or misplaced copy shows.
#pragma once

#include <windows.h>

#include <cstring>

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
