// The rate of an identifier as what the last seconds carried: the frames'
// own time stamps counted in 100 ms buckets over a sliding window of two
// seconds. An identifier that stops falls to 0 once its frames leave the
// window; a short burst long ago no longer shows as a high rate.
#pragma once

#include <windows.h>

#define MON_RATE_BUCKETS 20                 // 20 x 100 ms
#define MON_RATE_BUCKET_100NS 1000000ull    // 100 ms in the stamps' 100 ns units

struct MonRateWindow {
    unsigned long long newestBucket;  // stamp / MON_RATE_BUCKET_100NS of the latest frame
    DWORD counts[MON_RATE_BUCKETS];   // frames per bucket, index bucket % MON_RATE_BUCKETS
};

// Counts one frame of time stamp stamp (100 ns). Frames older than the
// window behind the newest one are not counted.
void MonRateAdd(MonRateWindow *w, unsigned long long stamp);

// Frames per second in the window that ends at now (the net's clock, 100 ns):
// the frames of the 19 buckets before now's and of now's own, over the time
// they span. At most one frame per window off for steady traffic.
double MonRateAt(const MonRateWindow *w, unsigned long long now);
