#include "canmon_table.h"

#include <math.h>
#include <string.h>

#include "can_bus_load.h"

namespace {

unsigned long long RowKey(DWORD net, DWORD canId) { return (unsigned long long)net << 32 | canId; }

MonRow *FindOrAddRow(MonTable *t, DWORD net, DWORD canId) {
    unsigned long long key = RowKey(net, canId);
    auto found = t->index.find(key);
    if (found != t->index.end()) return &t->rows[found->second];
    MonRow row;
    memset(&row, 0, sizeof(row));
    row.net = net;
    row.canId = canId;
    t->index.emplace(key, t->rows.size());
    t->rows.push_back(row);
    return &t->rows.back();
}

void AddFrame(MonRow *row, const RxMsg *msg, ULONGLONG nowMs) {
    unsigned long long stamp = msg->timeStamp;
    if (row->count == 0) {
        row->firstStamp = stamp;
    } else {
        // Welford's running mean and variance of the periods.
        double period = stamp >= row->lastStamp ? (double)(stamp - row->lastStamp) : 0.0;
        double periods = (double)row->count;  // periods so far, this one included
        double delta = period - row->periodMean;
        row->periodMean += delta / periods;
        row->periodM2 += delta * (period - row->periodMean);
    }
    DWORD length = msg->length > 8 ? 8 : msg->length;
    if (row->count != 0) {
        for (DWORD i = 0; i < 8; ++i) {
            bool was = i < row->length, is = i < length;
            if (was != is || (is && row->data[i] != msg->can.data[i]))
                row->changedMask |= (BYTE)(1u << i);
        }
    }
    memcpy(row->data, msg->can.data, 8);
    row->length = length;
    row->lastStamp = stamp;
    row->lastSeenMs = nowMs;
    row->count++;
    MonRateAdd(&row->window, stamp);
}

void AddToNet(MonNetStats *net, const RibexFrame *f, ULONGLONG nowMs) {
    if (f->errorCode != 0) {
        net->errorEntries++;
        net->lastError = f->errorCode;
        return;
    }
    if (net->frames == 0) net->firstStamp = f->msg.timeStamp;
    net->lastStamp = f->msg.timeStamp;
    net->frames++;
    long long offset = (long long)f->msg.timeStamp - (long long)(nowMs * 10000ull);
    if (!net->haveClock || offset > net->clockOffset) net->clockOffset = offset;
    net->haveClock = true;
    net->busBits += WorstCaseFrameBits(&f->msg);
}

// Now on the net's clock, in 100 ns units; never before its last frame.
unsigned long long NetNow(const MonNetStats *net, ULONGLONG nowMs) {
    if (!net->haveClock) return net->lastStamp;
    long long now = (long long)(nowMs * 10000ull) + net->clockOffset;
    return now > (long long)net->lastStamp ? (unsigned long long)now : net->lastStamp;
}

void RebuildIndex(MonTable *t) {
    t->index.clear();
    for (size_t i = 0; i < t->rows.size(); ++i)
        t->index.emplace(RowKey(t->rows[i].net, t->rows[i].canId), i);
}

}  // namespace

void MonTableInit(MonTable *t, DWORD noNets) {
    InitializeSRWLock(&t->lock);
    t->rows.clear();
    t->rows.reserve(256);
    t->index.clear();
    t->nets.assign(noNets, MonNetStats());
}

void MonTableAdd(MonTable *t, DWORD net, const RibexFrame *frames, DWORD n, DWORD lost,
                 ULONGLONG nowMs) {
    AcquireSRWLockExclusive(&t->lock);
    MonNetStats *pNet = &t->nets[net];
    pNet->lost += lost;
    for (DWORD i = 0; i < n; ++i) {
        const RibexFrame *f = &frames[i];
        AddToNet(pNet, f, nowMs);
        if (f->errorCode != 0) continue;
        AddFrame(FindOrAddRow(t, net, f->msg.can.id), &f->msg, nowMs);
        if (t->databases != nullptr) MonSignalsAdd(t, net, &f->msg);
    }
    ReleaseSRWLockExclusive(&t->lock);
}

void MonTableServerState(MonTable *t, DWORD net, bool gone) {
    AcquireSRWLockExclusive(&t->lock);
    MonNetStats *pNet = &t->nets[net];
    if (!gone) pNet->reopens++;
    pNet->serverGone = gone;
    ReleaseSRWLockExclusive(&t->lock);
}

void MonTableSnapshot(MonTable *t, ULONGLONG nowMs, MonSnapshot *snap) {
    AcquireSRWLockExclusive(&t->lock);
    snap->rows = t->rows;
    snap->nets = t->nets;
    snap->signals = t->signals;
    for (MonRow &row : t->rows) row.changedMask = 0;
    for (MonSignalRow &row : t->signals) row.changed = false;
    ReleaseSRWLockExclusive(&t->lock);
    snap->takenMs = nowMs;
    for (MonRow &row : snap->rows)
        row.rate = MonRateAt(&row.window, NetNow(&snap->nets[row.net], nowMs));
}

void MonTableClear(MonTable *t) {
    AcquireSRWLockExclusive(&t->lock);
    t->rows.clear();
    t->index.clear();
    t->signals.clear();
    t->signalIndex.clear();
    for (MonNetStats &net : t->nets) {
        bool gone = net.serverGone;  // a state, not a statistic
        net = MonNetStats();
        net.serverGone = gone;
    }
    ReleaseSRWLockExclusive(&t->lock);
}

void MonTableDropStale(MonTable *t, ULONGLONG nowMs, ULONGLONG ageMs) {
    AcquireSRWLockExclusive(&t->lock);
    size_t kept = 0;
    for (size_t i = 0; i < t->rows.size(); ++i)
        if (nowMs - t->rows[i].lastSeenMs <= ageMs) t->rows[kept++] = t->rows[i];
    if (kept != t->rows.size()) {
        t->rows.resize(kept);
        RebuildIndex(t);
        MonSignalsKeepRowsOf(t);
    }
    ReleaseSRWLockExclusive(&t->lock);
}

double MonRowRate(const MonRow *row) { return row->rate; }

double MonRowPeriodMs(const MonRow *row) { return row->count < 2 ? 0 : row->periodMean / 1e4; }

double MonRowJitterMs(const MonRow *row) {
    if (row->count < 3) return 0;
    return sqrt(row->periodM2 / (double)(row->count - 1)) / 1e4;
}

double MonNetSeconds(const MonNetStats *net) {
    return net->lastStamp > net->firstStamp ? (double)(net->lastStamp - net->firstStamp) / 1e7 : 0;
}

double MonNetRate(const MonNetStats *net) {
    double seconds = MonNetSeconds(net);
    return net->frames < 2 || seconds <= 0 ? 0 : (double)(net->frames - 1) / seconds;
}
