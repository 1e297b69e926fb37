#include "canmon_view.h"

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>

#include "can_bus_load.h"
#include "can_frame_text.h"

namespace {

const wchar_t kMarkOn[] = L"\x1b[1;30;43m";  // changed byte: black on yellow
const wchar_t kHeaderOn[] = L"\x1b[1;36m";   // net header: bold cyan
const wchar_t kStyleOff[] = L"\x1b[0m";

unsigned long long Key(const MonRow *row) {
    return (unsigned long long)row->net << 32 | row->canId;
}

DWORD BareId(DWORD canId) { return canId & ~RX_REMOTE_FRAME_FLAG; }
bool IsExtended(DWORD canId) { return CanIdIsExtended(canId) != 0; }
bool IsRemote(DWORD canId) { return (canId & RX_REMOTE_FRAME_FLAG) != 0; }

std::wstring Format(const wchar_t *format, ...) {
    wchar_t text[512];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(text, 511, format, args);
    va_end(args);
    text[n < 0 ? 511 : n] = 0;
    return text;
}

bool IdBefore(const MonRow &a, const MonRow &b) {
    if (BareId(a.canId) != BareId(b.canId)) return BareId(a.canId) < BareId(b.canId);
    return a.canId < b.canId;  // the data frames before the remote ones
}

std::wstring DataText(const MonRow &row, BYTE marked, bool styled) {
    if (IsRemote(row.canId)) return Format(L"remote, length %lu", row.length);
    std::wstring text;
    for (DWORD i = 0; i < row.length; ++i) {
        bool changed = (marked >> i) & 1;
        wchar_t hex[4];
        swprintf(hex, 4, L"%02X", row.data[i]);
        if (styled) {
            if (changed) text += kMarkOn;
            text += hex;
            if (changed) text += kStyleOff;
            text += L' ';
        } else {
            text += hex;
            text += changed ? L'*' : L' ';
        }
    }
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

std::wstring RowText(const MonRow &row, const std::wstring &net, size_t netWidth, BYTE marked,
                     ULONGLONG nowMs, bool styled) {
    const wchar_t *type = IsExtended(row.canId) ? (IsRemote(row.canId) ? L"ext rtr" : L"ext")
                                                : (IsRemote(row.canId) ? L"std rtr" : L"std");
    wchar_t id[12];
    swprintf(id, 12, IsExtended(row.canId) ? L"%08lX" : L"%03lX", BareId(row.canId));
    double age = nowMs >= row.lastSeenMs ? (double)(nowMs - row.lastSeenMs) / 1000.0 : 0.0;
    return Format(L"%-*ls %-8ls %-7ls %10llu %9.1f %10.3f %10.3f %7.1f  ", (int)netWidth,
                  net.c_str(), id, type, row.count, MonRowRate(&row), MonRowPeriodMs(&row),
                  MonRowJitterMs(&row), age) +
           DataText(row, marked, styled);
}

std::wstring NetHeader(const MonNetStats &net, const std::wstring &name, DWORD bitRate,
                       bool styled) {
    double load = BusLoadPercent(net.busBits, MonNetSeconds(&net), bitRate);
    std::wstring text = Format(
        L"%ls: %.1f frames/s, bus load %.2f%% at %lu bit/s, %llu lost, "
        L"%llu error entries, %llu frames",
        name.c_str(), MonNetRate(&net), load, bitRate, net.lost, net.errorEntries, net.frames);
    if (net.errorEntries != 0) text += Format(L" (last error %lu)", net.lastError);
    if (net.serverGone) text += L"; SERVER GONE, reopening the net";
    if (net.reopens != 0) text += Format(L"; reopens after the server went away: %llu", net.reopens);
    return styled ? kHeaderOn + text + kStyleOff : L"== " + text;
}


std::wstring Wide(const std::string &utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring text((size_t)n - 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &text[0], n);
    return text;
}

std::wstring ValueText(const MonSignalRow &row, bool marked, bool styled) {
    std::wstring text = Format(L"%.10g", row.value);
    if (row.label != nullptr) text += L" \"" + Wide(row.label) + L"\"";
    if (styled) return marked ? kMarkOn + text + kStyleOff : text;
    return marked ? text + L"*" : text;
}

std::wstring SignalText(const MonSignalRow &row, const MonRow *message, const std::wstring &net,
                        size_t netWidth, bool marked, bool styled) {
    const CanDbSignal &sig = row.msg->signals[row.signal];
    wchar_t id[12];
    swprintf(id, 12, IsExtended(row.canId) ? L"%08lX" : L"%03lX", BareId(row.canId));
    std::wstring value = ValueText(row, marked, styled);
    // The colour sequences take no room on the screen.
    size_t shown = value.size() - (styled && marked ? wcslen(kMarkOn) + wcslen(kStyleOff) : 0);
    std::wstring pad(shown < 17 ? 17 - shown : 1, L' ');
    return Format(L"%-*ls %-8ls %-14ls %-18ls ", (int)netWidth, net.c_str(), id,
                  Wide(row.msg->name).c_str(), Wide(sig.name).c_str()) +
           value + pad +
           Format(L"%-6ls %10.6g %10.6g %9.1f", Wide(sig.unit).c_str(), row.minimum, row.maximum,
                  message != nullptr ? MonRowRate(message) : 0.0);
}

// The signal rows shown, after the filters, in the order of the sort: by
// identifier and place in the message, or by their message's rate or age.
std::vector<size_t> OrderSignals(const MonSnapshot *snap, const MonViewSettings *s,
                                 const std::unordered_map<unsigned long long, const MonRow *> &rows) {
    std::vector<size_t> order;
    for (size_t i = 0; i < snap->signals.size(); ++i)
        if (snap->signals[i].count != 0 &&
            CanIdPassesFilters(s->filters.data(), (DWORD)s->filters.size(), snap->signals[i].canId))
            order.push_back(i);
    auto messageOf = [&](const MonSignalRow &r) -> const MonRow * {
        auto found = rows.find((unsigned long long)r.net << 32 | r.canId);
        return found == rows.end() ? nullptr : found->second;
    };
    const std::vector<MonSignalRow> &sig = snap->signals;
    std::stable_sort(order.begin(), order.end(), [&](size_t ia, size_t ib) {
        const MonSignalRow &a = sig[ia], &b = sig[ib];
        if (a.net != b.net) return a.net < b.net;
        const MonRow *ma = messageOf(a), *mb = messageOf(b);
        if (ma != nullptr && mb != nullptr && a.canId != b.canId) {
            if (s->sort == MonSort::Rate && MonRowRate(ma) != MonRowRate(mb))
                return MonRowRate(ma) > MonRowRate(mb);
            if (s->sort == MonSort::Age && ma->lastSeenMs != mb->lastSeenMs)
                return ma->lastSeenMs > mb->lastSeenMs;
        }
        if (a.canId != b.canId) return BareId(a.canId) < BareId(b.canId);
        return a.signal < b.signal;
    });
    return order;
}

void BuildSignalLines(const MonSnapshot *snap, const MonViewSettings *s, const MonMarks *marks,
                      size_t netWidth, std::vector<std::wstring> *lines, size_t *shownRows) {
    lines->push_back(Format(L"%-*ls %-8ls %-14ls %-18ls %-17ls%-6ls %10ls %10ls %9ls", (int)netWidth,
                            L"NET", L"ID", L"MESSAGE", L"SIGNAL", L"VALUE", L"UNIT", L"MIN", L"MAX",
                            L"RATE/s"));
    std::unordered_map<unsigned long long, const MonRow *> rows;
    for (const MonRow &row : snap->rows) rows[Key(&row)] = &row;
    std::vector<size_t> order = OrderSignals(snap, s, rows);
    size_t next = 0;
    for (DWORD net = 0; net < snap->nets.size(); ++net) {
        const std::wstring &name = net < s->netNames.size() ? s->netNames[net] : L"?";
        lines->push_back(NetHeader(snap->nets[net], name, s->bitRate, s->styled));
        for (; next < order.size() && snap->signals[order[next]].net == net; ++next) {
            const MonSignalRow &row = snap->signals[order[next]];
            auto message = rows.find((unsigned long long)row.net << 32 | row.canId);
            auto until = marks->signals.find(MonSignalKey(&row));
            bool marked = row.changed || (until != marks->signals.end() && until->second > snap->takenMs);
            lines->push_back(SignalText(row, message == rows.end() ? nullptr : message->second, name,
                                        netWidth, marked, s->styled));
        }
    }
    if (shownRows != nullptr) *shownRows = order.size();
}

}  // namespace

unsigned long long MonSignalKey(const MonSignalRow *row) {
    return (unsigned long long)row->net << 48 | (unsigned long long)(row->canId & 0x1FFFFFFF) << 16 |
           (row->signal & 0xFFFF);
}

void MonUpdateMarks(MonMarks *marks, const MonSnapshot *snap, ULONGLONG holdMs) {
    for (const MonSignalRow &row : snap->signals)
        if (row.changed) marks->signals[MonSignalKey(&row)] = snap->takenMs + holdMs;
    for (const MonRow &row : snap->rows) {
        if (row.changedMask == 0) continue;
        MonMarks::Until &until = marks->rows[Key(&row)];
        for (int i = 0; i < 8; ++i)
            if ((row.changedMask >> i) & 1) until.ms[i] = snap->takenMs + holdMs;
    }
}

BYTE MonMarkedBytes(const MonMarks *marks, const MonRow *row, ULONGLONG nowMs) {
    BYTE marked = row->changedMask;
    auto found = marks->rows.find(Key(row));
    if (found == marks->rows.end()) return marked;
    for (int i = 0; i < 8; ++i)
        if (found->second.ms[i] > nowMs) marked |= (BYTE)(1u << i);
    return marked;
}

std::vector<size_t> MonOrderRows(const MonSnapshot *snap, const MonViewSettings *s) {
    std::vector<size_t> order;
    for (size_t i = 0; i < snap->rows.size(); ++i)
        if (CanIdPassesFilters(s->filters.data(), (DWORD)s->filters.size(), snap->rows[i].canId))
            order.push_back(i);
    const std::vector<MonRow> &rows = snap->rows;
    std::sort(order.begin(), order.end(), [&](size_t ia, size_t ib) {
        const MonRow &a = rows[ia], &b = rows[ib];
        if (a.net != b.net) return a.net < b.net;
        switch (s->sort) {
        case MonSort::Rate: {
            double ra = MonRowRate(&a), rb = MonRowRate(&b);
            if (ra != rb) return ra > rb;
            break;
        }
        case MonSort::Age:
            if (a.lastSeenMs != b.lastSeenMs) return a.lastSeenMs > b.lastSeenMs;
            break;
        case MonSort::Id:
            break;
        }
        return IdBefore(a, b);
    });
    return order;
}

void MonBuildLines(const MonSnapshot *snap, const MonViewSettings *s, const MonMarks *marks,
                   std::vector<std::wstring> *lines, size_t *shownRows) {
    size_t netWidth = 3;
    for (const std::wstring &name : s->netNames) netWidth = std::max(netWidth, name.size());
    lines->clear();
    if (s->signalsView) {
        BuildSignalLines(snap, s, marks, netWidth, lines, shownRows);
        return;
    }
    lines->push_back(Format(L"%-*ls %-8ls %-7ls %10ls %9ls %10ls %10ls %7ls  DATA", (int)netWidth,
                            L"NET", L"ID", L"TYPE", L"COUNT", L"RATE/s", L"PERIOD ms", L"JITTER ms",
                            L"AGE s"));
    std::vector<size_t> order = MonOrderRows(snap, s);
    size_t next = 0;
    for (DWORD net = 0; net < snap->nets.size(); ++net) {
        const std::wstring &name = net < s->netNames.size() ? s->netNames[net] : L"?";
        lines->push_back(NetHeader(snap->nets[net], name, s->bitRate, s->styled));
        for (; next < order.size() && snap->rows[order[next]].net == net; ++next) {
            const MonRow &row = snap->rows[order[next]];
            lines->push_back(RowText(row, name, netWidth,
                                     MonMarkedBytes(marks, &row, snap->takenMs), snap->takenMs,
                                     s->styled));
        }
    }
    if (shownRows != nullptr) *shownRows = order.size();
}
