// Peers killed in the middle of a send or a receive: the queue repairs
// itself, and every message sent is received exactly once, in order.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "msgq.h"
#include "msgq_process_util.h"
#include "msgq_raw_view.h"
#include "test_names.h"

using namespace msgq_test;
using ribex_test::UniqueName;

namespace {

constexpr DWORD SENDER = 7;

std::wstring SendArgs(const std::wstring &name, DWORD first, DWORD count) {
    return L"send " + name + L" " + std::to_wstring(SENDER) + L" " + std::to_wstring(first) + L" " +
           std::to_wstring(count) + L" " + std::to_wstring(sizeof(MsgQTestMessage));
}

TEST(MsgQRepair, SenderKilledHoldingMutexAndSlotLeavesQueueUsable) {
    const std::wstring name = UniqueName(L"mqkillsend");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 16, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(SendSeq(q, SENDER, 0));
    ASSERT_TRUE(SendSeq(q, SENDER, 1));
    // The peer dies owning the mutex and one free-slot count, nothing written.
    ASSERT_TRUE(RunHelperUntilKilled(SendArgs(name, 100, 1), MSGQ_POINT_SEND_SLOT_TAKEN, 1,
                                     UniqueName(L"mqpt")));
    EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name + L"SEM"), 1);

    // The next send finds the mutex abandoned and gives the slot back: the
    // queue holds its full four messages again.
    EXPECT_TRUE(SendSeq(q, SENDER, 2));
    EXPECT_TRUE(SendSeq(q, SENDER, 3));
    EXPECT_FALSE(SendSeq(q, SENDER, 4));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_TRUE(RawMutexIsFree(L"MsgQ" + name + L"MTX"));

    EXPECT_EQ(DrainSeqs(q, 100), Range(0, 4));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQRepair, SenderKilledBeforeCountingItsMessageIsDeliveredOneTimeOutLate) {
    const std::wstring name = UniqueName(L"mqkillcount");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 16, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    // The peer sends 0 and 1 and dies after writing 2 but before counting it.
    ASSERT_TRUE(RunHelperUntilKilled(SendArgs(name, 0, 3), MSGQ_POINT_SEND_WRITTEN, 3,
                                     UniqueName(L"mqpt")));
    EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name), 2);

    BYTE buffer[64];
    DWORD length;
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 300));
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 300));
    DWORD start = GetTickCount();
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 300));
    EXPECT_GE(GetTickCount() - start, 250u);  // found by the time-out's repair
    MsgQTestMessage header;
    ASSERT_TRUE(CheckTestMessage(buffer, length, &header));
    EXPECT_EQ(header.seq, 2u);
    // Nothing twice, and the free count is right once a sender repaired the
    // mutex the peer left.
    EXPECT_TRUE(DrainSeqs(q, 100).empty());
    for (DWORD seq = 3; seq < 7; seq++) EXPECT_TRUE(SendSeq(q, SENDER, seq));
    EXPECT_FALSE(SendSeq(q, SENDER, 7));
    EXPECT_EQ(DrainSeqs(q, 100), Range(3, 4));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQRepair, ReceiverKilledAfterClaimLeavesQueueOneSlotShortUntilSenderRepair) {
    const std::wstring name = UniqueName(L"mqkillrecv");
    MsgQHandle q = MsgQCreate(name.c_str(), 3, 16, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    for (DWORD seq = 0; seq < 3; seq++) ASSERT_TRUE(SendSeq(q, SENDER, seq));
    // The peer takes message 0 and dies before giving its slot back.
    ASSERT_TRUE(RunHelperUntilKilled(L"recv " + name + L" 1 5000", MSGQ_POINT_RECV_COPIED, 1,
                                     UniqueName(L"mqpt")));
    {
        RawQueueView view(name);
        EXPECT_EQ(view.block->readOffset, view.block->msgSlotSize);  // one slot claimed
    }
    // Two messages queued, yet the queue counts itself full.
    EXPECT_FALSE(SendSeq(q, SENDER, 3));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);

    // A sender that dies holding the mutex makes the next send repair the
    // free count from the ring.
    ASSERT_TRUE(RunHelperUntilKilled(SendArgs(name, 100, 1), MSGQ_POINT_SEND_LOCKED, 1,
                                     UniqueName(L"mqpt")));
    EXPECT_TRUE(SendSeq(q, SENDER, 3));
    EXPECT_FALSE(SendSeq(q, SENDER, 4));
    EXPECT_EQ(DrainSeqs(q, 100), Range(1, 3));
    for (DWORD seq = 4; seq < 7; seq++) EXPECT_TRUE(SendSeq(q, SENDER, seq));
    EXPECT_EQ(DrainSeqs(q, 100), Range(4, 3));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQRepair, InfiniteReceiverWaitsForAnotherReceiversRepair) {
    const std::wstring name = UniqueName(L"mqinfinite");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 16, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(RunHelperUntilKilled(SendArgs(name, 0, 1), MSGQ_POINT_SEND_WRITTEN, 1,
                                     UniqueName(L"mqpt")));
    // A receiver without time-out never repairs; one with a time-out does.
    struct Waiter {
        MsgQHandle q;
        DWORD length;
        BOOL got;
    } waiter{q, 0, FALSE};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *w = static_cast<Waiter *>(p);
            BYTE buffer[64];
            w->got = MsgQReceive(w->q, buffer, sizeof(buffer), &w->length, INFINITE);
            return 0;
        },
        &waiter, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(hThread, 400), (DWORD)WAIT_TIMEOUT);
    // The repair gives back no count for the message it takes itself.
    EXPECT_EQ(DrainSeqs(q, 200), Range(0, 1));
    EXPECT_EQ(WaitForSingleObject(hThread, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(SendSeq(q, SENDER, 1));
    EXPECT_EQ(WaitForSingleObject(hThread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(waiter.got);
    EXPECT_EQ(waiter.length, (DWORD)sizeof(MsgQTestMessage));
    CloseHandle(hThread);
    EXPECT_TRUE(DrainSeqs(q, 50).empty());
    EXPECT_TRUE(MsgQClose(q));
}

}  // namespace
