// The message queue in one process (arguments, boundaries, time-outs, local
// queues, handle checks) and across processes (layout seen by a peer, repair
// after TerminateProcess, many senders and receivers).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "msgq.h"
#include "msgq_record.h"
#include "msgq_test_common.h"
#include "msgq_testhooks.h"
#include "test_names.h"

using namespace ribex_test;

namespace {

using Seqs = std::vector<DWORD>;
using Lines = std::vector<std::string>;

// A child's output, line by line, without the carriage returns.
Lines OutputLines(const std::string &text) {
    Lines lines(1);
    for (char c : text) {
        if (c == '\n') lines.emplace_back();
        else if (c != '\r') lines.back() += c;
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

std::wstring Obj(const std::wstring &name, const wchar_t *suffix) {
    return L"MsgQ" + name + suffix;
}

// "MsgQ<name>FMO" read by offsets, the way an independently written peer sees it.
struct RawView {
    HANDLE hMap;
    BYTE *base;
    explicit RawView(const std::wstring &name)
        : hMap(OpenFileMappingW(FILE_MAP_WRITE, FALSE, Obj(name, L"FMO").c_str())),
          base(hMap ? (BYTE *)MapViewOfFile(hMap, FILE_MAP_WRITE, 0, 0, 0) : nullptr) {}
    ~RawView() {
        if (base) UnmapViewOfFile(base);
        if (hMap) CloseHandle(hMap);
    }
    // 0 maxMsgs, 1 slot size, 2 writeOffset, 3 readOffset; the slots follow.
    DWORD &Word(int i) { return ((DWORD *)base)[i]; }
    DWORD &SlotLength(DWORD offset) { return *(DWORD *)(base + 16 + offset); }
};

// A semaphore's count: take everything without waiting, give it back.
LONG SemCount(const std::wstring &objectName) {
    HANDLE h = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, objectName.c_str());
    LONG count = 0;
    while (h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0) count++;
    if (count) ReleaseSemaphore(h, count, nullptr);
    if (h) CloseHandle(h);
    return h ? count : -1;
}

// Asked from another thread, since a mutex is recursive for its owner; an
// abandoned mutex counts as not repaired.
DWORD WINAPI TryMutex(void *name) {
    HANDLE h = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, (const wchar_t *)name);
    DWORD r = WaitForSingleObject(h, 0);
    if (r != WAIT_TIMEOUT) ReleaseMutex(h);
    CloseHandle(h);
    return r;
}
bool MutexIsFree(const std::wstring &name) {
    std::wstring mutexName = Obj(name, L"MTX");
    HANDLE t = CreateThread(nullptr, 0, TryMutex, (void *)mutexName.c_str(), 0, nullptr);
    DWORD r = WAIT_FAILED;
    WaitForSingleObject(t, INFINITE);
    GetExitCodeThread(t, &r);
    CloseHandle(t);
    return r == WAIT_OBJECT_0;
}

std::string Receive(MsgQHandle q, DWORD timeout = 0) {
    char buffer[64];
    DWORD length = 0;
    return MsgQReceive(q, buffer, sizeof(buffer), &length, timeout) ? std::string(buffer, length)
                                                                    : "<none>";
}

// The call's result (non-zero for success) and last error against the
// failure expected; read the last error before anything else runs.
testing::AssertionResult FailsWith(bool succeeded, DWORD expected) {
    DWORD error = GetLastError();
    if (succeeded) return testing::AssertionFailure() << "succeeded";
    if (error != expected)
        return testing::AssertionFailure() << "error " << error << ", not " << expected;
    return testing::AssertionSuccess();
}

// ---- one process -------------------------------------------------------

TEST(MsgQ, CreateRefusesZeroAndOversizedArgumentsAndJoinsAnExistingQueue) {
    const std::wstring name = UniqueName(L"mqargs");
    const struct {
        DWORD maxMsgs, maxSize, flags;
        const wchar_t *name;
    } cases[] = {
        {0, 12, MSGQ_NAMED, name.c_str()}, {4, 0, MSGQ_NAMED, name.c_str()}, {0, 12, 0, nullptr},
        {4, 12, MSGQ_NAMED, nullptr}, {0x10000000, 100, 0, nullptr}, {1, 0xFFFFFFF8u, 0, nullptr},
        {0x7FFFFFFF, 1, MSGQ_NAMED, name.c_str()},   // the last three: blocks beyond 32 bits
    };
    for (const auto &c : cases)
        EXPECT_TRUE(FailsWith(MsgQCreate(c.name, c.maxMsgs, c.maxSize, c.flags) != nullptr,
                              ERROR_INVALID_PARAMETER));
    MsgQHandle q = MsgQCreate(name.c_str(), 1, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(MsgQSend(q, "first", 5, 0));
    // A second create joins the queue; its sizes are ignored.
    MsgQHandle again = MsgQCreate(name.c_str(), 50, 500, MSGQ_NAMED);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(FailsWith(MsgQSend(again, "second", 6, 0), ERROR_TIMEOUT));
    EXPECT_TRUE(FailsWith(MsgQSend(again, std::string(13, 'x').c_str(), 13, 0), ERROR_BAD_LENGTH));
    EXPECT_EQ(Receive(again), "first");
    EXPECT_TRUE(MsgQClose(again));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQ, MessageSizeBoundaries) {
    for (DWORD flags : {DWORD(MSGQ_NAMED), DWORD(0)}) {
        // maxMessageSize 13 gives 24-byte slots: S - 4 = 20 payload bytes.
        MsgQHandle q = MsgQCreate(UniqueName(L"mqbound").c_str(), 4, 13, flags);
        ASSERT_NE(q, nullptr);
        std::string message = "0123456789abcdefghijk";
        EXPECT_TRUE(MsgQSend(q, message.data(), 20, 0));
        EXPECT_TRUE(FailsWith(MsgQSend(q, message.data(), 21, 0), ERROR_BAD_LENGTH));
        EXPECT_TRUE(MsgQSend(q, nullptr, 0, 0));
        ASSERT_TRUE(MsgQSend(q, message.data(), 20, 0));
        EXPECT_EQ(Receive(q), message.substr(0, 20));
        EXPECT_EQ(Receive(q), "");
        // Longer than the buffer: consumed, the first bytes delivered.
        char buffer[16];
        DWORD length = 0;
        memset(buffer, '#', sizeof(buffer));
        EXPECT_TRUE(FailsWith(MsgQReceive(q, buffer, 12, &length, 0), ERROR_BAD_LENGTH));
        EXPECT_EQ(length, 12u);
        EXPECT_EQ(std::string(buffer, 13), message.substr(0, 12) + '#');
        // Nothing left: the refused message took no slot.
        EXPECT_TRUE(FailsWith(MsgQReceive(q, buffer, sizeof(buffer), &length, 0), ERROR_TIMEOUT));
        EXPECT_TRUE(MsgQClose(q));
    }
}

TEST(MsgQ, FullQueueRefusesASendAndOffsetsWrapAtTheRingEnd) {
    const std::wstring name = UniqueName(L"mqfull");
    const DWORD M = 2, S = 16, R = (M + 1) * S;
    MsgQHandle q = MsgQCreate(name.c_str(), M, 8, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    RawView view(name);
    ASSERT_TRUE(MsgQSend(q, "a", 1, 0));
    ASSERT_TRUE(MsgQSend(q, "b", 1, 0));
    EXPECT_TRUE(FailsWith(MsgQSend(q, "c", 1, 0), ERROR_TIMEOUT));
    EXPECT_TRUE(MutexIsFree(name));
    EXPECT_EQ(SemCount(Obj(name, L"")), 2);
    EXPECT_EQ(SemCount(Obj(name, L"SEM")), 0);
    EXPECT_EQ(Receive(q), "a");
    EXPECT_EQ(Receive(q), "b");
    ASSERT_TRUE(MsgQSend(q, "z", 1, 0));   // the last slot
    EXPECT_EQ(view.Word(2), 0u);
    EXPECT_EQ(Receive(q), "z");
    EXPECT_EQ(view.Word(3), R);   // claiming the last slot leaves R, which stands for 0

    // A count released without a message is stale: the receive waits again,
    // turns R into 0 and delivers nothing twice.
    HANDLE hMsgSem = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, Obj(name, L"").c_str());
    ASSERT_TRUE(ReleaseSemaphore(hMsgSem, 1, nullptr));
    CloseHandle(hMsgSem);
    EXPECT_EQ(Receive(q, 100), "<none>");
    EXPECT_EQ(view.Word(3), 0u);
    ASSERT_TRUE(MsgQSend(q, "y", 1, 0));
    EXPECT_EQ(Receive(q), "y");
    EXPECT_TRUE(MsgQClose(q));
}

// Counts the retries of MsgQOpen; at the retry numbered createAt it starts a
// process that creates the queue and waits until the queue is there.
struct OpenRetries {
    int seen;
    int createAt;
    std::wstring name;
    ScopedChild *creator;
} retries;

void CountOpenRetry(int point) {
    if (point != MSGQ_POINT_OPEN_RETRY || ++retries.seen != retries.createAt) return;
    std::wstring ready = UniqueName(L"mqready");
    HANDLE hReady = PreparePoint(ready);
    ChildProcess *creator = retries.creator->get();
    // However long the start takes: until the queue is there or the creator
    // has ended without making it.
    if (StartChild(L"msgq_test_helper", L"create " + retries.name + L" 2 8 0 " + ready, creator)) {
        HANDLE waitFor[] = {hReady, creator->hProcess};
        WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
    }
    CloseHandle(hReady);
}

TEST(MsgQ, OpenRetriesUntilTheQueueIsThereOrTheTimeOutHasPassed) {
    const std::wstring name = UniqueName(L"mqopen");
    ScopedChild creator;
    retries = {0, 0, name, &creator};
    MsgQSetTestHook(CountOpenRetry);
    // Time-out 0: one attempt, no retry.
    EXPECT_TRUE(FailsWith(MsgQOpen(name.c_str(), 0) != nullptr, ERROR_TIMEOUT));
    EXPECT_EQ(retries.seen, 0);
    // A finite time-out is tried again until it has passed, then given up
    // (how long that takes is msgq_bench's "gives up after" figure).
    EXPECT_TRUE(FailsWith(MsgQOpen(name.c_str(), 200) != nullptr, ERROR_TIMEOUT));
    EXPECT_GT(retries.seen, 0);
    // A queue another process makes while the open waits is found by the
    // next attempt.
    retries = {0, 3, name, &creator};
    MsgQHandle opened = MsgQOpen(name.c_str(), INFINITE);
    MsgQSetTestHook(nullptr);
    EXPECT_NE(opened, nullptr);
    EXPECT_EQ(retries.seen, 3);
    EXPECT_TRUE(MsgQClose(opened));
}

TEST(MsgQ, LocalQueuesAreSharedByNameAndDestroyedWithTheLastHandle) {
    const std::wstring name = UniqueName(L"mqlocal");
    MsgQHandle created = MsgQCreate(name.c_str(), 4, 16, 0);
    ASSERT_NE(created, nullptr);
    // No kernel object carries the name.
    EXPECT_EQ(OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, Obj(name, L"").c_str()), nullptr);
    MsgQHandle opened = MsgQOpen(name.c_str(), 0), joined = MsgQCreate(name.c_str(), 9, 99, 0);
    ASSERT_TRUE(opened && joined);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    MsgQHandle unnamed = MsgQCreate(nullptr, 2, 8, 0);
    ASSERT_TRUE(MsgQSend(created, "one", 3, 0));
    ASSERT_TRUE(MsgQSend(joined, "two", 3, 0));
    EXPECT_EQ(Receive(unnamed), "<none>");   // unnamed queues are distinct
    EXPECT_TRUE(MsgQClose(created));
    EXPECT_EQ(Receive(opened), "one");
    EXPECT_TRUE(MsgQClose(opened));
    EXPECT_EQ(Receive(joined), "two");
    EXPECT_TRUE(MsgQClose(joined));
    EXPECT_TRUE(FailsWith(MsgQOpen(name.c_str(), 0) != nullptr, ERROR_TIMEOUT));
    EXPECT_TRUE(MsgQClose(unnamed));
}

TEST(MsgQ, BadClosedAndForeignHandlesAndBuffersAreRefused) {
    std::vector<MsgQHandle> handles;   // enough to make the live table grow
    for (int i = 0; i < 300; i++) handles.push_back(MsgQCreate(nullptr, 1, 4, 0));
    for (size_t i = 0; i < handles.size(); i += 2) ASSERT_TRUE(MsgQClose(handles[i]));
    MsgQHandle q = handles[1];
    void *lookalike = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 256);
    memcpy(lookalike, q, sizeof(MsgQHandleRecord));
    char buffer[8];
    DWORD length;
    for (MsgQHandle h : {(MsgQHandle) nullptr, (MsgQHandle)1, (MsgQHandle)0xDEAD0000,
                         (MsgQHandle)lookalike, handles[0], handles[298]}) {
        EXPECT_TRUE(FailsWith(MsgQSend(h, "x", 1, 0), ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(
            FailsWith(MsgQReceive(h, buffer, sizeof(buffer), &length, 0), ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(FailsWith(MsgQClose(h), ERROR_INVALID_HANDLE));
    }
    HeapFree(GetProcessHeap(), 0, lookalike);

    // Arguments that a good handle cannot be used with are refused, and the
    // message queued meanwhile stays where it is.
    ASSERT_TRUE(MsgQSend(q, "x", 1, 0));
    const struct {
        const char *what;
        bool (*call)(MsgQHandle h);
    } refused[] = {
        {"send of 4 bytes from null", [](MsgQHandle h) { return !!MsgQSend(h, nullptr, 4, 0); }},
        {"receive without a length",
         [](MsgQHandle h) {
             char b[8];
             return !!MsgQReceive(h, b, sizeof(b), nullptr, 0);
         }},
        {"receive of 8 bytes into null",
         [](MsgQHandle h) {
             DWORD n;
             return !!MsgQReceive(h, nullptr, 8, &n, 0);
         }},
        {"open of a null name", [](MsgQHandle) { return MsgQOpen(nullptr, 0) != nullptr; }},
    };
    for (const auto &c : refused)
        EXPECT_TRUE(FailsWith(c.call(q), ERROR_INVALID_PARAMETER)) << c.what;
    EXPECT_EQ(Receive(q), "x");
    for (size_t i = 1; i < handles.size(); i += 2) EXPECT_TRUE(MsgQClose(handles[i]));
}

TEST(MsgQ, DamagedSharedBlockIsRefusedNotOverrun) {
    const std::wstring name = UniqueName(L"mqdamage");
    MsgQHandle q = MsgQCreate(name.c_str(), 2, 8, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    RawView view(name);
    ASSERT_TRUE(MsgQSend(q, "ok", 2, 0));
    view.Word(0) = 0x00FFFFFF;   // a peer wrote a capacity far beyond the mapping
    EXPECT_TRUE(FailsWith(MsgQSend(q, "x", 1, 0), ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FailsWith(Receive(q) != "<none>", ERROR_INVALID_PARAMETER));
    view.Word(0) = 2;
    view.Word(2) = 0x10000;   // a write offset outside the ring
    EXPECT_TRUE(FailsWith(MsgQSend(q, "x", 1, 0), ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(MutexIsFree(name));
    view.Word(2) = 16;
    view.SlotLength(0) = 0x7FFFFFFF;   // never more than the slot is copied
    std::string got = Receive(q);
    EXPECT_EQ(got.size(), 12u);
    EXPECT_EQ(got.substr(0, 2), "ok");
    EXPECT_TRUE(MsgQClose(q));
}

// ---- several processes ---------------------------------------------------

// Starts the helper with args plus a stopping point, waits until it stands
// there, and kills it. FALSE when it never got there.
bool KillAt(const std::wstring &args, int point, int nth) {
    std::wstring pointName = UniqueName(L"mqpt");
    HANDLE hPoint = PreparePoint(pointName);
    ScopedChild child;
    bool reached = StartChild(L"msgq_test_helper",
                              args + L" " + std::to_wstring(point) + L" " + std::to_wstring(nth) +
                                  L" " + pointName,
                              child.get()) &&
                   WaitForPoint(pointName, 15000);
    KillChild(child.get());
    CloseHandle(hPoint);
    return reached;
}

// Sender 7's messages of 8 bytes: header only.
BOOL SendSeq(MsgQHandle q, DWORD seq) {
    BYTE m[8];
    FillTestMessage(m, 8, 7, seq);
    return MsgQSend(q, m, 8, 0);
}
std::wstring SendArgs(const std::wstring &name, DWORD first, DWORD count) {
    return L"send " + name + L" 7 " + std::to_wstring(first) + L" " + std::to_wstring(count) +
           L" 8";
}

// Sequence numbers received until the queue stays empty for timeoutMs.
Seqs Drain(MsgQHandle q, DWORD timeoutMs = 100) {
    Seqs seqs;
    BYTE buffer[64];
    DWORD length;
    MsgQTestMessage m;
    while (MsgQReceive(q, buffer, sizeof(buffer), &length, timeoutMs))
        seqs.push_back(CheckTestMessage(buffer, length, &m) ? m.seq : 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
    return seqs;
}

TEST(MsgQProcesses, AQueueOfAnotherProcessReadsBackByteForByte) {
    const std::wstring name = UniqueName(L"mqinterop"), ready = UniqueName(L"mqready");
    HANDLE hReady = PreparePoint(ready);
    ScopedChild creator;
    // M 4, largest message 12 (16-byte slots), three 8-byte messages of sender 7.
    ASSERT_TRUE(
        StartChild(L"msgq_test_helper", L"create " + name + L" 4 12 3 " + ready, creator.get()));
    ASSERT_TRUE(WaitForPoint(ready, 15000));
    CloseHandle(hReady);
    RawView view(name);
    ASSERT_NE(view.base, nullptr);
    EXPECT_EQ(Seqs(&view.Word(0), &view.Word(4)), (Seqs{4, 16, 48, 0}));   // the header words
    for (DWORD i = 0; i < 3; i++) {   // length word, then the payload
        MsgQTestMessage m{};
        EXPECT_EQ(view.SlotLength(i * 16), 8u);
        EXPECT_TRUE(CheckTestMessage(view.base + 16 + i * 16 + 4, 8, &m) && m.senderId == 7 &&
                    m.seq == i);
    }
    EXPECT_EQ(SemCount(Obj(name, L"")), 3);
    EXPECT_EQ(SemCount(Obj(name, L"SEM")), 1);
    MsgQHandle q = MsgQOpen(name.c_str(), 0);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(Receive(q).size(), 8u);
    EXPECT_EQ(view.Word(3), 16u);
    EXPECT_EQ(SemCount(Obj(name, L"SEM")), 2);

    // A message written by hand, by the names and the layout alone, reaches a
    // third process behind the two the creator left.
    HANDLE hMutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, Obj(name, L"MTX").c_str());
    HANDLE hFree = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, Obj(name, L"SEM").c_str());
    HANDLE hMsg = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, Obj(name, L"").c_str());
    ASSERT_EQ(WaitForSingleObject(hMutex, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(hFree, 0), WAIT_OBJECT_0);
    DWORD w = view.Word(2);
    view.SlotLength(w) = 8;
    FillTestMessage(view.base + 16 + w + 4, 8, 9, 5);
    view.Word(2) = (w + 16) % (5 * 16);
    ReleaseSemaphore(hMsg, 1, nullptr);
    ReleaseMutex(hMutex);
    for (HANDLE h : {hMutex, hFree, hMsg}) CloseHandle(h);
    std::string out;
    EXPECT_EQ(RunProgram(L"msgq_test_helper", L"recv " + name + L" 3 2000", 20000, &out), 0u);
    EXPECT_EQ(OutputLines(out), (Lines{"8 7 1", "8 7 2", "8 9 5"}));

    // The queue lives while any process holds it, and not a moment longer.
    KillChild(creator.get());
    EXPECT_TRUE(MsgQSend(q, "still", 5, 0));
    EXPECT_TRUE(MsgQClose(q));
    EXPECT_TRUE(FailsWith(MsgQOpen(name.c_str(), 0) != nullptr, ERROR_TIMEOUT));
}

// A process that passes bad pointers (message, buffer, received-length
// destination, name) gets 87 from each call, lives on, and leaves the queue
// as it was: the mutex free, the counts matching the ring, the message that
// was queued still there, and the queue working for another process while
// the first one still holds it.
TEST(MsgQProcesses, BadPointersFailWith87AndLeaveTheQueueUsableForOthers) {
    const std::wstring name = UniqueName(L"mqbadptr"), point = UniqueName(L"mqbadpt");
    const DWORD M = 4;
    MsgQHandle q = MsgQCreate(name.c_str(), M, 12, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(SendSeq(q, 0));
    HANDLE hPoint = PreparePoint(point);
    ScopedChild child;
    ASSERT_TRUE(
        StartChild(L"msgq_test_helper", L"badptr " + name + L" " + point, child.get(), true));
    bool reached = WaitForPoint(point, 15000) != FALSE;
    CloseHandle(hPoint);
    EXPECT_TRUE(reached) << "the helper did not survive its calls";
    if (reached) {
        EXPECT_TRUE(MutexIsFree(name));
        EXPECT_EQ(SemCount(Obj(name, L"")), 2);  // the first message and "after"
        EXPECT_EQ(SemCount(Obj(name, L"SEM")), (LONG)M - 2);
        // Another process sends and this one receives while the helper lives.
        EXPECT_EQ(RunProgram(L"msgq_test_helper", SendArgs(name, 1, 2), 20000), 0u);
        BYTE buffer[64];
        DWORD length = 0;
        MsgQTestMessage m;
        Lines got;  // sender:seq
        while (MsgQReceive(q, buffer, sizeof(buffer), &length, 0))
            got.push_back(CheckTestMessage(buffer, length, &m)
                              ? std::to_string(m.senderId) + ":" + std::to_string(m.seq)
                              : "damaged");
        EXPECT_EQ(got, (Lines{"7:0", "9:1", "7:1", "7:2"}));
        EXPECT_EQ(SemCount(Obj(name, L"SEM")), (LONG)M);
    }
    KillChild(child.get());
    EXPECT_EQ(OutputLines(ReadAllOutput(child.get())),
              (Lines{"send-unreadable 0 87", "send-half-readable 0 87",
                                        "recv-unwritable-buffer 0 87", "recv-no-access-buffer 0 87",
                                        "recv-unwritable-length 0 87", "recv-wild-length 0 87",
                                        "open-unreadable-name 0 87", "create-unreadable-name 0 87",
                                        "create-unterminated-name 0 87", "send-after 1 0"}));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQRepair, SenderKilledHoldingTheMutexAndAFreeSlot) {
    const std::wstring name = UniqueName(L"mqkillsend");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 16, MSGQ_NAMED);
    ASSERT_TRUE(SendSeq(q, 0) && SendSeq(q, 1));
    ASSERT_TRUE(KillAt(SendArgs(name, 100, 1), MSGQ_POINT_SEND_SLOT_TAKEN, 1));
    EXPECT_EQ(SemCount(Obj(name, L"SEM")), 1);
    // The next send finds the mutex abandoned and counts the free slots anew.
    EXPECT_TRUE(SendSeq(q, 2) && SendSeq(q, 3));
    EXPECT_TRUE(FailsWith(SendSeq(q, 4), ERROR_TIMEOUT));
    EXPECT_TRUE(MutexIsFree(name));
    EXPECT_EQ(Drain(q), (Seqs{0, 1, 2, 3}));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQRepair, SenderKilledBeforeCountingItsMessageIsDeliveredOneTimeOutLate) {
    const std::wstring name = UniqueName(L"mqkillcount");
    MsgQHandle q = MsgQCreate(name.c_str(), 4, 16, MSGQ_NAMED);
    // The peer sends 0 and 1 and dies after writing 2, before counting it.
    ASSERT_TRUE(KillAt(SendArgs(name, 0, 3), MSGQ_POINT_SEND_WRITTEN, 3));
    EXPECT_EQ(SemCount(Obj(name, L"")), 2);
    for (int i = 0; i < 2; i++) EXPECT_EQ(Receive(q, 300).size(), 8u);
    EXPECT_EQ(SemCount(Obj(name, L"")), 0);   // message 2 has no count
    EXPECT_EQ(Drain(q, 300), (Seqs{2}));     // found by the time-out's repair
    EXPECT_EQ(SemCount(Obj(name, L"")), 0);   // and not counted once more
    // The free count is right once a sender repaired the mutex the peer left.
    for (DWORD seq = 3; seq < 7; seq++) EXPECT_TRUE(SendSeq(q, seq));
    EXPECT_TRUE(FailsWith(SendSeq(q, 7), ERROR_TIMEOUT));
    EXPECT_EQ(Drain(q), (Seqs{3, 4, 5, 6}));
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQRepair, ReceiverKilledAfterItsClaimLeavesTheQueueOneSlotShortUntilASenderRepairs) {
    const std::wstring name = UniqueName(L"mqkillrecv");
    MsgQHandle q = MsgQCreate(name.c_str(), 3, 16, MSGQ_NAMED);
    for (DWORD seq = 0; seq < 3; seq++) ASSERT_TRUE(SendSeq(q, seq));
    // The peer takes message 0 and dies before giving its slot back.
    ASSERT_TRUE(KillAt(L"recv " + name + L" 1 5000", MSGQ_POINT_RECV_COPIED, 1));
    EXPECT_TRUE(FailsWith(SendSeq(q, 3), ERROR_TIMEOUT));   // two queued, yet full
    // A sender that dies holding the mutex makes the next send repair.
    ASSERT_TRUE(KillAt(SendArgs(name, 100, 1), MSGQ_POINT_SEND_LOCKED, 1));
    EXPECT_TRUE(SendSeq(q, 3));
    EXPECT_TRUE(FailsWith(SendSeq(q, 4), ERROR_TIMEOUT));
    EXPECT_EQ(Drain(q), (Seqs{1, 2, 3}));
    for (DWORD seq = 4; seq < 7; seq++) EXPECT_TRUE(SendSeq(q, seq));
    EXPECT_EQ(Drain(q), (Seqs{4, 5, 6}));
    EXPECT_TRUE(MsgQClose(q));
}

// Stops one chosen thread just before it claims a slot, until released.
struct ClaimGate {
    DWORD threadId;
    HANDLE hReached, hResume;
} gate;

TEST(MsgQConcurrency, TwoReceiversAtTheLastSlotKeepReadOffsetInTheRing) {
    const std::wstring name = UniqueName(L"mqlastslot");
    const DWORD S = 16, R = 4 * S;
    MsgQHandle q = MsgQCreate(name.c_str(), 3, 12, MSGQ_NAMED);
    RawView view(name);
    for (int i = 0; i < 3; i++) ASSERT_TRUE(MsgQSend(q, "x", 1, 0) && Receive(q) == "x");
    ASSERT_TRUE(MsgQSend(q, "L", 1, 0) && MsgQSend(q, "F", 1, 0));   // the last slot, the first
    gate.hReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gate.hResume = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    MsgQSetTestHook([](int point) {
        if (point == MSGQ_POINT_RECV_BEFORE_CLAIM && GetCurrentThreadId() == gate.threadId) {
            gate.threadId = 0;
            SetEvent(gate.hReached);
            WaitForSingleObject(gate.hResume, INFINITE);
        }
    });
    static std::string got;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void *q) -> DWORD {
            got = Receive((MsgQHandle)q, 5000);
            return 0;
        },
        q, CREATE_SUSPENDED, &gate.threadId);
    ResumeThread(t);
    // The thread has its count and has read readOffset at the last slot.
    ASSERT_EQ(WaitForSingleObject(gate.hReached, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Receive(q), "L");
    EXPECT_EQ(view.Word(3), R);
    SetEvent(gate.hResume);
    ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    MsgQSetTestHook(nullptr);
    EXPECT_EQ(got, "F");
    EXPECT_EQ(view.Word(3), S);   // not R + S
    EXPECT_EQ(Receive(q), "<none>");
    ASSERT_TRUE(MsgQSend(q, "n", 1, 0));
    EXPECT_EQ(Receive(q), "n");
    for (HANDLE h : {t, gate.hReached, gate.hResume}) CloseHandle(h);
    MsgQClose(q);
}

TEST(MsgQConcurrency, SenderProcessesAndReceiverProcessesDeliverEachMessageOnce) {
    const DWORD SENDERS = 4, PER_SENDER = 5000, RECEIVERS = 3, MAX_MSGS = 8;
    const std::wstring name = UniqueName(L"mqstress"), resultName = UniqueName(L"mqresults");
    HANDLE hResults =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                           (DWORD)MsgQTestResultsSize(SENDERS, PER_SENDER), resultName.c_str());
    auto *results = (MsgQTestResults *)MapViewOfFile(hResults, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(results, nullptr);
    // A ring of nine slots: receivers meet at its end all the time. Two
    // receivers wait 1 ms, so that repairs run while senders are busy.
    MsgQHandle q = MsgQCreate(name.c_str(), MAX_MSGS, 32, MSGQ_NAMED);
    ScopedChild children[RECEIVERS + SENDERS];
    for (DWORD i = 0; i < RECEIVERS + SENDERS; i++) {
        std::wstring args =
            i < RECEIVERS
                ? L"recvmark " + name + L" " + resultName + L" 4 5000 " + (i ? L"1" : L"9000")
                : L"send " + name + L" " + std::to_wstring(i - RECEIVERS) + L" 0 5000 32";
        ASSERT_TRUE(StartChild(L"msgq_test_helper", args, children[i].get()));
    }
    for (DWORD i = 0; i < RECEIVERS + SENDERS; i++) {
        DWORD child = (i + RECEIVERS) % (RECEIVERS + SENDERS), code = 1;   // senders first
        // After the last sender: one stop message for each receiver.
        for (DWORD stop = 0; i == SENDERS && stop < RECEIVERS; stop++)
            ASSERT_TRUE(MsgQSend(q, nullptr, 0, 20000));
        ASSERT_TRUE(WaitChild(children[child].get(), 120000, &code));
        EXPECT_EQ(code, 0u) << "child " << child;
    }
    EXPECT_EQ(results->badPayloads + results->orderViolations, 0);
    DWORD missing = 0, duplicated = 0;
    for (DWORD i = 0; i < SENDERS * PER_SENDER; i++) {
        missing += results->counts[i] == 0;
        duplicated += results->counts[i] > 1;
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(duplicated, 0u);
    EXPECT_EQ(Receive(q), "<none>");   // nothing left over, and the counts agree
    EXPECT_EQ(SemCount(Obj(name, L"SEM")), (LONG)MAX_MSGS);
    MsgQClose(q);
    UnmapViewOfFile(results);
    CloseHandle(hResults);
}

}  // namespace
