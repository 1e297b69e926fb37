// One process: argument checks, message boundaries, time-outs, local queues
// and handle validation.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "msgq.h"
#include "msgq_raw_view.h"
#include "test_names.h"

using ribex_test::UniqueName;

namespace {

struct QueueCloser {
    MsgQHandle q;
    ~QueueCloser() {
        if (q) MsgQClose(q);
    }
};

TEST(MsgQCreate, RefusesZeroAndOversizedArguments) {
    const std::wstring name = UniqueName(L"mqargs");
    const struct {
        DWORD maxMsgs, maxSize, flags;
        const wchar_t *name;
    } cases[] = {
        {0, 12, MSGQ_NAMED, name.c_str()},
        {4, 0, MSGQ_NAMED, name.c_str()},
        {0, 12, 0, nullptr},
        {4, 12, MSGQ_NAMED, nullptr},          // a named queue needs a name
        {0x10000000, 100, 0, nullptr},        // block beyond 32 bits
        {1, 0xFFFFFFF8u, 0, nullptr},         // slot size beyond 32 bits
        {0x7FFFFFFF, 1, MSGQ_NAMED, name.c_str()},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(MsgQCreate(c.name, c.maxMsgs, c.maxSize, c.flags), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.maxMsgs << " " << c.maxSize;
    }
}

TEST(MsgQCreate, NamedQueueHeaderAndSecondCreate) {
    const std::wstring name = UniqueName(L"mqhdr");
    MsgQHandle q = MsgQCreate(name.c_str(), 1, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    QueueCloser closer{q};
    {
        RawQueueView view(name);
        ASSERT_NE(view.block, nullptr);
        EXPECT_EQ(view.block->maxMsgs, 1u);
        EXPECT_EQ(view.block->msgSlotSize, 16u);
        EXPECT_EQ(view.block->writeOffset, 0u);
        EXPECT_EQ(view.block->readOffset, 0u);
    }
    ASSERT_TRUE(MsgQSend(q, "first", 5, 0));

    // The second create joins the existing queue; its sizes are ignored.
    MsgQHandle again = MsgQCreate(name.c_str(), 50, 500, MSGQ_NAMED);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    QueueCloser closer2{again};
    EXPECT_FALSE(MsgQSend(again, "second", 6, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_FALSE(MsgQSend(again, std::string(13, 'x').c_str(), 13, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
    char buffer[16];
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(again, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(std::string(buffer, length), "first");
}

TEST(MsgQSend, SlotSizeBoundariesAndZeroLength) {
    for (DWORD flags : {DWORD(MSGQ_NAMED), DWORD(0)}) {
        const std::wstring name = UniqueName(L"mqbound");
        // maxMessageSize 13 gives 24-byte slots: 20 payload bytes.
        MsgQHandle q = MsgQCreate(name.c_str(), 4, 13, flags);
        ASSERT_NE(q, nullptr);
        QueueCloser closer{q};
        std::vector<BYTE> message(21);
        for (size_t i = 0; i < message.size(); i++) message[i] = (BYTE)(i + 1);
        EXPECT_TRUE(MsgQSend(q, message.data(), 20, 0));
        SetLastError(0);
        EXPECT_FALSE(MsgQSend(q, message.data(), 21, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
        EXPECT_TRUE(MsgQSend(q, nullptr, 0, 0));

        BYTE buffer[64];
        DWORD length = 99;
        ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
        ASSERT_EQ(length, 20u);
        EXPECT_EQ(memcmp(buffer, message.data(), 20), 0);
        length = 99;
        ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
        EXPECT_EQ(length, 0u);
        // The refused message took no slot.
        EXPECT_FALSE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    }
}

TEST(MsgQReceive, LongMessageIntoShortBufferIsConsumed) {
    const std::wstring name = UniqueName(L"mqshort");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 32, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    QueueCloser closer{q};
    const char *longText = "0123456789abcdefghij";  // 20 bytes
    ASSERT_TRUE(MsgQSend(q, longText, 20, 0));
    ASSERT_TRUE(MsgQSend(q, "next", 4, 0));
    char buffer[32];
    memset(buffer, '#', sizeof(buffer));
    DWORD length = 0;
    EXPECT_FALSE(MsgQReceive(q, buffer, 12, &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(std::string(buffer, 12), "0123456789ab");
    EXPECT_EQ(buffer[12], '#');
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(std::string(buffer, length), "next");
}

TEST(MsgQSend, FullQueueTimesOutAtOnceAndLeavesMutexFree) {
    const std::wstring name = UniqueName(L"mqfull");
    MsgQHandle q = MsgQCreate(name.c_str(), 2, 8, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    QueueCloser closer{q};
    ASSERT_TRUE(MsgQSend(q, "a", 1, 0));
    ASSERT_TRUE(MsgQSend(q, "b", 1, 0));
    DWORD start = GetTickCount();
    EXPECT_FALSE(MsgQSend(q, "c", 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_TRUE(RawMutexIsFree(L"MsgQ" + name + L"MTX"));
    EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name), 2);
    EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name + L"SEM"), 0);
}

TEST(MsgQRing, OffsetsWrapAfterOneMoreThanCapacity) {
    const std::wstring name = UniqueName(L"mqwrap");
    const DWORD M = 3, S = 16, R = (M + 1) * S;
    MsgQHandle q = MsgQCreate(name.c_str(), M, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    QueueCloser closer{q};
    RawQueueView view(name);
    ASSERT_NE(view.block, nullptr);
    char buffer[16];
    DWORD length;
    for (DWORD i = 0; i < M + 1; i++) {
        ASSERT_TRUE(MsgQSend(q, &i, sizeof(i), 0));
        EXPECT_EQ(view.SlotLength(i * S), 4u);
        ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
        DWORD got;
        memcpy(&got, buffer, 4);
        EXPECT_EQ(got, i);
        // Claiming the last slot leaves R, which stands for 0.
        EXPECT_EQ(view.block->readOffset, i == M ? R : (i + 1) * S);
    }
    EXPECT_EQ(view.block->writeOffset, 0u);

    // A count released without a message (readOffset R, writeOffset 0) is
    // stale: the receive waits again and delivers nothing twice.
    HANDLE hMsgSem = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (L"MsgQ" + name).c_str());
    ASSERT_NE(hMsgSem, nullptr);
    ASSERT_TRUE(ReleaseSemaphore(hMsgSem, 1, nullptr));
    CloseHandle(hMsgSem);
    EXPECT_FALSE(MsgQReceive(q, buffer, sizeof(buffer), &length, 100));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_EQ(view.block->readOffset, 0u);  // the repair turned R into 0
    ASSERT_TRUE(MsgQSend(q, "z", 1, 0));
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(buffer[0], 'z');
}

TEST(MsgQOpen, TimeOutZeroMakesOneAttemptAndLongerOnesRetry) {
    const std::wstring name = UniqueName(L"mqnone");
    DWORD start = GetTickCount();
    EXPECT_EQ(MsgQOpen(name.c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_LT(GetTickCount() - start, 50u);  // a retry would have slept 50 ms

    start = GetTickCount();
    EXPECT_EQ(MsgQOpen(name.c_str(), 200), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 2000u);

    // A queue that appears while the open waits is found by a later attempt.
    struct Maker {
        std::wstring name;
        MsgQHandle q;
    } maker{name, nullptr};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *m = static_cast<Maker *>(p);
            Sleep(120);
            m->q = MsgQCreate(m->name.c_str(), 2, 8, MSGQ_NAMED);
            return 0;
        },
        &maker, 0, nullptr);
    MsgQHandle opened = MsgQOpen(name.c_str(), 5000);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    ASSERT_NE(maker.q, nullptr);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(MsgQSend(maker.q, "hi", 2, 0));
    char buffer[8];
    DWORD length;
    ASSERT_TRUE(MsgQReceive(opened, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(std::string(buffer, length), "hi");
    EXPECT_TRUE(MsgQClose(opened));
    EXPECT_TRUE(MsgQClose(maker.q));
    // Last handle gone: so is the queue.
    EXPECT_EQ(MsgQOpen(name.c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
}

TEST(MsgQLocal, SharedByNameAndDestroyedWithLastHandle) {
    const std::wstring name = UniqueName(L"mqlocal");
    MsgQHandle created = MsgQCreate(name.c_str(), 4, 16, 0);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    // Process-local: no kernel object carries the name.
    HANDLE hNamed = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (L"MsgQ" + name).c_str());
    EXPECT_EQ(hNamed, nullptr);

    MsgQHandle opened = MsgQOpen(name.c_str(), 0);
    ASSERT_NE(opened, nullptr);
    MsgQHandle joined = MsgQCreate(name.c_str(), 9, 99, 0);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);

    ASSERT_TRUE(MsgQSend(created, "one", 3, 0));
    ASSERT_TRUE(MsgQSend(joined, "two", 3, 0));
    EXPECT_TRUE(MsgQClose(created));
    char buffer[16];
    DWORD length;
    ASSERT_TRUE(MsgQReceive(opened, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(std::string(buffer, length), "one");
    EXPECT_TRUE(MsgQClose(opened));
    ASSERT_TRUE(MsgQReceive(joined, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(std::string(buffer, length), "two");
    EXPECT_TRUE(MsgQClose(joined));

    EXPECT_EQ(MsgQOpen(name.c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    // A new create starts an empty queue.
    MsgQHandle fresh = MsgQCreate(name.c_str(), 4, 16, 0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_FALSE(MsgQReceive(fresh, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_TRUE(MsgQClose(fresh));
}

TEST(MsgQLocal, UnnamedQueuesAreDistinct) {
    MsgQHandle a = MsgQCreate(nullptr, 2, 8, 0);
    MsgQHandle b = MsgQCreate(nullptr, 2, 8, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(MsgQSend(a, "a", 1, 0));
    char buffer[8];
    DWORD length;
    EXPECT_FALSE(MsgQReceive(b, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    ASSERT_TRUE(MsgQReceive(a, buffer, sizeof(buffer), &length, 0));
    EXPECT_TRUE(MsgQClose(a));
    EXPECT_TRUE(MsgQClose(b));
}

TEST(MsgQHandles, BadClosedAndForeignHandlesAreRefused) {
    MsgQHandle q = MsgQCreate(nullptr, 2, 8, 0);
    ASSERT_NE(q, nullptr);
    // Looks like a record, but was never handed out by the library.
    void *lookalike = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 256);
    memcpy(lookalike, q, 48);
    MsgQHandle bad[] = {nullptr, reinterpret_cast<MsgQHandle>(1),
                        reinterpret_cast<MsgQHandle>((uintptr_t)0xDEAD0000),
                        static_cast<MsgQHandle>(lookalike)};
    char buffer[8];
    DWORD length;
    for (MsgQHandle h : bad) {
        SetLastError(0);
        EXPECT_FALSE(MsgQSend(h, "x", 1, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(MsgQReceive(h, buffer, sizeof(buffer), &length, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(MsgQClose(h));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
    HeapFree(GetProcessHeap(), 0, lookalike);

    // Bad buffers on a good handle.
    EXPECT_FALSE(MsgQSend(q, nullptr, 4, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(MsgQSend(q, "x", 1, 0));
    EXPECT_FALSE(MsgQReceive(q, buffer, sizeof(buffer), nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(MsgQReceive(q, nullptr, 8, &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MsgQOpen(nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(MsgQClose(q));
    // Closed: every later use is refused.
    EXPECT_FALSE(MsgQSend(q, "x", 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(MsgQClose(q));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(MsgQHandles, ManyOpenHandlesStayValid) {
    // Enough handles to make the live table grow several times.
    std::vector<MsgQHandle> handles;
    for (int i = 0; i < 300; i++) {
        MsgQHandle q = MsgQCreate(nullptr, 1, 4, 0);
        ASSERT_NE(q, nullptr);
        handles.push_back(q);
    }
    for (size_t i = 0; i < handles.size(); i += 2) ASSERT_TRUE(MsgQClose(handles[i]));
    for (size_t i = 0; i < handles.size(); i++) {
        BOOL sent = MsgQSend(handles[i], "x", 1, 0);
        EXPECT_EQ(sent, i % 2 == 1) << i;
    }
    for (size_t i = 1; i < handles.size(); i += 2) ASSERT_TRUE(MsgQClose(handles[i]));
}

}  // namespace

namespace {

TEST(MsgQRing, DamagedBlockIsRefusedNotOverrun) {
    const std::wstring name = UniqueName(L"mqdamage");
    MsgQHandle q = MsgQCreate(name.c_str(), 2, 8, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    RawQueueView view(name);
    ASSERT_NE(view.block, nullptr);
    char buffer[16];
    DWORD length;
    ASSERT_TRUE(MsgQSend(q, "ok", 2, 0));

    // A peer wrote sizes that reach far beyond the mapping.
    view.block->maxMsgs = 0x00FFFFFF;
    EXPECT_FALSE(MsgQSend(q, "x", 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    view.block->maxMsgs = 2;

    // A write offset outside the ring.
    DWORD w = view.block->writeOffset;
    view.block->writeOffset = 0x10000;
    EXPECT_FALSE(MsgQSend(q, "x", 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(RawMutexIsFree(L"MsgQ" + name + L"MTX"));
    view.block->writeOffset = w;

    // A slot length beyond the slot: never more than the slot is copied.
    *reinterpret_cast<DWORD *>(MsgQSlotAt(view.block, 0)) = 0x7FFFFFFF;
    EXPECT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(length, 12u);  // the slot's payload, not 2 GB
    EXPECT_EQ(memcmp(buffer, "ok", 2), 0);
    EXPECT_TRUE(MsgQClose(q));
}

}  // namespace
