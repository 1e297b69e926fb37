#include "ribexweb_store.h"

#include <string.h>

#include <algorithm>

namespace {

unsigned long long MessageKey(DWORD source, DWORD canId) {
    return (unsigned long long)source << 32 | canId;
}

const CanDbMessage *FindMessage(const WebStore *s, DWORD source, DWORD canId) {
    const char *net = s->sources[source].name.c_str();
    return CanDbSetFindFrame(s->databases, net, canId);
}

// The first signal of the message of canId on source, adding its signals
// on its first frame; SIZE_MAX when no database knows it.
size_t FirstSignal(WebStore *s, DWORD source, DWORD canId) {
    unsigned long long key = MessageKey(source, canId);
    auto found = s->firstSignal.find(key);
    if (found != s->firstSignal.end()) return found->second;
    const CanDbMessage *msg = s->databases != nullptr ? FindMessage(s, source, canId) : nullptr;
    size_t first = msg != nullptr && !msg->signals.empty() ? s->signals.size() : SIZE_MAX;
    if (msg != nullptr) {
        for (unsigned i = 0; i < msg->signals.size(); ++i) {
            WebSignal sig;
            sig.source = source;
            sig.canId = canId;
            sig.msg = msg;
            sig.index = i;
            sig.name = msg->name + "." + msg->signals[i].name;
            sig.count = 0;
            sig.value = 0;
            sig.t = 0;
            sig.label = nullptr;
            WebHistoryInit(&sig.history, s->historyCapacity);
            s->signals.push_back(std::move(sig));
        }
        if (s->values.size() < msg->signals.size()) s->values.resize(msg->signals.size());
    }
    s->firstSignal.emplace(key, first);
    return first;
}

void NoteStamp(WebSource *src, unsigned long long stamp, ULONGLONG nowMs) {
    if (!src->haveOrigin) {
        src->origin = stamp;
        src->haveOrigin = true;
    }
    if (stamp > src->lastStamp) src->lastStamp = stamp;
    if (!src->live) return;
    long long offset = (long long)stamp - (long long)(nowMs * 10000ull);
    if (!src->haveClock || offset > src->clockOffset) src->clockOffset = offset;
    src->haveClock = true;
    MonRateAdd(&src->window, stamp);
}

void DecodeFrame(WebStore *s, DWORD source, const RxMsg *msg) {
    if (msg->can.id & RX_REMOTE_FRAME_FLAG) return;
    size_t first = FirstSignal(s, source, msg->can.id);
    if (first == SIZE_MAX) return;
    const CanDbMessage *m = s->signals[first].msg;
    if (!m->decodable) return;
    DWORD length = msg->length > 8 ? 8 : msg->length;
    CanDbDecode(m, msg->can.data, length, s->values.data(), s->values.size());
    const WebSource &src = s->sources[source];
    double t = (double)(msg->timeStamp - src.origin) / 1e7;
    for (size_t i = 0; i < m->signals.size(); ++i) {
        const CanDbValue &v = s->values[i];
        if (!v.present) continue;
        WebSignal *sig = &s->signals[first + i];
        sig->value = v.physical;
        sig->label = v.label;
        sig->t = t;
        sig->count++;
        WebHistoryAdd(&sig->history, t, v.physical);
    }
}

void AddLocked(WebStore *s, DWORD source, const RibexFrame *frames, DWORD n, ULONGLONG nowMs) {
    WebSource *src = &s->sources[source];
    for (DWORD i = 0; i < n; ++i) {
        if (frames[i].errorCode != 0) continue;
        NoteStamp(src, frames[i].msg.timeStamp, nowMs);
        DecodeFrame(s, source, &frames[i].msg);
    }
}

void RecordToFrame(const CanLogRecord &r, RibexFrame *f) {
    memset(f, 0, sizeof(*f));
    f->msg.timeStamp = r.timeNs / 100;
    f->msg.length = r.length > 8 ? 8 : r.length;
    f->msg.can.id = r.id | (r.remote ? RX_REMOTE_FRAME_FLAG : 0);
    if (!r.remote) memcpy(f->msg.can.data, r.data, 8);
    if (r.isError) f->errorCode = r.errorCode != 0 ? r.errorCode : ERROR_IO_DEVICE;
}

}  // namespace

void WebStoreInit(WebStore *s, const std::vector<WebSource> &sources, const CanDbSet *databases,
                  size_t historyCapacity) {
    InitializeSRWLock(&s->lock);
    MonTableInit(&s->table, (DWORD)sources.size());
    s->sources = sources;
    s->databases = databases;
    s->historyCapacity = historyCapacity;
}

void WebStoreAddSignals(WebStore *s, DWORD source, const RibexFrame *frames, DWORD n, ULONGLONG nowMs) {
    AcquireSRWLockExclusive(&s->lock);
    AddLocked(s, source, frames, n, nowMs);
    ReleaseSRWLockExclusive(&s->lock);
}

void WebStoreAddRecords(WebStore *s, DWORD source, const CanLogRecord *records, DWORD n) {
    RibexFrame frames[256];
    for (DWORD done = 0; done < n;) {
        DWORD k = std::min<DWORD>(n - done, 256);
        for (DWORD i = 0; i < k; ++i) RecordToFrame(records[done + i], &frames[i]);
        MonTableAdd(&s->table, source, frames, k, 0, 0);
        WebStoreAddSignals(s, source, frames, k, 0);
        done += k;
    }
}

void WebStoreLogProgress(WebStore *s, DWORD source, unsigned long long position, bool loaded,
                         const std::string &stopText) {
    AcquireSRWLockExclusive(&s->lock);
    WebSource *src = &s->sources[source];
    src->logPosition = position;
    src->loaded = loaded;
    src->stopText = stopText;
    ReleaseSRWLockExclusive(&s->lock);
}

double WebSourceNow(const WebSource *src, ULONGLONG nowMs) {
    if (!src->haveOrigin) return 0;
    unsigned long long now = src->lastStamp;
    if (src->live && src->haveClock) {
        long long clock = (long long)(nowMs * 10000ull) + src->clockOffset;
        if (clock > (long long)now) now = (unsigned long long)clock;
    }
    return (double)(now - src->origin) / 1e7;
}

std::vector<WebSource> WebStoreSources(WebStore *s) {
    AcquireSRWLockShared(&s->lock);
    std::vector<WebSource> copy = s->sources;
    ReleaseSRWLockShared(&s->lock);
    return copy;
}

size_t WebStoreFindSignal(const WebStore *s, const std::string &name) {
    size_t slash = name.find('/');
    std::string net = slash == std::string::npos ? "" : name.substr(0, slash);
    std::string plain = slash == std::string::npos ? name : name.substr(slash + 1);
    size_t found = SIZE_MAX;
    for (size_t i = 0; i < s->signals.size(); ++i) {
        const WebSignal &sig = s->signals[i];
        if (sig.name != plain) continue;
        if (!net.empty()) {
            if (s->sources[sig.source].name == net) return i;
            continue;
        }
        if (found != SIZE_MAX) return SIZE_MAX;  // on several sources: NET/ needed
        found = i;
    }
    return found;
}

std::string WebStoreSignalKey(const WebStore *s, size_t i) {
    const WebSignal &sig = s->signals[i];
    for (size_t j = 0; j < s->signals.size(); ++j)
        if (j != i && s->signals[j].name == sig.name)
            return s->sources[sig.source].name + "/" + sig.name;
    return sig.name;
}
