#include "ribexweb_api.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include "can_bus_load.h"
#include "can_frame_text.h"

using nlohmann::json;

namespace {

std::string Hex(const BYTE *data, DWORD length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (DWORD i = 0; i < length && i < 8; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

// A JSON number, or null for what JSON cannot carry.
json Number(double v) { return isfinite(v) ? json(v) : json(nullptr); }

json SourceJson(const WebSource &src, const MonNetStats &net, DWORD bitRate, ULONGLONG nowMs) {
    double seconds = MonNetSeconds(&net);
    double fps = src.live ? MonRateAt(&src.window, (unsigned long long)((long long)(nowMs * 10000ull) +
                                                                          src.clockOffset))
                          : MonNetRate(&net);
    json j = {{"name", src.name},
              {"live", src.live},
              {"frames", net.frames},
              {"fps", Number(fps)},
              {"load", Number(BusLoadPercent(net.busBits, seconds, bitRate))},
              {"lost", net.lost},
              {"errors", net.errorEntries},
              {"now", Number(WebSourceNow(&src, nowMs))},
              {"serverGone", net.serverGone},
              {"reopens", net.reopens}};
    if (!src.live) {
        j["file"] = src.file;
        j["loaded"] = src.loaded;
        j["progress"] = src.logBytes != 0 ? (double)src.logPosition / (double)src.logBytes : 1.0;
        if (!src.stopText.empty()) j["stop"] = src.stopText;
    }
    return j;
}

// A log has no "now" but its end: rates over the whole log, ages from its end.
json RowJson(const MonRow &row, const WebSource &src, ULONGLONG nowMs) {
    bool rtr = (row.canId & RX_REMOTE_FRAME_FLAG) != 0;
    DWORD id = row.canId & ~RX_REMOTE_FRAME_FLAG;
    double rate = MonRowRate(&row);
    double ageMs = (double)(nowMs - row.lastSeenMs);
    if (!src.live) {
        double span = (double)(row.lastStamp - row.firstStamp) / 1e7;
        rate = row.count > 1 && span > 0 ? (double)(row.count - 1) / span : 0;
        ageMs = (double)(src.lastStamp - row.lastStamp) / 1e4;
    }
    return {{"net", src.name},
            {"id", id},
            {"ext", CanIdIsExtended(id) != 0},
            {"rtr", rtr},
            {"count", row.count},
            {"rate", Number(rate)},
            {"period", Number(MonRowPeriodMs(&row))},
            {"jitter", Number(MonRowJitterMs(&row))},
            {"age", Number(ageMs)},
            {"dlc", row.length},
            {"data", rtr ? std::string() : Hex(row.data, row.length)}};
}

json SignalJson(const WebStore *s, const WebSignal &sig) {
    const CanDbSignal &d = sig.msg->signals[sig.index];
    return {{"net", s->sources[sig.source].name},
            {"value", Number(sig.value)},
            {"unit", d.unit},
            {"t", Number(sig.t)},
            {"label", sig.label != nullptr ? json(sig.label) : json(nullptr)},
            {"count", sig.count}};
}

std::string Dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// A number that is all of text, finite, of a sane length.
bool ParseSeconds(const std::string &text, double *value) {
    if (text.empty() || text.size() > 32) return false;
    char first = text[0];  // strtod would skip blanks and take "inf", "nan", hex
    if (!(first == '-' || first == '.' || (first >= '0' && first <= '9'))) return false;
    if (text.find_first_of("xXnN") != std::string::npos) return false;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !isfinite(v)) return false;
    *value = v;
    return true;
}

bool ParsePoints(const std::string &text, size_t *value) {
    if (text.empty() || text.size() > 6) return false;
    size_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (size_t)(c - '0');
    }
    if (v < 2 || v > WEB_MAX_SERIES_POINTS) return false;
    *value = v;
    return true;
}

}  // namespace

WebAnswer WebErrorAnswer(int status, const std::string &text) {
    return {status, Dump(json{{"error", text}})};
}

WebAnswer WebSnapshotAnswer(WebStore *s, DWORD bitRate, ULONGLONG nowMs) {
    MonSnapshot snap;
    MonTableSnapshot(&s->table, nowMs, &snap);
    json sources = json::array(), ids = json::array(), signals = json::object();
    AcquireSRWLockShared(&s->lock);
    for (size_t i = 0; i < s->sources.size(); ++i)
        sources.push_back(SourceJson(s->sources[i], snap.nets[i], bitRate, nowMs));
    for (const MonRow &row : snap.rows) ids.push_back(RowJson(row, s->sources[row.net], nowMs));
    for (size_t i = 0; i < s->signals.size(); ++i)
        if (s->signals[i].count != 0) signals[WebStoreSignalKey(s, i)] = SignalJson(s, s->signals[i]);
    ReleaseSRWLockShared(&s->lock);
    return {200, Dump(json{{"sources", sources}, {"ids", ids}, {"signals", signals}})};
}

WebAnswer WebSignalsAnswer(WebStore *s) {
    json sources = json::array();
    const std::vector<WebSource> copy = WebStoreSources(s);
    for (const WebSource &src : copy) {
        json messages = json::array();
        if (s->databases != nullptr) {
            // A source's own file, or else the files for every source.
            bool own = false;
            for (const CanDbSetEntry &e : s->databases->entries) own = own || e.net == src.name;
            for (const CanDbSetEntry &e : s->databases->entries) {
                if (e.net != (own ? src.name : std::string())) continue;
                for (const CanDbMessage &m : e.db.messages) {
                    json sigs = json::array();
                    for (const CanDbSignal &sig : m.signals)
                        sigs.push_back({{"name", sig.name},
                                        {"unit", sig.unit},
                                        {"min", Number(sig.minimum)},
                                        {"max", Number(sig.maximum)}});
                    messages.push_back({{"name", m.name}, {"id", m.id}, {"ext", m.ext}, {"signals", sigs}});
                }
            }
        }
        sources.push_back({{"name", src.name}, {"live", src.live}, {"messages", messages}});
    }
    return {200, Dump(json{{"sources", sources}})};
}

WebAnswer WebSeriesAnswer(WebStore *s, const WebSeriesQuery &q, ULONGLONG nowMs) {
    if (q.signals.empty()) return WebErrorAnswer(400, "signal=MSG.SIG is required");
    if (q.signals.size() > WEB_MAX_SERIES_SIGNALS)
        return WebErrorAnswer(400, "at most " + std::to_string(WEB_MAX_SERIES_SIGNALS) + " signals");
    double from = 0, to = 0;
    size_t points = WEB_DEFAULT_SERIES_POINTS;
    if (q.hasFrom && !ParseSeconds(q.from, &from)) return WebErrorAnswer(400, "from must be seconds");
    if (q.hasTo && !ParseSeconds(q.to, &to)) return WebErrorAnswer(400, "to must be seconds");
    if (q.hasPoints && !ParsePoints(q.points, &points))
        return WebErrorAnswer(400, "points must be 2.." + std::to_string(WEB_MAX_SERIES_POINTS));
    if (q.hasFrom && q.hasTo && to < from) return WebErrorAnswer(400, "to is before from");

    // Points are copied out under the lock; the JSON is made after it, so
    // that the readers wait only for the copy.
    struct Found {
        std::string key, net, unit;
        double start, end, now;
        unsigned long long count;
        bool raw;
        std::vector<WebPoint> points;
    };
    std::vector<Found> found(q.signals.size());
    AcquireSRWLockShared(&s->lock);
    for (size_t k = 0; k < q.signals.size(); ++k) {
        size_t i = WebStoreFindSignal(s, q.signals[k]);
        if (i == SIZE_MAX) {
            ReleaseSRWLockShared(&s->lock);
            return WebErrorAnswer(404, "no signal " + q.signals[k] +
                                           " (yet): MSG.SIG, or NET/MSG.SIG when several sources have it");
        }
        const WebSignal &sig = s->signals[i];
        const WebSource &src = s->sources[sig.source];
        Found &f = found[k];
        f.key = WebStoreSignalKey(s, i);
        f.net = src.name;
        f.unit = sig.msg->signals[sig.index].unit;
        f.now = WebSourceNow(&src, nowMs);
        f.end = q.hasTo ? to : f.now;
        f.start = q.hasFrom ? from : 0;
        f.count = sig.history.total;
        WebHistoryQuery(&sig.history, f.start, f.end, points, &f.points, &f.raw);
    }
    ReleaseSRWLockShared(&s->lock);

    json series = json::array();
    for (const Found &f : found) {
        json t = json::array(), v = json::array();
        for (const WebPoint &p : f.points) {
            t.push_back(p.t);
            v.push_back(Number(p.v));
        }
        series.push_back({{"signal", f.key},
                          {"net", f.net},
                          {"unit", f.unit},
                          {"from", f.start},
                          {"to", f.end},
                          {"now", Number(f.now)},
                          {"count", f.count},
                          {"raw", f.raw},
                          {"t", t},
                          {"v", v}});
    }
    return {200, Dump(json{{"series", series}})};
}
