// Helpers for tests that drive the queue from several processes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "msgq_test_common.h"
#include "msgq_testhooks.h"

namespace msgq_test {

// Starts the helper with args plus a stopping point, waits until it stands
// there, and kills it. FALSE when it never got there.
inline BOOL RunHelperUntilKilled(const std::wstring &args, int point, int nth,
                                 const std::wstring &pointName) {
    HANDLE hPoint = ribex_test::PreparePoint(pointName);
    ribex_test::ScopedChild child;
    std::wstring full = args + L" " + std::to_wstring(point) + L" " + std::to_wstring(nth) + L" " + pointName;
    BOOL reached = ribex_test::StartChild(L"msgq_test_helper", full, child.get()) &&
                   ribex_test::WaitForPoint(pointName, 15000);
    ribex_test::KillChild(child.get());
    if (hPoint) CloseHandle(hPoint);
    return reached;
}

inline BOOL SendSeq(MsgQHandle q, DWORD senderId, DWORD seq, DWORD timeout = 0) {
    BYTE message[sizeof(MsgQTestMessage)];
    FillTestMessage(message, sizeof(message), senderId, seq);
    return MsgQSend(q, message, sizeof(message), timeout);
}

// Receives until the queue stays empty for timeoutMs; the sequence numbers,
// with 0xFFFFFFFF for anything that is not a test message.
inline std::vector<DWORD> DrainSeqs(MsgQHandle q, DWORD timeoutMs) {
    std::vector<DWORD> seqs;
    BYTE buffer[256];
    DWORD length;
    while (MsgQReceive(q, buffer, sizeof(buffer), &length, timeoutMs)) {
        MsgQTestMessage header;
        seqs.push_back(CheckTestMessage(buffer, length, &header) ? header.seq : 0xFFFFFFFFu);
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    return seqs;
}

inline std::vector<DWORD> Range(DWORD first, DWORD count) {
    std::vector<DWORD> v;
    for (DWORD i = 0; i < count; i++) v.push_back(first + i);
    return v;
}

}  // namespace msgq_test
