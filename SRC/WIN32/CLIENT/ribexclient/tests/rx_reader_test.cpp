// The client's walk over the receive buffer: order across the ring end and
// the lap-number wrap, what a lapped reader gets and counts, and a writer
// that runs beside the reader.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "rx_reader.h"

namespace {

uint8_t DataByte(uint64_t serial, int k) { return (uint8_t)(serial * 7 + k); }

// Writes as the server does: the slot, the lap number when a lap ends, the
// marks of the next read's slots, then head. Each frame carries a serial
// number in its time stamp and data, so a reader can tell order, gaps and
// torn copies.
struct Ring {
    std::unique_ptr<RxBufferLayout> p{new RxBufferLayout()};
    uint32_t noMsgPerRead;
    uint64_t written = 0;
    explicit Ring(uint32_t npr = 2) : noMsgPerRead(npr) {
        p->header.currSeqNo = 1;
        p->header.noEntries = RX_BUFFER_NO_ENTRIES;
        p->header.seqNoOffset = offsetof(RxBufferLayout, seqNo);
        p->header.errorCodeOffset = offsetof(RxBufferLayout, errorCode);
        p->header.msgOffset = offsetof(RxBufferLayout, msg);
        p->header.simCanUniqueIdOffset = offsetof(RxBufferLayout, simCanUniqueId);
        for (uint32_t i = 0; i < npr; ++i) p->seqNo[i] = 1;
    }
    void Write(uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            uint64_t serial = ++written;
            uint32_t head = p->header.head;
            p->msg[head].timeStamp = serial;
            for (int k = 0; k < 8; ++k) p->msg[head].can.data[k] = DataByte(serial, k);
            p->simCanUniqueId[head].low = (uint32_t)serial;
            uint32_t next = (head + 1) % RX_BUFFER_NO_ENTRIES;
            if (next == 0) p->header.currSeqNo = p->header.currSeqNo == 255 ? 1 : p->header.currSeqNo + 1;
            for (uint32_t j = next; j < next + noMsgPerRead && j < RX_BUFFER_NO_ENTRIES; ++j)
                __atomic_store_n(&p->seqNo[j], p->header.currSeqNo, __ATOMIC_RELEASE);
            __atomic_store_n(&p->header.head, next, __ATOMIC_RELEASE);
        }
    }
};

struct Drained {
    std::vector<uint64_t> serials;
    DWORD lost = 0;
};

// Reads until nothing is left, maxFrames at a time; every frame is whole.
Drained Drain(RxReader *pReader, const Ring &ring, DWORD maxFrames = 64) {
    Drained d;
    std::vector<RibexFrame> frames(maxFrames);
    for (;;) {
        DWORD n = 0, lost = 0;
        EXPECT_TRUE(RxReaderRead(pReader, ring.p.get(), frames.data(), maxFrames, &n, &lost));
        d.lost += lost;
        for (DWORD i = 0; i < n; ++i) {
            uint64_t s = frames[i].msg.timeStamp;
            d.serials.push_back(s);
            EXPECT_EQ((uint32_t)s, frames[i].simUniqueId.low);
            for (int k = 0; k < 8; ++k) EXPECT_EQ(DataByte(s, k), frames[i].msg.can.data[k]);
        }
        if (n == 0 && lost == 0) return d;
    }
}

std::vector<uint64_t> Serials(uint64_t first, uint64_t last) {
    std::vector<uint64_t> v;
    for (uint64_t s = first; s <= last; ++s) v.push_back(s);
    return v;
}

TEST(RxReader, ReadsFromTheHeadInOrderAcrossTheRingEndAndTheLapWrap) {
    Ring ring;
    ring.Write(10);
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    EXPECT_TRUE(Drain(&reader, ring).serials.empty());  // only frames from now on
    uint64_t expected = 11;
    while (ring.written < 255ull * 256 + 700) {  // more than a whole cycle of laps
        ring.Write(200);
        Drained d = Drain(&reader, ring, 7);
        ASSERT_EQ(0u, d.lost);
        ASSERT_EQ(Serials(expected, ring.written), d.serials);
        expected = ring.written + 1;
    }
    EXPECT_LT(ring.p->header.currSeqNo, 10u);  // it did wrap
}

TEST(RxReader, LappedReaderGetsTheFramesStillThereAndCountsTheRest) {
    for (uint32_t npr : {1u, 2u}) {
        Ring ring(npr);
        RxReader reader;
        ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
        ring.Write(300);
        Drained d = Drain(&reader, ring);
        // Slot 44 (and 45) are marked for the writer's next frames; the
        // frames behind them, 46..300 (or 47..300), are still intact.
        EXPECT_EQ(44u + npr, d.lost) << npr;
        EXPECT_EQ(Serials(45 + npr, 300), d.serials) << npr;
        ring.Write(3 * 256 + 77);  // lapped several times
        d = Drain(&reader, ring);
        EXPECT_EQ(3u * 256 + 77, d.lost + d.serials.size()) << npr;
        ASSERT_FALSE(d.serials.empty());
        EXPECT_EQ(Serials(d.serials.front(), ring.written), d.serials) << npr;
    }
}

TEST(RxReader, ImpossibleHeaderValuesAreRefused) {
    Ring ring;
    RxReader reader;
    ring.p->header.noEntries = 128;
    EXPECT_FALSE(RxReaderStart(&reader, ring.p.get()));
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError());
    ring.p->header.noEntries = 256;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    RibexFrame frame;
    DWORD n = 7, lost = 7;
    ring.p->header.head = 256;
    EXPECT_FALSE(RxReaderRead(&reader, ring.p.get(), &frame, 1, &n, &lost));
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError());
    ring.p->header.head = 0;
    ring.p->header.currSeqNo = 0;
    EXPECT_FALSE(RxReaderRead(&reader, ring.p.get(), &frame, 1, &n, &lost));
    EXPECT_EQ(0u, n);
}

// A writer thread that keeps lapping the reader: every frame handed out is
// whole and in order, and frames read plus frames lost add up to frames
// written. The writer is held to about 64 frames a millisecond: lap numbers
// tell laps apart only within 255 laps.
TEST(RxReader, ConcurrentWriterNeverHandsOutTornOrReorderedFrames) {
    struct Shared {
        Ring ring{2};
        volatile LONG done = 0;
    } shared;
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, shared.ring.p.get()));
    HANDLE hWriter = CreateThread(
        nullptr, 0,
        [](void *pv) -> DWORD {
            auto *s = static_cast<Shared *>(pv);
            for (int i = 1; i <= 60000; ++i) {
                s->ring.Write(1);
                if ((i & 63) == 0) Sleep(1);
            }
            InterlockedExchange(&s->done, 1);
            return 0;
        },
        &shared, 0, nullptr);
    ASSERT_NE(nullptr, hWriter);
    uint64_t last = 0, read = 0, lost = 0, calls = 0;
    std::vector<RibexFrame> frames(32);
    for (;;) {
        bool writerDone = shared.done != 0;
        DWORD n = 0, l = 0;
        ASSERT_TRUE(RxReaderRead(&reader, shared.ring.p.get(), frames.data(), 32, &n, &l));
        lost += l;
        for (DWORD i = 0; i < n; ++i) {
            uint64_t s = frames[i].msg.timeStamp;
            ASSERT_GT(s, last);
            for (int k = 0; k < 8; ++k) ASSERT_EQ(DataByte(s, k), frames[i].msg.can.data[k]) << s;
            last = s;
        }
        read += n;
        if (writerDone && n == 0 && l == 0) break;
        if (++calls % 64 == 0) Sleep(8);  // now and then the writer laps us
    }
    WaitForSingleObject(hWriter, INFINITE);
    CloseHandle(hWriter);
    EXPECT_EQ(60000u, last);
    EXPECT_EQ(60000u, read + lost);
    EXPECT_GT(lost, 0u);
}

}  // namespace
