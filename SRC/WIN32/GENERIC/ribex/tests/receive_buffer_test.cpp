// The receive buffer's writing rules, the remote-frame lookups, the reply
// table growth and the counter-to-time conversion, in one process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <memory>

#include "can_driver.h"
#include "rem_reply_table.h"
#include "rx_buffer.h"
#include "table_growth.h"

namespace {

struct Buffer {
    std::unique_ptr<RxBufferLayout> layout{new RxBufferLayout()};
    Buffer() { RibexBufferInit(layout.get()); }
    RxBufferLayout *operator->() { return layout.get(); }
    RxBufferLayout *get() { return layout.get(); }
};

TEST(ReceiveBuffer, CreationValuesOverAnOldMappingOfTheSameName) {
    Buffer b;
    memset(b.get(), 0x5A, sizeof(RxBufferLayout));
    memset(b->seqNo, 0, sizeof(b->seqNo));
    RibexBufferInit(b.get());
    const RxBuffer &h = b->header;
    EXPECT_EQ(0u, h.noRxMsgs + h.noRxBytes + h.noRxMsgs2 + h.noRxBytes2 + h.head);
    for (uint32_t r : h.reserved) EXPECT_EQ(0u, r);
    const DWORD expected[6] = {1, 256, 64, 1088, 2112, 8256};
    const DWORD got[6] = {h.currSeqNo,       h.noEntries, h.seqNoOffset,
                          h.errorCodeOffset, h.msgOffset, h.simCanUniqueIdOffset};
    for (int i = 0; i < 6; i++) EXPECT_EQ(expected[i], got[i]) << i;
    for (DWORD i = 0; i < 256; i++) ASSERT_EQ(i == 0 ? 1u : 0u, b->seqNo[i]) << i;
}

// A buffer left by a killed server, still mapped by clients: the new
// server writes on at the old head and lap, so no reader's position is
// thrown off; a header that is not a ring of ours is set up anew instead.
TEST(ReceiveBuffer, ABufferLeftByADeadServerIsWrittenOnWhereItStopped) {
    Buffer b;
    b->header.head = 77;
    b->header.currSeqNo = 9;
    b->header.noRxMsgs = 12345;
    b->seqNo[77] = 8;  // died before marking the next slot
    ASSERT_TRUE(RibexBufferTakeOver(b.get()));
    EXPECT_EQ(77u, b->header.head);
    EXPECT_EQ(9u, b->header.currSeqNo);
    EXPECT_EQ(12345u, b->header.noRxMsgs);
    EXPECT_EQ(9u, b->seqNo[77]);

    const struct {
        const char *what;
        void (*spoil)(RxBufferLayout *);
    } spoiled[] = {
        {"head past the ring", [](RxBufferLayout *p) { p->header.head = 256; }},
        {"lap 0", [](RxBufferLayout *p) { p->header.currSeqNo = 0; }},
        {"lap 256", [](RxBufferLayout *p) { p->header.currSeqNo = 256; }},
        {"other slot count", [](RxBufferLayout *p) { p->header.noEntries = 128; }},
        {"other offsets", [](RxBufferLayout *p) { p->header.msgOffset = 0; }},
    };
    for (const auto &c : spoiled) {
        Buffer bad;
        c.spoil(bad.get());
        EXPECT_FALSE(RibexBufferTakeOver(bad.get())) << c.what;
    }
}

TEST(ReceiveBuffer, LapRuleAtTheRingEnd) {
    struct {
        DWORD head, seqNo, batch, next, headAfter, seqNoAfter, toRead;
    } cases[] = {
        {254, 3, 2, 2, 0, 4, 2},    // wraps: the new lap is marked on the next read's slots
        {254, 3, 1, 2, 255, 3, 1},  // the next read is shortened at the end, never marked across
        {255, 255, 1, 4, 0, 1, 4},  // after 255 comes 1, never 0
        {10, 1, 0, 5, 10, 1, 5},    // a zero-byte completion publishes nothing
    };
    for (const auto &c : cases) {
        Buffer b;
        b->header.head = c.head;
        b->header.currSeqNo = c.seqNo;
        b->seqNo[0] = c.seqNo - 1;
        b->errorCode[0] = 77;  // left from the previous lap
        DWORD toRead = 0;
        RibexBufferAdvance(b.get(), c.batch, c.next, &toRead);
        EXPECT_EQ(c.headAfter, b->header.head) << c.head << "+" << c.batch;
        EXPECT_EQ(c.seqNoAfter, b->header.currSeqNo) << c.head << "+" << c.batch;
        EXPECT_EQ(c.toRead, toRead) << c.head << "+" << c.batch;
        for (DWORD i = 0; i < c.toRead; i++)
            EXPECT_EQ(c.seqNoAfter, b->seqNo[c.headAfter + i]) << i;
        if (c.headAfter + c.toRead < 256) {
            EXPECT_NE(c.seqNoAfter, b->seqNo[c.headAfter + c.toRead]);
        }
        if (c.headAfter == 0) {
            EXPECT_EQ(0u, b->errorCode[0]);
        }
        if (c.headAfter == 255) {
            EXPECT_EQ(c.seqNo - 1, b->seqNo[0]);
        }
    }
}

TEST(ReceiveBuffer, ACorruptedSharedHeaderNeverSteersWritesOutOfTheRing) {
    // Clients may map the buffer writable; the writer must stay inside it.
    Buffer b;
    b->header.head = 0xFFFFFF00u + 200;
    b->header.currSeqNo = 0;
    DWORD toRead = 0;
    RibexBufferAdvance(b.get(), 100, 255, &toRead);
    EXPECT_LT(b->header.head, 256u);
    EXPECT_GE(b->header.currSeqNo, 1u);
    EXPECT_LE(b->header.currSeqNo, 255u);
    EXPECT_LE(b->header.head + toRead, 256u);
    RxCan can = {0x12, {1}};
    SimRibexBufferStore(INVALID_HANDLE_VALUE, b.get(), 1000, &can, 1, 0, 0, 0);
    EXPECT_EQ(0x12u, b->msg[1000 % 256].can.id);
}

TEST(ReceiveBuffer, CountersRiseForSimulatedFramesOnlyAndErrorEntriesCarryNothing) {
    Buffer b;
    b->simCanUniqueId[0] = {5, 6};  // from an earlier lap
    RxMsg frames[2] = {};
    frames[0].can.id = 0x10;
    frames[0].length = 8;
    RibexBufferStoreDevice(b.get(), 2, frames, 0);
    EXPECT_EQ(0x10u, b->msg[0].can.id);
    EXPECT_EQ(0u, b->simCanUniqueId[0].high + b->simCanUniqueId[0].low);
    EXPECT_EQ(
        0u, b->header.noRxMsgs + b->header.noRxBytes + b->header.noRxMsgs2 + b->header.noRxBytes2);

    RxCan can = {0x321, {0xDE, 0xAD, 0xBE}};
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(CanGetTimeStamp(INVALID_HANDLE_VALUE, &before));
    SimRibexBufferStore(INVALID_HANDLE_VALUE, b.get(), 7, &can, 3, 0xA1, 0xB2, 0);
    ASSERT_TRUE(CanGetTimeStamp(INVALID_HANDLE_VALUE, &after));
    EXPECT_EQ(1u, b->header.noRxMsgs);
    EXPECT_EQ(1u, b->header.noRxMsgs2);
    EXPECT_EQ(3u, b->header.noRxBytes);
    EXPECT_EQ(3u, b->header.noRxBytes2);
    EXPECT_EQ(0xA1u, b->simCanUniqueId[7].high);
    EXPECT_EQ(0xB2u, b->simCanUniqueId[7].low);
    EXPECT_EQ(0xBE, b->msg[7].can.data[2]);
    EXPECT_GE(b->msg[7].timeStamp, before);  // stamped from the performance counter
    EXPECT_LE(b->msg[7].timeStamp, after);
    EXPECT_EQ(0u, b->header.head);  // storing never publishes

    b->header.head = 7;  // a read error over that slot: one entry, no frame
    RibexBufferStoreDevice(b.get(), 1, nullptr, ERROR_GEN_FAILURE);
    EXPECT_EQ((DWORD)ERROR_GEN_FAILURE, b->errorCode[7]);
    EXPECT_EQ(0u, b->simCanUniqueId[7].high + b->simCanUniqueId[7].low);
    EXPECT_EQ(0u, b->msg[7].can.id + b->msg[7].length + b->msg[7].can.data[2]);
    EXPECT_EQ(1u, b->header.noRxMsgs);
}

TEST(CounterTime, ConversionIsExactForAnyFrequency) {
    // The counter's high half must not lose its fraction: at 3.579545 MHz a
    // conversion in 32-bit halves is hundreds of seconds off.
    for (uint64_t f : {10000000ull, 3579545ull, 2400000000ull, 1000ull}) {
        for (uint64_t c :
             {12345ull, 0xFFFFFFFFull, 0x100000001ull, 0x5000000123ull, 0x3FFFFFFFFFFFull}) {
            unsigned __int128 exact = static_cast<unsigned __int128>(c) * 10000000u / f;
            EXPECT_EQ(static_cast<uint64_t>(exact), PerfCounterTo100ns(c, f)) << c << " @ " << f;
        }
    }
}

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

TEST(RemReplyTable, LookupFilterAndGrowth) {
    EXPECT_EQ(REM_FRAME_INDEX_NONE, GetRemFrameIndex(nullptr, 0x123));
    EXPECT_TRUE(CheckSimCanBufferStore(nullptr, 0x123));  // data frames always pass
    EXPECT_FALSE(CheckSimCanBufferStore(nullptr, 0x80000123));
    Table t;
    t.Add(1, 0x80000456);  // all 32 bits compared: never matches a remote frame
    t.Add(2, 0x123);
    EXPECT_EQ(1u, GetRemFrameIndex(t.p, 0x123));
    EXPECT_EQ(REM_FRAME_INDEX_NONE, GetRemFrameIndex(t.p, 0x124));
    EXPECT_FALSE(CheckSimCanBufferStore(t.p, 0x80000456));
    EXPECT_TRUE(CheckSimCanBufferStore(t.p, 0x80000123));
    for (DWORD i = 2; i < 17; i++) t.Add(i, 0x700 + i);  // the 17th grows the table
    EXPECT_EQ(32u, t.p->maxNoReplies);
    EXPECT_EQ(17u, t.p->noReplies);
    EXPECT_EQ(0x123u, t.p->reply[1].can.id);
    EXPECT_EQ(0x710u, t.p->reply[16].can.id);
    t.p->noReplies = 1;  // disabled again
    EXPECT_FALSE(CheckSimCanBufferStore(t.p, 0x80000123));
    t.p->noReplies = 0x7FFFFFFF;  // a torn count never reads past the table
    EXPECT_EQ(REM_FRAME_INDEX_NONE, GetRemFrameIndex(t.p, 0xABCDEF));
}

}  // namespace
