#include "ribexweb_history.h"

#include <math.h>

#include <algorithm>

namespace {

void AddToBucket(WebBucket *b, double t, double v) {
    if (b->count == 0 || v < b->minV) {
        b->minV = v;
        b->minT = t;
    }
    if (b->count == 0 || v > b->maxV) {
        b->maxV = v;
        b->maxT = t;
    }
    b->count++;
}

void MergeBucket(WebBucket *into, const WebBucket &b) {
    if (b.count == 0) return;
    if (into->count == 0) {
        *into = b;
        return;
    }
    if (b.minV < into->minV) {
        into->minV = b.minV;
        into->minT = b.minT;
    }
    if (b.maxV > into->maxV) {
        into->maxV = b.maxV;
        into->maxT = b.maxT;
    }
    into->count += b.count;
}

// Halves the summary's resolution: pairs of buckets become one.
void Coarsen(WebHistory *h) {
    std::vector<WebBucket> &s = h->summary;
    for (size_t i = 0; i < s.size() / 2; ++i) {
        WebBucket merged = s[2 * i];
        MergeBucket(&merged, s[2 * i + 1]);
        s[i] = merged;
    }
    for (size_t i = s.size() / 2; i < s.size(); ++i) s[i] = WebBucket();
    h->width *= 2;
}

void AddToSummary(WebHistory *h, double t, double v) {
    if (h->total == 0) h->origin = t;
    while (t >= h->origin + h->width * WEB_SUMMARY_BUCKETS) Coarsen(h);
    size_t i = (size_t)((t - h->origin) / h->width);
    if (i >= WEB_SUMMARY_BUCKETS) i = WEB_SUMMARY_BUCKETS - 1;
    AddToBucket(&h->summary[i], t, v);
}

// The ring's points in time order, as two spans.
struct RingSpans {
    const WebPoint *a;
    size_t na;
    const WebPoint *b;
    size_t nb;
};

RingSpans Spans(const WebHistory *h) {
    const WebPoint *p = h->ring.data();
    if (h->ring.size() < h->capacity) return {p, h->ring.size(), nullptr, 0};
    return {p + h->head, h->ring.size() - h->head, p, h->head};
}

const WebPoint &At(const RingSpans &s, size_t i) { return i < s.na ? s.a[i] : s.b[i - s.na]; }

size_t LowerBound(const RingSpans &s, double t) {
    size_t lo = 0, hi = s.na + s.nb;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (At(s, mid).t < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Appends the bucket's minimum and maximum in time order (one point when
// they are the same).
void EmitBucket(const WebBucket &b, std::vector<WebPoint> *out) {
    if (b.count == 0) return;
    if (b.minT == b.maxT && b.minV == b.maxV) {
        out->push_back({b.minT, b.minV});
    } else if (b.minT <= b.maxT) {
        out->push_back({b.minT, b.minV});
        out->push_back({b.maxT, b.maxV});
    } else {
        out->push_back({b.maxT, b.maxV});
        out->push_back({b.minT, b.minV});
    }
}

// Position in the ring of the i-th oldest point.
size_t Physical(const WebHistory *h, size_t i) {
    return h->ring.size() < h->capacity ? i : (h->head + i) % h->capacity;
}

// Cuts [first, end) of the ring into buckets columns of [from, to]: whole
// blocks that fall into one column at once, the rest point by point.
void QueryColumns(const WebHistory *h, size_t first, size_t end, double from, double to, size_t buckets,
                  std::vector<WebPoint> *out) {
    RingSpans s = Spans(h);
    double width = (to - from) / (double)buckets;
    auto column = [&](double t) {
        size_t k = width > 0 && t > from ? (size_t)((t - from) / width) : 0;
        return k >= buckets ? buckets - 1 : k;
    };
    WebBucket b = {};
    size_t current = 0;
    for (size_t i = first; i < end;) {
        size_t phys = Physical(h, i);
        if (phys % WEB_BLOCK_POINTS == 0 && i + WEB_BLOCK_POINTS <= end) {
            // The block's points are the next ones in time order: one write each since its reset.
            size_t k = column(At(s, i).t);
            if (k == column(At(s, i + WEB_BLOCK_POINTS - 1).t)) {
                if (k != current) {
                    EmitBucket(b, out);
                    b = WebBucket();
                    current = k;
                }
                MergeBucket(&b, h->blocks[phys / WEB_BLOCK_POINTS]);
                i += WEB_BLOCK_POINTS;
                continue;
            }
        }
        const WebPoint &p = At(s, i);
        size_t k = column(p.t);
        if (k != current) {
            EmitBucket(b, out);
            b = WebBucket();
            current = k;
        }
        AddToBucket(&b, p.t, p.v);
        ++i;
    }
    EmitBucket(b, out);
}

void QueryRaw(const WebHistory *h, double from, double to, size_t budget, std::vector<WebPoint> *out,
              bool *raw) {
    RingSpans s = Spans(h);
    size_t first = LowerBound(s, from), end = LowerBound(s, std::nextafter(to, INFINITY));
    size_t n = end > first ? end - first : 0;
    *raw = n <= budget;
    if (*raw) {
        for (size_t i = first; i < end; ++i) out->push_back(At(s, i));
        return;
    }
    QueryColumns(h, first, end, from, to, budget / 2, out);
}

// From the summary: its buckets that meet [from, to], merged into budget/2.
void QuerySummary(const WebHistory *h, double from, double to, size_t budget,
                  std::vector<WebPoint> *out) {
    size_t buckets = budget / 2;
    double width = (to - from) / (double)buckets;
    WebBucket b = {};
    size_t current = 0;
    for (size_t i = 0; i < h->summary.size(); ++i) {
        const WebBucket &s = h->summary[i];
        if (s.count == 0 || s.maxT < from || s.minT > to) continue;
        double t = std::max(from, std::min(s.minT, s.maxT));
        size_t k = width > 0 ? (size_t)((t - from) / width) : 0;
        if (k >= buckets) k = buckets - 1;
        if (k != current) {
            EmitBucket(b, out);
            b = WebBucket();
            current = k;
        }
        MergeBucket(&b, s);
    }
    EmitBucket(b, out);
}

}  // namespace

void WebHistoryInit(WebHistory *h, size_t capacity) {
    *h = WebHistory();
    capacity = (capacity + WEB_BLOCK_POINTS - 1) / WEB_BLOCK_POINTS * WEB_BLOCK_POINTS;
    h->capacity = capacity < WEB_BLOCK_POINTS ? WEB_BLOCK_POINTS : capacity;
    h->summary.assign(WEB_SUMMARY_BUCKETS, WebBucket());
}

void WebHistoryAdd(WebHistory *h, double t, double v) {
    if (h->total != 0 && t < h->lastT) t = h->lastT;
    AddToSummary(h, t, v);
    size_t phys;
    if (h->ring.size() < h->capacity) {
        phys = h->ring.size();
        h->ring.push_back({t, v});
    } else {
        phys = h->head;
        h->ring[h->head] = {t, v};
        h->head = (h->head + 1) % h->capacity;
    }
    size_t block = phys / WEB_BLOCK_POINTS;
    if (block >= h->blocks.size()) h->blocks.resize(block + 1);
    if (phys % WEB_BLOCK_POINTS == 0) h->blocks[block] = WebBucket();
    AddToBucket(&h->blocks[block], t, v);
    h->lastT = t;
    h->total++;
}

double WebHistoryOldestRaw(const WebHistory *h) {
    RingSpans s = Spans(h);
    return s.na + s.nb == 0 ? 0 : At(s, 0).t;
}

void WebHistoryQuery(const WebHistory *h, double from, double to, size_t budget,
                     std::vector<WebPoint> *out, bool *raw) {
    out->clear();
    *raw = true;
    if (budget < 2) budget = 2;
    if (h->total == 0 || to < from) return;
    // The ring answers when it still holds every point from `from` on.
    bool ringHasAll = h->total == h->ring.size() || from >= WebHistoryOldestRaw(h);
    if (ringHasAll) {
        QueryRaw(h, from, to, budget, out, raw);
        return;
    }
    *raw = false;
    QuerySummary(h, from, to, budget, out);
}

size_t WebHistoryBytes(const WebHistory *h) {
    return h->ring.capacity() * sizeof(WebPoint) +
           (h->blocks.capacity() + h->summary.capacity()) * sizeof(WebBucket);
}
