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
    DWORD slot, seqNo, errorCode;
    RxMsg msg;
    RxUniqueId uniqueId;
};

// Builds the record and buffer, starts the thread, returns its start
// confirm (0: running; otherwise the thread has ended, all is released).
DWORD StartTestNet(const std::wstring &name, TestNet *t);
// CAN_THREAD_EXIT, waits for the end and releases the record. Returns the
// thread's exit code, (DWORD)-1 when it did not end in time.
DWORD StopTestNet(TestNet *t, DWORD timeoutMs = 10000);
// As the registry does: grows the table through the handshake when full,
// writes the entry, raises the count last. The thread owns hEvent now.
BOOL AddClient(TestNet *t, DWORD high, DWORD low, HANDLE hEvent);
// Removes entry `index` and hands its handle to the thread for closing.
BOOL RemoveClient(TestNet *t, DWORD index);
// Entries published beyond the reader position: at least `count` (waiting
// up to timeoutMs), or whatever is there now.
std::vector<RingEntry> TakeEntries(TestNet *t, DWORD count, DWORD timeoutMs = 5000);
std::vector<RingEntry> TakeAvailable(TestNet *t);

std::wstring UniqueNetName(const wchar_t *tag);
bool HandleIsOpen(HANDLE h);

}  // namespace receive_test
