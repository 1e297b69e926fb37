// The history of one signal in bounded memory: the latest points as they
// came (a ring), and a summary of the whole time since the first point as
// minimum and maximum per time bucket, the buckets doubling in width as
// time goes on. A range of any length is answered with at most a given
// number of points: as they came when they fit, otherwise the minimum and
// the maximum of each of budget/2 buckets, in time order.
#pragma once

#include <stddef.h>

#include <vector>

#define WEB_BLOCK_POINTS 64u  // the ring's points are also summed up in blocks of this many
#define WEB_SUMMARY_BUCKETS 4096u
#define WEB_SUMMARY_FIRST_WIDTH 0.001  // seconds

struct WebPoint {
    double t;  // seconds on the source's clock, from its first frame
    double v;
};

struct WebBucket {
    double minV, maxV;
    double minT, maxT;  // when the minimum and the maximum were
    unsigned long long count;
};

struct WebHistory {
    std::vector<WebPoint> ring;  // grows up to capacity, then wraps
    // Minimum and maximum of ring[i * WEB_BLOCK_POINTS ...] (a multiple of
    // it is the capacity), so that a long range is cut into columns without
    // a look at every point.
    std::vector<WebBucket> blocks;
    size_t capacity = 0;
    size_t head = 0;           // next slot to write once the ring is full
    unsigned long long total = 0;  // points ever added
    double lastT = 0;
    // The summary: bucket i covers [origin + i * width, origin + (i + 1) * width).
    std::vector<WebBucket> summary;
    double origin = 0;
    double width = WEB_SUMMARY_FIRST_WIDTH;
};

void WebHistoryInit(WebHistory *h, size_t capacity);

// Adds a point; a time before the last one is taken as the last one, so
// that the history stays in order.
void WebHistoryAdd(WebHistory *h, double t, double v);

// The time of the oldest point the ring holds (0 when empty).
double WebHistoryOldestRaw(const WebHistory *h);

// The points in [from, to], at most budget of them (budget >= 2); *raw
// tells whether they are the points as they came.
void WebHistoryQuery(const WebHistory *h, double from, double to, size_t budget,
                     std::vector<WebPoint> *out, bool *raw);

// Bytes the history holds.
size_t WebHistoryBytes(const WebHistory *h);
