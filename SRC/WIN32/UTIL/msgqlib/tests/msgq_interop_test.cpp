// A queue shared by processes: what one process writes, another reads back
// through the library and through a raw view of the shared objects.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "child_process.h"
#include "msgq.h"
#include "msgq_process_util.h"
#include "msgq_raw_view.h"
#include "msgq_test_common.h"
#include "test_names.h"

using namespace ribex_test;

namespace {

// Writes one message the way an independent peer would: by the names and
// the layout alone.
void RawSend(const std::wstring &name, const void *payload, DWORD length) {
    HANDLE hMutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, (L"MsgQ" + name + L"MTX").c_str());
    HANDLE hFree = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (L"MsgQ" + name + L"SEM").c_str());
    HANDLE hMsg = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (L"MsgQ" + name).c_str());
    ASSERT_TRUE(hMutex && hFree && hMsg);
    RawQueueView view(name);
    ASSERT_NE(view.block, nullptr);
    ASSERT_EQ(WaitForSingleObject(hMutex, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(hFree, 0), WAIT_OBJECT_0);
    DWORD w = view.block->writeOffset;
    BYTE *slot = MsgQSlotAt(view.block, w);
    memcpy(slot, &length, 4);
    memcpy(slot + 4, payload, length);
    view.block->writeOffset = (w + view.block->msgSlotSize) % ((view.block->maxMsgs + 1) * view.block->msgSlotSize);
    ReleaseSemaphore(hMsg, 1, nullptr);
    ReleaseMutex(hMutex);
    CloseHandle(hMutex);
    CloseHandle(hFree);
    CloseHandle(hMsg);
}

TEST(MsgQInterop, QueueOfAnotherProcessReadsBackByteForByte) {
    const std::wstring name = UniqueName(L"mqinterop");
    const std::wstring ready = UniqueName(L"mqready");
    HANDLE hReady = PreparePoint(ready);
    ScopedChild creator;
    // Another process creates the queue (M 4, largest message 12) and queues
    // three 8-byte messages from sender 7.
    ASSERT_TRUE(StartChild(L"msgq_test_helper", L"create " + name + L" 4 12 3 " + ready, creator.get()));
    ASSERT_TRUE(WaitForPoint(ready, 15000));
    CloseHandle(hReady);

    {
        RawQueueView view(name);
        ASSERT_NE(view.block, nullptr);
        EXPECT_EQ(view.block->maxMsgs, 4u);
        EXPECT_EQ(view.block->msgSlotSize, 16u);
        EXPECT_EQ(view.block->writeOffset, 48u);
        EXPECT_EQ(view.block->readOffset, 0u);
        for (DWORD i = 0; i < 3; i++) {
            EXPECT_EQ(view.SlotLength(i * 16), 8u);
            MsgQTestMessage header;
            memcpy(&header, view.Slot(i * 16) + 4, sizeof(header));
            EXPECT_EQ(header.senderId, 7u);
            EXPECT_EQ(header.seq, i);
        }
        EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name), 3);
        EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name + L"SEM"), 1);
    }

    MsgQHandle q = MsgQOpen(name.c_str(), 0);
    ASSERT_NE(q, nullptr);
    BYTE buffer[16];
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(q, buffer, sizeof(buffer), &length, 0));
    MsgQTestMessage header;
    ASSERT_TRUE(CheckTestMessage(buffer, length, &header));
    EXPECT_EQ(header.seq, 0u);
    {
        RawQueueView view(name);
        EXPECT_EQ(view.block->readOffset, 16u);
        EXPECT_EQ(RawSemaphoreCount(L"MsgQ" + name + L"SEM"), 2);
    }

    // A message written by hand is received by a third process, after the
    // two the creator left.
    MsgQTestMessage injected{9, 5};
    RawSend(name, &injected, sizeof(injected));
    std::string output;
    EXPECT_EQ(RunProgram(L"msgq_test_helper", L"recv " + name + L" 3 2000", 20000, &output), 0u);
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    EXPECT_EQ(output, "8 7 1\n8 7 2\n8 9 5\n");

    // The queue lives while any process holds it, and not a moment longer.
    KillChild(creator.get());
    EXPECT_TRUE(MsgQSend(q, "still", 5, 0));
    EXPECT_TRUE(MsgQClose(q));
    EXPECT_EQ(MsgQOpen(name.c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    MsgQHandle fresh = MsgQCreate(name.c_str(), 2, 8, MSGQ_NAMED);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_FALSE(MsgQReceive(fresh, buffer, sizeof(buffer), &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    MsgQClose(fresh);
}

}  // namespace
