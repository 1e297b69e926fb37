// ribexweb's histories and API in-process: what a series answers when the
// points fit, when they do not, after the ring wrapped, and what a store
// fed with frames and log records answers.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "ribexweb_api.h"
#include "ribexweb_history.h"
#include "ribexweb_store.h"

namespace {

std::vector<WebPoint> Query(const WebHistory &h, double from, double to, size_t budget, bool *raw) {
    std::vector<WebPoint> out;
    WebHistoryQuery(&h, from, to, budget, &out, raw);
    return out;
}

bool InTimeOrder(const std::vector<WebPoint> &points) {
    for (size_t i = 1; i < points.size(); ++i)
        if (points[i].t < points[i - 1].t) return false;
    return true;
}

TEST(WebHistory, PointsThatFitComeAsTheyCame) {
    WebHistory h;
    WebHistoryInit(&h, 1000);
    for (int i = 0; i < 100; ++i) WebHistoryAdd(&h, i * 0.01, i * 2.0);
    bool raw = false;
    std::vector<WebPoint> all = Query(h, 0, 10, 100, &raw);
    ASSERT_TRUE(raw);
    ASSERT_EQ(all.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(all[i].v, i * 2.0);
    // Both ends are inside the range.
    std::vector<WebPoint> part = Query(h, 0.10, 0.19, 100, &raw);
    ASSERT_EQ(part.size(), 10u);
    EXPECT_EQ(part.front().v, 20.0);
    EXPECT_EQ(part.back().v, 38.0);
    EXPECT_TRUE(Query(h, 5, 6, 100, &raw).empty());
    EXPECT_TRUE(Query(h, 0.5, 0.4, 100, &raw).empty());
}

TEST(WebHistory, TooManyPointsBecomeMinimumAndMaximumPerBucket) {
    WebHistory h;
    WebHistoryInit(&h, 100000);
    // A sine with one spike up and one down: the extremes must survive.
    for (int i = 0; i < 50000; ++i) {
        double v = sin(i * 0.001);
        if (i == 12345) v = 50;
        if (i == 40000) v = -70;
        WebHistoryAdd(&h, i * 0.0001, v);
    }
    bool raw = true;
    std::vector<WebPoint> out = Query(h, 0, 5, 200, &raw);
    EXPECT_FALSE(raw);
    EXPECT_LE(out.size(), 200u);
    EXPECT_GE(out.size(), 150u);
    EXPECT_TRUE(InTimeOrder(out));
    auto byValue = [](const WebPoint &a, const WebPoint &b) { return a.v < b.v; };
    EXPECT_EQ(std::max_element(out.begin(), out.end(), byValue)->v, 50);
    EXPECT_NEAR(std::max_element(out.begin(), out.end(), byValue)->t, 1.2345, 1e-9);
    EXPECT_EQ(std::min_element(out.begin(), out.end(), byValue)->v, -70);
}

TEST(WebHistory, TheRingKeepsTheLatestAndTheSummaryTheWholeTime) {
    WebHistory h;
    WebHistoryInit(&h, 1024);
    const int n = 200000;  // 200 s at 1 kHz, the ring holds the last second
    for (int i = 0; i < n; ++i) WebHistoryAdd(&h, i * 0.001, i == 777 ? 1e6 : (double)(i % 1000));
    EXPECT_EQ(h.ring.size(), 1024u);
    EXPECT_NEAR(WebHistoryOldestRaw(&h), (n - 1024) * 0.001, 1e-9);
    bool raw = false;
    // The last half second: every point, from the ring.
    std::vector<WebPoint> recent = Query(h, 199.5, 200, 1000, &raw);
    EXPECT_TRUE(raw);
    EXPECT_EQ(recent.size(), 500u);
    // The whole time: the summary, with the spike of long ago.
    std::vector<WebPoint> all = Query(h, 0, 200, 400, &raw);
    EXPECT_FALSE(raw);
    EXPECT_LE(all.size(), 400u);
    EXPECT_TRUE(InTimeOrder(all));
    bool spike = false;
    for (const WebPoint &p : all) spike = spike || p.v == 1e6;
    EXPECT_TRUE(spike);
    // Memory is the ring and the buckets, whatever the time.
    EXPECT_LE(WebHistoryBytes(&h), 1024 * sizeof(WebPoint) * 2 + WEB_SUMMARY_BUCKETS * sizeof(WebBucket));
}

// The columns made from whole blocks must be the ones a look at every point
// gives, also when the ring wrapped in the middle of a block.
TEST(WebHistory, BlocksGiveTheColumnsEveryPointGives) {
    WebHistory h;
    WebHistoryInit(&h, 1000);  // 1024: 16 blocks
    std::vector<WebPoint> all;
    unsigned seed = 12345;
    for (int i = 0; i < 5000 + 37; ++i) {
        seed = seed * 1103515245u + 12345u;
        double t = i * 0.001 + (seed % 7) * 1e-5, v = (double)(seed >> 16 & 0xFFF);
        WebHistoryAdd(&h, t, v);
        all.push_back({t, v});
    }
    ASSERT_NE(h.head % WEB_BLOCK_POINTS, 0u);
    for (size_t budget : {8, 50, 200, 600}) {
        double from = all[all.size() - 900].t, to = all.back().t;
        bool raw = true;
        std::vector<WebPoint> got = Query(h, from, to, budget, &raw);
        ASSERT_FALSE(raw);
        size_t columns = budget / 2;
        double width = (to - from) / (double)columns;
        std::vector<WebBucket> want(columns);
        for (const WebPoint &p : all) {
            if (p.t < from || p.t > to) continue;
            size_t k = std::min(columns - 1, (size_t)((p.t - from) / width));
            WebBucket &b = want[k];
            if (b.count == 0 || p.v < b.minV) b.minV = p.v, b.minT = p.t;
            if (b.count == 0 || p.v > b.maxV) b.maxV = p.v, b.maxT = p.t;
            b.count++;
        }
        std::vector<WebPoint> expected;
        for (const WebBucket &b : want) {
            if (b.count == 0) continue;
            if (b.minT == b.maxT) {
                expected.push_back({b.minT, b.minV});
            } else if (b.minT < b.maxT) {
                expected.push_back({b.minT, b.minV});
                expected.push_back({b.maxT, b.maxV});
            } else {
                expected.push_back({b.maxT, b.maxV});
                expected.push_back({b.minT, b.minV});
            }
        }
        ASSERT_EQ(got.size(), expected.size()) << "budget " << budget;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].t, expected[i].t) << "budget " << budget << " point " << i;
            EXPECT_EQ(got[i].v, expected[i].v) << "budget " << budget << " point " << i;
        }
    }
}

TEST(WebHistory, ATimeBeforeTheLastIsTakenAsTheLast) {
    WebHistory h;
    WebHistoryInit(&h, 16);
    WebHistoryAdd(&h, 1.0, 1);
    WebHistoryAdd(&h, 0.5, 2);
    bool raw = false;
    std::vector<WebPoint> out = Query(h, 0, 2, 10, &raw);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].t, 1.0);
    EXPECT_EQ(out[1].v, 2);
}

const char kDbc[] =
    "VERSION \"\"\n\nBO_ 256 Engine: 8 ECU\n"
    " SG_ Speed : 0|16@1+ (0.25,0) [0|16383.75] \"rpm\" Vector__XXX\n"
    " SG_ Gear : 16|4@1+ (1,0) [0|15] \"\" Vector__XXX\n\n"
    "VAL_ 256 Gear 0 \"Park\" 3 \"Drive\";\n";

struct StoreFixture : ::testing::Test {
    CanDbSet set;
    WebStore store;
    void SetUp() override {
        CanDatabase db;
        CanDbError error;
        ASSERT_TRUE(CanDbParseText(kDbc, strlen(kDbc), "t.dbc", &db, &error)) << CanDbErrorText(&error);
        ASSERT_TRUE(CanDbSetAdd(&set, "", &db, &error));
        WebSource log = {};
        log.name = "LOG1";
        WebStoreInit(&store, {log}, &set, 4096);
    }
    void AddRecords(int n) {
        std::vector<CanLogRecord> records(n);
        for (int i = 0; i < n; ++i) {
            CanLogRecord &r = records[i];
            memset(&r, 0, sizeof(r));
            r.timeNs = 5000000000ull + (unsigned long long)i * 10000000ull;  // 10 ms apart
            r.id = i == n - 1 ? 0x200 : 0x100;
            r.length = 8;
            unsigned raw = (unsigned)(i * 4);  // Speed i rpm
            r.data[0] = (uint8_t)raw;
            r.data[1] = (uint8_t)(raw >> 8);
            r.data[2] = 3;
            r.channel = 1;
        }
        WebStoreAddRecords(&store, 0, records.data(), (DWORD)records.size());
    }
};

TEST_F(StoreFixture, SeriesAndSnapshotOfRecords) {
    AddRecords(101);  // 100 Engine frames and one the database does not know
    WebSeriesQuery q;
    q.signals = {"Engine.Speed"};
    WebAnswer a = WebSeriesAnswer(&store, q, 0);
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_NE(a.body.find("\"raw\":true"), std::string::npos);
    EXPECT_NE(a.body.find("\"count\":100"), std::string::npos);
    EXPECT_NE(a.body.find("\"v\":[0.0,1.0,2.0,"), std::string::npos) << a.body.substr(0, 300);
    EXPECT_NE(a.body.find("\"t\":[0.0,0.01,0.02,"), std::string::npos) << a.body.substr(0, 300);

    WebAnswer snap = WebSnapshotAnswer(&store, 500000, 0);
    ASSERT_EQ(snap.status, 200);
    EXPECT_NE(snap.body.find("\"Engine.Gear\":{\"count\":100,\"label\":\"Drive\""), std::string::npos)
        << snap.body;
    EXPECT_NE(snap.body.find("\"frames\":101"), std::string::npos);
}

TEST_F(StoreFixture, BadSeriesRequestsAreRefused) {
    AddRecords(10);
    struct Case {
        const char *signal, *from, *to, *points;
        int status;
    } cases[] = {
        {"", nullptr, nullptr, nullptr, 400},           {"Engine.Nope", nullptr, nullptr, nullptr, 404},
        {"Engine.Speed", "x", nullptr, nullptr, 400},   {"Engine.Speed", "1e400", nullptr, nullptr, 400},
        {"Engine.Speed", "2", "1", nullptr, 400},       {"Engine.Speed", nullptr, nullptr, "1", 400},
        {"Engine.Speed", nullptr, nullptr, "20001", 400}, {"Engine.Speed", nullptr, nullptr, "-5", 400},
        {"Engine.Speed", " 1", nullptr, nullptr, 400},  {"Engine.Speed", "0x10", nullptr, nullptr, 400},  {"OTHER/Engine.Speed", nullptr, nullptr, nullptr, 404},
        {"LOG1/Engine.Speed", "0", "0.05", "2", 200},
    };
    for (const Case &c : cases) {
        WebSeriesQuery q;
        if (*c.signal) q.signals = {c.signal};
        if (c.from) q.from = c.from, q.hasFrom = true;
        if (c.to) q.to = c.to, q.hasTo = true;
        if (c.points) q.points = c.points, q.hasPoints = true;
        WebAnswer a = WebSeriesAnswer(&store, q, 0);
        EXPECT_EQ(a.status, c.status) << c.signal << " " << (c.from ? c.from : "") << " " << a.body;
        if (c.status != 200) {
            EXPECT_NE(a.body.find("\"error\""), std::string::npos);
        }
    }
}

}  // namespace
