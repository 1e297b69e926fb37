// The client's walk over the receive buffer: order across the ring end and
// the lap-number wrap, and what a reader that was lapped gets and counts.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "rx_reader.h"
#include "rx_test_writer.h"

namespace {

struct Ring {
    std::unique_ptr<RxBufferLayout> p{new RxBufferLayout};
    uint32_t noMsgPerRead;
    uint64_t written = 0;
    explicit Ring(uint32_t npr = 2) : noMsgPerRead(npr) { rx_test::Init(p.get(), npr); }
    void Write(uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) rx_test::WriteFrame(p.get(), ++written, noMsgPerRead);
    }
};

struct Drained {
    std::vector<uint64_t> serials;
    DWORD lost = 0;
};

// Reads until nothing is left, maxFrames at a time.
Drained Drain(RxReader *pReader, const RxBufferLayout *p, DWORD maxFrames = 64) {
    Drained d;
    std::vector<RibexFrame> frames(maxFrames);
    for (;;) {
        DWORD n = 0, lost = 0;
        EXPECT_TRUE(RxReaderRead(pReader, p, frames.data(), maxFrames, &n, &lost));
        d.lost += lost;
        for (DWORD i = 0; i < n; ++i) {
            const RibexFrame &f = frames[i];
            d.serials.push_back(f.msg.timeStamp);
            EXPECT_EQ(0u, f.errorCode);
            EXPECT_EQ(0xABu, f.simUniqueId.high);
            EXPECT_EQ((uint32_t)f.msg.timeStamp, f.simUniqueId.low);
            for (int k = 0; k < 8; ++k) EXPECT_EQ(rx_test::DataByte(f.msg.timeStamp, k), f.msg.can.data[k]);
        }
        if (n == 0 && lost == 0) return d;
    }
}

std::vector<uint64_t> Serials(uint64_t first, uint64_t last) {
    std::vector<uint64_t> v;
    for (uint64_t s = first; s <= last; ++s) v.push_back(s);
    return v;
}

TEST(RxReader, StartsAtTheWriterHeadAndReadsOnlyLaterFrames) {
    Ring ring;
    ring.Write(10);
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    Drained d = Drain(&reader, ring.p.get());
    EXPECT_TRUE(d.serials.empty());
    ring.Write(3);
    d = Drain(&reader, ring.p.get());
    EXPECT_EQ(Serials(11, 13), d.serials);
    EXPECT_EQ(0u, d.lost);
}

TEST(RxReader, KeepsOrderAcrossTheRingEndInSmallReads) {
    Ring ring;
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    std::vector<uint64_t> all;
    for (int batch = 0; batch < 20; ++batch) {
        ring.Write(50);
        Drained d = Drain(&reader, ring.p.get(), 7);
        EXPECT_EQ(0u, d.lost);
        all.insert(all.end(), d.serials.begin(), d.serials.end());
    }
    EXPECT_EQ(Serials(1, 1000), all);
}

TEST(RxReader, FollowsTheLapNumberFrom255BackTo1) {
    Ring ring;
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    const uint64_t total = 255ull * 256 + 700;  // more than a whole cycle of laps
    uint64_t expected = 1;
    DWORD lost = 0;
    while (ring.written < total) {
        ring.Write(200);
        Drained d = Drain(&reader, ring.p.get(), 256);
        lost += d.lost;
        for (uint64_t s : d.serials) ASSERT_EQ(expected++, s);
    }
    EXPECT_EQ(0u, lost);
    EXPECT_EQ(ring.written + 1, expected);
    EXPECT_LT(ring.p->header.currSeqNo, 10u);  // it did wrap
}

TEST(RxReader, LappedReaderGetsTheFramesStillThereAndCountsTheRest) {
    // With 1 and with 2 slots marked ahead of head.
    for (uint32_t npr : {1u, 2u}) {
        Ring ring(npr);
        RxReader reader;
        ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
        ring.Write(300);
        Drained d = Drain(&reader, ring.p.get());
        // Slot 44 (and 45) are marked for the writer's next frames; the
        // frames behind them, 46..300 (or 47..300), are still intact.
        EXPECT_EQ(44u + npr, d.lost) << npr;
        EXPECT_EQ(Serials(45 + npr, 300), d.serials) << npr;

        ring.Write(5);
        d = Drain(&reader, ring.p.get());
        EXPECT_EQ(0u, d.lost);
        EXPECT_EQ(Serials(301, 305), d.serials);
    }
}

TEST(RxReader, ReaderLappedSeveralTimesStillAccountsForEveryFrame) {
    Ring ring;
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    ring.Write(20);
    Drained first = Drain(&reader, ring.p.get());
    ring.Write(3 * 256 + 77);
    Drained d = Drain(&reader, ring.p.get());
    EXPECT_EQ(ring.written - 20, d.lost + d.serials.size());
    ASSERT_FALSE(d.serials.empty());
    EXPECT_EQ(ring.written, d.serials.back());
    EXPECT_EQ(Serials(d.serials.front(), ring.written), d.serials);
}

TEST(RxReader, ErrorEntriesComeThroughWithTheirCode) {
    Ring ring;
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, ring.p.get()));
    rx_test::WriteFrame(ring.p.get(), 1, 2, ERROR_OPERATION_ABORTED);
    RibexFrame frame = {};
    DWORD n = 0, lost = 0;
    ASSERT_TRUE(RxReaderRead(&reader, ring.p.get(), &frame, 1, &n, &lost));
    EXPECT_EQ(1u, n);
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, frame.errorCode);
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
// whole (its data matches its serial), in order, and frames read plus
// frames reported lost add up to frames written. The writer is held to
// about 64 frames a millisecond: lap numbers tell laps apart only within
// 255 laps, and an unthrottled writer can pass a preempted reader by more.
TEST(RxReader, ConcurrentWriterNeverHandsOutTornOrReorderedFrames) {
    struct Shared {
        Ring ring{2};
        volatile LONG done = 0;
    } shared;
    const uint64_t total = 60000;
    RxReader reader;
    ASSERT_TRUE(RxReaderStart(&reader, shared.ring.p.get()));
    HANDLE hWriter = CreateThread(
        nullptr, 0,
        [](void *pv) -> DWORD {
            auto *s = static_cast<Shared *>(pv);
            for (uint64_t i = 1; i <= 60000; ++i) {
                rx_test::WriteFrame(s->ring.p.get(), i, 2);
                if ((i & 63) == 0) Sleep(1);
            }
            InterlockedExchange(&s->done, 1);
            return 0;
        },
        &shared, 0, nullptr);
    ASSERT_NE(nullptr, hWriter);

    uint64_t last = 0, read = 0, lost = 0, calls = 0;
    std::vector<RibexFrame> frames(32);
    for (bool writerDone = false;;) {
        writerDone = shared.done != 0;
        DWORD n = 0, l = 0;
        ASSERT_TRUE(RxReaderRead(&reader, shared.ring.p.get(), frames.data(), 32, &n, &l));
        lost += l;
        for (DWORD i = 0; i < n; ++i) {
            uint64_t s = frames[i].msg.timeStamp;
            ASSERT_GT(s, last);
            for (int k = 0; k < 8; ++k) ASSERT_EQ(rx_test::DataByte(s, k), frames[i].msg.can.data[k]) << s;
            last = s;
        }
        read += n;
        if (writerDone && n == 0 && l == 0) break;
        if (++calls % 64 == 0) Sleep(8);  // now and then the writer laps us
    }
    WaitForSingleObject(hWriter, INFINITE);
    CloseHandle(hWriter);
    EXPECT_EQ(total, last);
    EXPECT_EQ(total, read + lost);
    EXPECT_GT(lost, 0u);
}

}  // namespace
