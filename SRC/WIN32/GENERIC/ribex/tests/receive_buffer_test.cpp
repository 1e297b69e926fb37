// The receive buffer's writing rules, the remote-frame lookups, the table
// growth routines, the counter-to-time conversion and the configuration
// read from a service key, in one process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <memory>

#include "can_driver.h"
#include "rem_reply_table.h"
#include "rx_buffer.h"
#include "table_growth.h"

namespace {

// A fresh, zeroed buffer as a new page-file mapping would be.
struct Buffer {
    std::unique_ptr<RxBufferLayout> layout{new RxBufferLayout()};
    RxBufferLayout *operator->() { return layout.get(); }
    RxBufferLayout *get() { return layout.get(); }
};

TEST(ReceiveBuffer, CreationValues) {
    Buffer b;
    memset(b.get(), 0x5A, sizeof(RxBufferLayout));  // an old mapping of the same name
    memset(b->seqNo, 0, sizeof(b->seqNo));
    RibexBufferInit(b.get());
    EXPECT_EQ(b->header.noRxMsgs, 0u);
    EXPECT_EQ(b->header.noRxBytes, 0u);
    EXPECT_EQ(b->header.noRxMsgs2, 0u);
    EXPECT_EQ(b->header.noRxBytes2, 0u);
    for (uint32_t r : b->header.reserved) EXPECT_EQ(r, 0u);
    EXPECT_EQ(b->header.currSeqNo, 1u);
    EXPECT_EQ(b->header.head, 0u);
    EXPECT_EQ(b->header.noEntries, 256u);
    EXPECT_EQ(b->header.seqNoOffset, 64u);
    EXPECT_EQ(b->header.errorCodeOffset, 1088u);
    EXPECT_EQ(b->header.msgOffset, 2112u);
    EXPECT_EQ(b->header.simCanUniqueIdOffset, 8256u);
    EXPECT_EQ(b->seqNo[0], 1u);
    for (DWORD i = 1; i < 256; i++) ASSERT_EQ(b->seqNo[i], 0u) << i;
}

TEST(ReceiveBuffer, BatchOfTwoAtSlot254WrapsAndMarksTheNewLap) {
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 254;
    b->header.currSeqNo = 3;
    b->errorCode[0] = 77;  // left from the previous lap
    DWORD noMsgToRead = 0;
    RibexBufferAdvance(b.get(), 2, 2, &noMsgToRead);
    EXPECT_EQ(b->header.head, 0u);
    EXPECT_EQ(b->header.currSeqNo, 4u);
    EXPECT_EQ(noMsgToRead, 2u);
    EXPECT_EQ(b->seqNo[0], 4u);
    EXPECT_EQ(b->seqNo[1], 4u);
    EXPECT_EQ(b->errorCode[0], 0u);
    EXPECT_EQ(b->seqNo[2], 0u);  // only the next read's slots are marked
}

TEST(ReceiveBuffer, BatchOfOneAtSlot254ShortensTheNextRead) {
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 254;
    b->header.currSeqNo = 3;
    b->seqNo[0] = 2;  // slot 0 still holds the previous lap
    DWORD noMsgToRead = 0;
    RibexBufferAdvance(b.get(), 1, 2, &noMsgToRead);
    EXPECT_EQ(b->header.head, 255u);
    EXPECT_EQ(b->header.currSeqNo, 3u);
    EXPECT_EQ(noMsgToRead, 1u);
    EXPECT_EQ(b->seqNo[255], 3u);
    EXPECT_EQ(b->seqNo[0], 2u);  // never marked across the end
}

TEST(ReceiveBuffer, LapAfter255Is1AndNever0) {
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 255;
    b->header.currSeqNo = 255;
    DWORD noMsgToRead = 0;
    RibexBufferAdvance(b.get(), 1, 4, &noMsgToRead);
    EXPECT_EQ(b->header.head, 0u);
    EXPECT_EQ(b->header.currSeqNo, 1u);
    EXPECT_EQ(noMsgToRead, 4u);
    for (DWORD i = 0; i < 4; i++) EXPECT_EQ(b->seqNo[i], 1u) << i;

    // 255 laps of single frames: the lap numbers cycle 1..255.
    RibexBufferInit(b.get());
    DWORD seen[256] = {};
    for (DWORD k = 0; k < 256u * 256u; k++) {
        RibexBufferAdvance(b.get(), 1, 1, &noMsgToRead);
        seen[b->header.currSeqNo]++;
    }
    EXPECT_EQ(seen[0], 0u);
    for (DWORD s = 1; s < 256; s++) EXPECT_GT(seen[s], 0u) << s;
}

TEST(ReceiveBuffer, ZeroBatchPublishesNothing) {
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 10;
    DWORD noMsgToRead = 0;
    RibexBufferAdvance(b.get(), 0, 5, &noMsgToRead);
    EXPECT_EQ(b->header.head, 10u);
    EXPECT_EQ(noMsgToRead, 5u);
    EXPECT_EQ(b->seqNo[14], 1u);
}

TEST(ReceiveBuffer, ACorruptedSharedHeaderNeverSteersWritesOutOfTheRing) {
    // Clients may map the buffer writable; the writer must stay inside it.
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 0xFFFFFF00u + 200;  // 200 modulo the ring
    b->header.currSeqNo = 0;
    DWORD noMsgToRead = 0;
    RibexBufferAdvance(b.get(), 100, 255, &noMsgToRead);
    EXPECT_LT(b->header.head, 256u);
    EXPECT_GE(b->header.currSeqNo, 1u);
    EXPECT_LE(b->header.currSeqNo, 255u);
    EXPECT_LE(b->header.head + noMsgToRead, 256u);
    RxCan can = {0x12, {1}};
    SimRibexBufferStore(INVALID_HANDLE_VALUE, b.get(), 1000, &can, 1, 0, 0, 0);
    EXPECT_EQ(b->msg[1000 % 256].can.id, 0x12u);
}

TEST(ReceiveBuffer, SimulatedFrameRaisesTheFourCountersAndCarriesThePeersId) {
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 7;
    b->seqNo[7] = 1;
    RxCan can = {0x321, {0xDE, 0xAD, 0xBE, 0, 0, 0, 0, 0}};
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(CanGetTimeStamp(INVALID_HANDLE_VALUE, &before));
    SimRibexBufferStore(INVALID_HANDLE_VALUE, b.get(), 7, &can, 3, 0xA1, 0xB2, 0);
    ASSERT_TRUE(CanGetTimeStamp(INVALID_HANDLE_VALUE, &after));
    EXPECT_EQ(b->header.noRxMsgs, 1u);
    EXPECT_EQ(b->header.noRxMsgs2, 1u);
    EXPECT_EQ(b->header.noRxBytes, 3u);
    EXPECT_EQ(b->header.noRxBytes2, 3u);
    EXPECT_EQ(b->errorCode[7], 0u);
    EXPECT_EQ(b->simCanUniqueId[7].high, 0xA1u);
    EXPECT_EQ(b->simCanUniqueId[7].low, 0xB2u);
    EXPECT_EQ(b->msg[7].can.id, 0x321u);
    EXPECT_EQ(b->msg[7].length, 3u);
    EXPECT_EQ(b->msg[7].can.data[2], 0xBE);
    EXPECT_GE(b->msg[7].timeStamp, before);
    EXPECT_LE(b->msg[7].timeStamp, after);
    EXPECT_EQ(b->seqNo[7], 1u);  // the store never writes the lap
    EXPECT_EQ(b->header.head, 7u);  // nor publishes
}

TEST(ReceiveBuffer, DeviceEntriesLeaveTheCountersAlone) {
    Buffer b;
    RibexBufferInit(b.get());
    RxMsg frames[2] = {};
    frames[0].can.id = 0x10;
    frames[0].length = 8;
    frames[1].can.id = 0x11;
    frames[1].length = 2;
    b->simCanUniqueId[0] = {5, 6};  // from an earlier lap
    RibexBufferStoreDevice(b.get(), 2, frames, 0);
    EXPECT_EQ(b->msg[0].can.id, 0x10u);
    EXPECT_EQ(b->msg[1].can.id, 0x11u);
    EXPECT_EQ(b->simCanUniqueId[0].high, 0u);
    EXPECT_EQ(b->simCanUniqueId[0].low, 0u);
    EXPECT_EQ(b->header.noRxMsgs, 0u);
    EXPECT_EQ(b->header.noRxBytes, 0u);
    EXPECT_EQ(b->header.noRxMsgs2, 0u);
    EXPECT_EQ(b->header.noRxBytes2, 0u);
}

TEST(ReceiveBuffer, ReadErrorIsOneEntryWithTheCodeAndNoFrame) {
    Buffer b;
    RibexBufferInit(b.get());
    b->header.head = 3;
    b->msg[3].can.id = 0x777;
    b->msg[3].length = 8;
    b->simCanUniqueId[3] = {1, 2};
    RibexBufferStoreDevice(b.get(), 1, nullptr, ERROR_GEN_FAILURE);
    DWORD noMsgToRead = 0;
    RibexBufferAdvance(b.get(), 1, 2, &noMsgToRead);
    EXPECT_EQ(b->header.head, 4u);
    EXPECT_EQ(b->errorCode[3], (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(b->simCanUniqueId[3].high, 0u);
    EXPECT_EQ(b->simCanUniqueId[3].low, 0u);
    EXPECT_EQ(b->msg[3].can.id, 0u);
    EXPECT_EQ(b->msg[3].length, 0u);
    EXPECT_EQ(b->errorCode[4], 0u);
}

TEST(CounterTime, TenMegahertzCounterIsAlreadyIn100Nanoseconds) {
    for (uint64_t c : {0ull, 1ull, 0xFFFFFFFFull, 0x100000000ull, 0x123456789ABCull,
                       0x7FFFFFFFFFFFFFFFull})
        EXPECT_EQ(PerfCounterTo100ns(c, 10000000), c) << c;
}

TEST(CounterTime, OtherFrequenciesConvertExactly) {
    // The counter's high half must not lose its fraction: at 3.579545 MHz a
    // conversion in 32-bit halves is hundreds of seconds off.
    for (uint64_t f : {3579545ull, 2400000000ull, 1000ull, 14318180ull}) {
        for (uint64_t c : {12345ull, 0xFFFFFFFFull, 0x100000001ull, 0x5000000123ull,
                           0x3FFFFFFFFFFFull}) {
            unsigned __int128 exact = static_cast<unsigned __int128>(c) * 10000000u / f;
            EXPECT_EQ(PerfCounterTo100ns(c, f), static_cast<uint64_t>(exact)) << c << " @ " << f;
        }
    }
}

TEST(CounterTime, NoDeviceStampFollowsThePerformanceCounter) {
    LARGE_INTEGER f, c0, c1;
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    ASSERT_TRUE(QueryPerformanceCounter(&c0));
    uint64_t stamp = 0;
    ASSERT_TRUE(CanGetTimeStamp(INVALID_HANDLE_VALUE, &stamp));
    ASSERT_TRUE(QueryPerformanceCounter(&c1));
    EXPECT_GE(stamp, PerfCounterTo100ns(c0.QuadPart, f.QuadPart));
    EXPECT_LE(stamp, PerfCounterTo100ns(c1.QuadPart, f.QuadPart));
    if (f.QuadPart == 10000000) {
        EXPECT_GE(stamp, static_cast<uint64_t>(c0.QuadPart));
        EXPECT_LE(stamp, static_cast<uint64_t>(c1.QuadPart));
    }
}

// A reply table block holding the given ids, owned by the test.
struct Table {
    RemReplyTable *volatile p = nullptr;
    ~Table() {
        if (p) HeapFree(GetProcessHeap(), 0, p);
    }
    void Add(DWORD procId, DWORD canId) {
        if (!p || p->noReplies == p->maxNoReplies) {
            ASSERT_TRUE(ReAllocRemReplySpace(&p));
        }
        p->reply[p->noReplies].uniqueProcId = procId;
        p->reply[p->noReplies].can.id = canId;
        p->noReplies = p->noReplies + 1;
    }
};

TEST(RemReplyLookup, AllThirtyTwoBitsAreCompared) {
    EXPECT_EQ(GetRemFrameIndex(nullptr, 0x123), REM_FRAME_INDEX_NONE);
    Table t;
    t.Add(1, 0x123);
    t.Add(2, 0x80000123);
    EXPECT_EQ(GetRemFrameIndex(t.p, 0x123), 0u);
    EXPECT_EQ(GetRemFrameIndex(t.p, 0x80000123), 1u);
    EXPECT_EQ(GetRemFrameIndex(t.p, 0x124), REM_FRAME_INDEX_NONE);
}

TEST(RemReplyLookup, SimulatedRemoteFramesPassOnlyWhileEnabled) {
    EXPECT_TRUE(CheckSimCanBufferStore(nullptr, 0x123));  // data frames always pass
    EXPECT_FALSE(CheckSimCanBufferStore(nullptr, 0x80000123));
    Table t;
    t.Add(1, 0x80000456);  // enabled with bit 31: never matches a remote frame
    EXPECT_FALSE(CheckSimCanBufferStore(t.p, 0x80000456));
    EXPECT_TRUE(CheckSimCanBufferStore(t.p, 0x456));
    t.Add(1, 0x123);
    EXPECT_TRUE(CheckSimCanBufferStore(t.p, 0x80000123));
    t.p->noReplies = 1;  // disabled again
    EXPECT_FALSE(CheckSimCanBufferStore(t.p, 0x80000123));
}

TEST(RemReplyLookup, TornCountNeverReadsPastTheTable) {
    Table t;
    t.Add(1, 0x1);
    t.p->noReplies = 0x7FFFFFFF;
    EXPECT_EQ(GetRemFrameIndex(t.p, 0xABCDEF), REM_FRAME_INDEX_NONE);
}

TEST(TableGrowth, ClientTableGrowsBy8KeepingEntriesInOrder) {
    RibexEventTable *volatile pEvents = nullptr;
    ASSERT_TRUE(ReAllocEventSpace(&pEvents));
    ASSERT_NE(pEvents, nullptr);
    EXPECT_EQ(pEvents->maxNoEvents, 8u);
    EXPECT_EQ(pEvents->noEvents, 0u);
    // ids right behind the header, handles right behind the ids
    EXPECT_EQ(reinterpret_cast<BYTE *>(pEvents->pUniqueId),
              reinterpret_cast<BYTE *>(pEvents) + sizeof(RibexEventTable));
    EXPECT_EQ(reinterpret_cast<BYTE *>(pEvents->pEventHandle),
              reinterpret_cast<BYTE *>(pEvents->pUniqueId) + 8 * sizeof(RxUniqueId));
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, pEvents), RibexEventTableSize(8));
    for (DWORD i = 0; i < 8; i++) {
        pEvents->pUniqueId[i] = {0x100 + i, i};
        pEvents->pEventHandle[i] = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x40 + 4 * i));
    }
    pEvents->noEvents = 8;
    ASSERT_TRUE(ReAllocEventSpace(&pEvents));
    EXPECT_EQ(pEvents->maxNoEvents, 16u);
    EXPECT_EQ(pEvents->noEvents, 8u);
    EXPECT_EQ(reinterpret_cast<BYTE *>(pEvents->pEventHandle),
              reinterpret_cast<BYTE *>(pEvents->pUniqueId) + 16 * sizeof(RxUniqueId));
    for (DWORD i = 0; i < 8; i++) {
        EXPECT_EQ(pEvents->pUniqueId[i].high, 0x100 + i);
        EXPECT_EQ(pEvents->pUniqueId[i].low, i);
        EXPECT_EQ(pEvents->pEventHandle[i],
                  reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x40 + 4 * i)));
    }
    HeapFree(GetProcessHeap(), 0, pEvents);
}

TEST(TableGrowth, ReplyTableGrowsBy16KeepingEntriesInOrder) {
    Table t;
    for (DWORD i = 0; i < 16; i++) t.Add(i, 0x700 + i);
    EXPECT_EQ(t.p->maxNoReplies, 16u);
    t.Add(99, 0x999);  // the 17th grows the table
    EXPECT_EQ(t.p->maxNoReplies, 32u);
    EXPECT_EQ(t.p->noReplies, 17u);
    for (DWORD i = 0; i < 16; i++) {
        EXPECT_EQ(t.p->reply[i].uniqueProcId, i);
        EXPECT_EQ(t.p->reply[i].can.id, 0x700 + i);
    }
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, t.p), REM_REPLY_TABLE_SIZE(32));
}

// A service key of our own under HKLM\SYSTEM\CurrentControlSet\Services.
struct ServiceKey {
    std::wstring name = L"ribexrcvcfg" + std::to_wstring(GetCurrentProcessId());
    HKEY hKey = nullptr;
    ServiceKey() {
        std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + name;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &hKey, nullptr);
    }
    ~ServiceKey() {
        RegCloseKey(hKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                      (L"SYSTEM\\CurrentControlSet\\Services\\" + name).c_str());
    }
    void Dword(const wchar_t *value, DWORD data) {
        RegSetValueExW(hKey, value, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), 4);
    }
    void Text(const wchar_t *value, const wchar_t *data) {
        RegSetValueExW(hKey, value, 0, REG_SZ, reinterpret_cast<const BYTE *>(data),
                       static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t)));
    }
};

TEST(DriverConfig, AMissingServiceKeyFailsWithTheRegistrysError) {
    DWORD noMsgPerRead = 2;
    EXPECT_FALSE(RibexGetConfig(L"ribexNoSuchService", &noMsgPerRead));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(noMsgPerRead, 2u);
}

TEST(DriverConfig, OnlyDwordValuesCount) {
    ServiceKey key;
    ASSERT_NE(key.hKey, nullptr);
    DWORD noMsgPerRead = 2;
    EXPECT_TRUE(RibexGetConfig(key.name.c_str(), &noMsgPerRead));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(noMsgPerRead, 2u);  // neither value there: nothing changes
    EXPECT_EQ(currentPriorityClass, 0u);
    key.Text(L"NoMsgPerRead", L"7");
    key.Text(L"RxProcPrio", L"128");
    EXPECT_TRUE(RibexGetConfig(key.name.c_str(), &noMsgPerRead));
    EXPECT_EQ(noMsgPerRead, 2u);
    EXPECT_EQ(currentPriorityClass, 0u);
    key.Dword(L"NoMsgPerRead", 7);
    EXPECT_TRUE(RibexGetConfig(key.name.c_str(), &noMsgPerRead));
    EXPECT_EQ(noMsgPerRead, 7u);
}

TEST(DriverConfig, PriorityRankingOfTheSixClasses) {
    const DWORD ranked[] = {IDLE_PRIORITY_CLASS,         BELOW_NORMAL_PRIORITY_CLASS,
                            NORMAL_PRIORITY_CLASS,       ABOVE_NORMAL_PRIORITY_CLASS,
                            HIGH_PRIORITY_CLASS,         REALTIME_PRIORITY_CLASS};
    for (DWORD i = 0; i < 6; i++) EXPECT_EQ(PriorityClassRank(ranked[i]), i + 1) << ranked[i];
    for (DWORD other : {0u, 5u, 0x10u, 0x200u}) EXPECT_EQ(PriorityClassRank(other), 0u) << other;
}

}  // namespace
