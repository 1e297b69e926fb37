#include "canmon_rate.h"

void MonRateAdd(MonRateWindow *w, unsigned long long stamp) {
    unsigned long long bucket = stamp / MON_RATE_BUCKET_100NS;
    if (bucket > w->newestBucket) {
        // The buckets between the newest and this one had no frames.
        unsigned long long gap = bucket - w->newestBucket;
        if (gap > MON_RATE_BUCKETS) gap = MON_RATE_BUCKETS;
        for (unsigned long long b = bucket - gap + 1; b <= bucket; ++b) w->counts[b % MON_RATE_BUCKETS] = 0;
        w->newestBucket = bucket;
    } else if (w->newestBucket - bucket >= MON_RATE_BUCKETS) {
        return;
    }
    w->counts[bucket % MON_RATE_BUCKETS]++;
}

double MonRateAt(const MonRateWindow *w, unsigned long long now) {
    unsigned long long nowBucket = now / MON_RATE_BUCKET_100NS;
    if (nowBucket < w->newestBucket) nowBucket = w->newestBucket;  // a stamp ahead of the clock
    unsigned long long frames = 0;
    for (unsigned long long age = 0; age < MON_RATE_BUCKETS; ++age) {
        if (age > nowBucket) break;
        unsigned long long b = nowBucket - age;
        // Buckets after the newest frame are empty; those too far behind it
        // hold newer frames in their slot.
        if (b > w->newestBucket || w->newestBucket - b >= MON_RATE_BUCKETS) continue;
        frames += w->counts[b % MON_RATE_BUCKETS];
    }
    unsigned long long into = now >= nowBucket * MON_RATE_BUCKET_100NS ? now - nowBucket * MON_RATE_BUCKET_100NS : 0;
    double span = (double)((MON_RATE_BUCKETS - 1) * MON_RATE_BUCKET_100NS + into);
    return (double)frames * 1e7 / span;
}
