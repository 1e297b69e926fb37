// Many senders and receivers on one queue, and two receivers meeting at the
// end of the ring.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "msgq_process_util.h"
#include "msgq_raw_view.h"
#include "msgq_testhooks.h"
#include "test_names.h"

using namespace ribex_test;

namespace {

// Stops one chosen thread just before it claims a slot, until released.
struct ClaimGate {
    DWORD threadId = 0;
    HANDLE hReached = nullptr;
    HANDLE hResume = nullptr;
    volatile LONG fired = 0;
};
ClaimGate gate;

void StopBeforeClaim(int point) {
    if (point == MSGQ_POINT_RECV_BEFORE_CLAIM && GetCurrentThreadId() == gate.threadId &&
        InterlockedExchange(&gate.fired, 1) == 0) {
        SetEvent(gate.hReached);
        WaitForSingleObject(gate.hResume, INFINITE);
    }
}

TEST(MsgQConcurrency, TwoReceiversAtTheLastSlotKeepReadOffsetInTheRing) {
    const std::wstring name = UniqueName(L"mqlastslot");
    const DWORD M = 3, S = 16, R = (M + 1) * S;
    MsgQHandle q = MsgQCreate(name.c_str(), M, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    RawQueueView view(name);
    ASSERT_NE(view.block, nullptr);
    char buffer[16];
    DWORD length;
    for (DWORD i = 0; i < M; i++) {
        ASSERT_TRUE(MsgQSend(q, "x", 1, 0));
        ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    }
    ASSERT_EQ(view.block->readOffset, R - S);
    ASSERT_TRUE(MsgQSend(q, "L", 1, 0));  // the last slot
    ASSERT_TRUE(MsgQSend(q, "F", 1, 0));  // the first slot

    struct Receiver {
        MsgQHandle q;
        char got;
        BOOL ok;
    } receiver{q, 0, FALSE};
    gate.hReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gate.hResume = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    MsgQSetTestHook(StopBeforeClaim);
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *r = static_cast<Receiver *>(p);
            char b[16];
            DWORD n;
            r->ok = MsgQReceive(r->q, b, sizeof(b), &n, 5000);
            r->got = b[0];
            return 0;
        },
        &receiver, CREATE_SUSPENDED, &gate.threadId);
    ResumeThread(hThread);
    // The thread has its count and has read readOffset at the last slot.
    ASSERT_EQ(WaitForSingleObject(gate.hReached, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(buffer[0], 'L');
    EXPECT_EQ(view.block->readOffset, R);
    SetEvent(gate.hResume);
    ASSERT_EQ(WaitForSingleObject(hThread, 5000), WAIT_OBJECT_0);
    MsgQSetTestHook(nullptr);
    EXPECT_TRUE(receiver.ok);
    EXPECT_EQ(receiver.got, 'F');
    EXPECT_EQ(view.block->readOffset, S);  // not R + S
    EXPECT_EQ(view.block->writeOffset, S);

    EXPECT_FALSE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    ASSERT_TRUE(MsgQSend(q, "n", 1, 0));
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(buffer[0], 'n');
    CloseHandle(hThread);
    CloseHandle(gate.hReached);
    CloseHandle(gate.hResume);
    MsgQClose(q);
}

struct ThreadReceiver {
    MsgQHandle q;
    MsgQTestResults *results;
    DWORD senders, perSender, timeout;
    DWORD error;
};

DWORD WINAPI ReceiveThread(void *p) {
    auto *r = static_cast<ThreadReceiver *>(p);
    r->error = MarkUntilStop(r->q, r->results, r->senders, r->perSender, r->timeout);
    return 0;
}

TEST(MsgQConcurrency, SenderProcessesAndReceiversDeliverEachMessageOnce) {
    const DWORD SENDERS = 4, PER_SENDER = 5000, MAX_MSGS = 8, SIZE = 32;
    const std::wstring name = UniqueName(L"mqstress");
    const std::wstring resultName = UniqueName(L"mqresults");
    SIZE_T resultSize = MsgQTestResultsSize(SENDERS, PER_SENDER);
    HANDLE hResults = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         (DWORD)resultSize, resultName.c_str());
    ASSERT_NE(hResults, nullptr);
    auto *results = static_cast<MsgQTestResults *>(MapViewOfFile(hResults, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(results, nullptr);
    // A small ring: the offsets wrap every nine messages, so receivers meet
    // at the last slot all the time.
    MsgQHandle q = MsgQCreate(name.c_str(), MAX_MSGS, SIZE, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);

    // Two receiver threads here, two receiver processes; one of each with a
    // 1 ms time-out, so that repairs run while senders are busy.
    ThreadReceiver threads[2] = {{q, results, SENDERS, PER_SENDER, 20000, 0},
                                 {q, results, SENDERS, PER_SENDER, 1, 0}};
    HANDLE hThreads[2];
    for (int i = 0; i < 2; i++) hThreads[i] = CreateThread(nullptr, 0, ReceiveThread, &threads[i], 0, nullptr);
    ScopedChild receivers[2];
    const wchar_t *receiverTimeouts[2] = {L"20000", L"1"};
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(StartChild(L"msgq_test_helper",
                               L"recvmark " + name + L" " + resultName + L" " + std::to_wstring(SENDERS) +
                                   L" " + std::to_wstring(PER_SENDER) + L" " + receiverTimeouts[i],
                               receivers[i].get()));
    }
    ScopedChild senders[SENDERS];
    for (DWORD s = 0; s < SENDERS; s++) {
        ASSERT_TRUE(StartChild(L"msgq_test_helper",
                               L"send " + name + L" " + std::to_wstring(s) + L" 0 " +
                                   std::to_wstring(PER_SENDER) + L" " + std::to_wstring(SIZE),
                               senders[s].get()));
    }
    for (DWORD s = 0; s < SENDERS; s++) {
        DWORD code = 1;
        ASSERT_TRUE(WaitChild(senders[s].get(), 120000, &code));
        EXPECT_EQ(code, 0u) << "sender " << s;
    }
    // One stop message per receiver, behind every data message.
    for (int i = 0; i < 4; i++) ASSERT_TRUE(MsgQSend(q, nullptr, 0, 20000));
    for (int i = 0; i < 2; i++) {
        DWORD code = 1;
        ASSERT_TRUE(WaitChild(receivers[i].get(), 30000, &code));
        EXPECT_EQ(code, 0u) << "receiver process " << i;
    }
    EXPECT_EQ(WaitForMultipleObjects(2, hThreads, TRUE, 30000), WAIT_OBJECT_0);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(threads[i].error, 0u);
        CloseHandle(hThreads[i]);
    }

    EXPECT_EQ(results->received, (LONG)(SENDERS * PER_SENDER));
    EXPECT_EQ(results->badPayloads, 0);
    EXPECT_EQ(results->orderViolations, 0);
    DWORD missing = 0, duplicated = 0;
    for (DWORD i = 0; i < SENDERS * PER_SENDER; i++) {
        if (results->counts[i] == 0) missing++;
        if (results->counts[i] > 1) duplicated++;
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(duplicated, 0u);
    // Nothing left over, and the counts agree with the empty ring.
    char buffer[64];
    DWORD length;
    EXPECT_FALSE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name + L"SEM"), (LONG)MAX_MSGS);
    MsgQClose(q);
    UnmapViewOfFile(results);
    CloseHandle(hResults);
}

}  // namespace
