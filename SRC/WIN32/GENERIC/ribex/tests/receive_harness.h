// Drives a net's receive thread the way the registry does, without the
// registry: a net record, a receive buffer mapping, the two handshake
// events, the thread, clients added to and removed from its event table.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "net_record.h"
#include "sim_can_message.h"

namespace receive_test {

struct TestNet {
    RibexNet *net = nullptr;
    HANDLE hMapping = nullptr;
    RxBufferLayout *pRxBuffer = nullptr;
    DWORD readPosition = 0;  // the test's own reader position in the ring
};

// One published slot as a client sees it.
struct RingEntry {
    DWORD slot;
    DWORD seqNo;
    DWORD errorCode;
    RxMsg msg;
    RxUniqueId uniqueId;
};

// Builds the record and buffer, starts the thread and waits for its start
// confirm. Returns errorCodeCfm (0: running). On failure the thread has
// ended and everything but the record is already released.
DWORD StartTestNet(const std::wstring &name, TestNet *t);

// CAN_THREAD_EXIT, then waits for the thread's end (at most timeoutMs) and
// releases the record. Returns the thread's exit code, or (DWORD)-1 when it
// did not end in time.
DWORD StopTestNet(TestNet *t, DWORD timeoutMs = 10000);

// Adds a client as the registry does: grows the table through the
// handshake when it is full, writes the entry, raises the count last.
// The thread owns the handle from here on.
BOOL AddClient(TestNet *t, DWORD high, DWORD low, HANDLE hEvent);

// Removes entry `index` as the registry does and hands its handle to the
// thread for closing.
BOOL RemoveClient(TestNet *t, DWORD index);

// Waits until at least `count` new entries are published (or timeoutMs
// passes) and returns the new ones, advancing the reader position.
std::vector<RingEntry> TakeEntries(TestNet *t, DWORD count, DWORD timeoutMs = 5000);

// Returns whatever is published beyond the reader position right now.
std::vector<RingEntry> TakeAvailable(TestNet *t);

// A name no other run uses, for nets and peer queues.
std::wstring UniqueNetName(const wchar_t *tag);
bool HandleIsOpen(HANDLE h);

}  // namespace receive_test
