#include "canmon_signals.h"

#include "canmon_table.h"

namespace {

unsigned long long MessageKey(DWORD net, DWORD canId) { return (unsigned long long)net << 32 | canId; }

const CanDbMessage *FindMessage(const MonTable *t, DWORD net, DWORD canId) {
    if (net >= t->netNames.size()) return nullptr;
    const char *name = t->netNames[net].c_str();
    return CanDbSetFindFrame(t->databases, name, canId);
}

// The first signal row of the frame's message; adds the message's rows on
// its first frame. SIZE_MAX for an identifier no database knows (looked up
// once: the index remembers it with no rows).
size_t FirstRow(MonTable *t, DWORD net, DWORD canId) {
    unsigned long long key = MessageKey(net, canId);
    auto found = t->signalIndex.find(key);
    if (found != t->signalIndex.end()) return found->second;
    const CanDbMessage *msg = FindMessage(t, net, canId);
    size_t first = msg != nullptr && !msg->signals.empty() ? t->signals.size() : SIZE_MAX;
    if (msg != nullptr) {
        for (unsigned i = 0; i < msg->signals.size(); ++i) {
            MonSignalRow row = {};
            row.net = net;
            row.canId = canId;
            row.msg = msg;
            row.signal = i;
            t->signals.push_back(row);
        }
        if (t->values.size() < msg->signals.size()) t->values.resize(msg->signals.size());
    }
    t->signalIndex.emplace(key, first);
    return first;
}

void Update(MonSignalRow *row, const CanDbValue &v) {
    if (row->count == 0) {
        row->minimum = row->maximum = v.physical;
    } else {
        if (v.physical != row->value) row->changed = true;
        if (v.physical < row->minimum) row->minimum = v.physical;
        if (v.physical > row->maximum) row->maximum = v.physical;
    }
    row->value = v.physical;
    row->label = v.label;
    row->count++;
}

}  // namespace

void MonTableSetDatabases(MonTable *t, const CanDbSet *databases, const std::vector<std::string> &netNames) {
    AcquireSRWLockExclusive(&t->lock);
    t->databases = databases;
    t->netNames = netNames;
    t->signals.clear();
    t->signalIndex.clear();
    ReleaseSRWLockExclusive(&t->lock);
}

void MonSignalsAdd(MonTable *t, DWORD net, const RxMsg *msg) {
    if (msg->can.id & RX_REMOTE_FRAME_FLAG) return;  // no data to decode
    size_t first = FirstRow(t, net, msg->can.id);
    if (first == SIZE_MAX) return;
    const CanDbMessage *m = t->signals[first].msg;
    DWORD length = msg->length > 8 ? 8 : msg->length;
    CanDbDecode(m, msg->can.data, length, t->values.data(), t->values.size());
    for (size_t i = 0; i < m->signals.size(); ++i)
        if (t->values[i].present) Update(&t->signals[first + i], t->values[i]);
}

void MonSignalsKeepRowsOf(MonTable *t) {
    std::vector<MonSignalRow> kept;
    for (const MonSignalRow &row : t->signals)
        if (t->index.count(MessageKey(row.net, row.canId)) != 0) kept.push_back(row);
    t->signals.swap(kept);
    t->signalIndex.clear();
    for (size_t i = 0; i < t->signals.size(); ++i)
        t->signalIndex.emplace(MessageKey(t->signals[i].net, t->signals[i].canId), i);  // first wins
}
