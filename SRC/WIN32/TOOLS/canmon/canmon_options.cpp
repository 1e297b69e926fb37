#include "canmon_options.h"

#include <wchar.h>

#include "ribex_messages.h"
#include "tool_number.h"

namespace {

const wchar_t kUsage[] =
    L"Usage: canmon [options] NET [NET...]\n"
    L"\n"
    L"A live table of the nets: one row per identifier (standard and extended apart,\n"
    L"remote frames on rows of their own) with the frame count, the rate, the mean\n"
    L"period and its jitter (from the frames' own time stamps), the age of the last\n"
    L"frame and its data, the bytes that changed highlighted; a header per net with\n"
    L"frames/s, bus load (worst-case bit stuffing), lost frames and error entries;\n"
    L"all figures count from the start or from the last clear (c).\n"
    L"The nets are opened through the ribex server, which is started on demand.\n"
    L"\n"
    L"Keys: q quit   p pause   c clear counters   i/r/a sort by id/rate/age\n"
    L"      f filter (ID:MASK as -f, blank: none)   d drop rows not seen for -a seconds\n"
    L"      s signals view / bytes view (with -d): one row per signal with its value,\n"
    L"        unit, minimum and maximum seen and its message's rate\n"
    L"RATE/s is what the last two seconds carried (by the frames' time stamps); it\n"
    L"falls to 0 when an identifier stops.\n"
    L"\n"
    L"Options:\n"
    L"  -b BITRATE    bit rate for the bus load (default 500000)\n"
    L"  -f ID:MASK    only rows with (id & MASK) == (ID & MASK), hex, repeatable; bit 31\n"
    L"                marks remote frames (as candump -f)\n"
    L"  -o id|rate|age  sort order (default id)\n"
    L"  -d [NET=]FILE.dbc  decode frames with the DBC file, repeatable; NET= for one\n"
    L"                net only (a file without NET= serves every net that has none)\n"
    L"  -v bytes|signals  the view to start with (default bytes; plain tables too)\n"
    L"  -S            plain text tables, also on a console (always when the output is\n"
    L"                a pipe or a file)\n"
    L"  -i MS         plain tables: one every MS milliseconds (default 1000, or only\n"
    L"                once at the end when -t is given)\n"
    L"  -t MS         stop after MS milliseconds\n"
    L"  -r MS         console redraw period (default 250)\n"
    L"  -a SECONDS    age after which 'd' drops a row (default 5)\n"
    L"  -q QUEUE      server queue name (default ribexServerQueue)\n"
    L"  -u HIGH:LOW   unique id (hex)\n"
    L"  --read-delay MS  sleep MS after each read (makes the monitor fall behind, for tests)\n"
    L"  -V            version\n"
    L"  -h            this text\n"
    L"\n"
    L"Examples:\n"
    L"  canmon CAN1                        watch CAN1 until q or Ctrl+C\n"
    L"  canmon -b 1000000 VCAN1 VCAN2      two nets, bus load at 1 Mbit/s\n"
    L"  canmon -f 700:700 -o rate CAN1     ids 0x700-0x7FF only, busiest first\n"
    L"  canmon -S -t 5000 CAN1             one plain table after five seconds\n"
    L"  canmon -i 2000 CAN1 > can1.txt     a plain table every two seconds into a file\n"
    L"  canmon -d car.dbc CAN1             's' shows EEC1's EngineSpeed, its unit, min, max\n"
    L"  canmon -d CAN1=car.dbc -v signals -S -t 5000 CAN1   a plain table of signals\n";

bool Fail(std::wstring *error, const wchar_t *what, const wchar_t *arg) {
    *error = std::wstring(what) + L": " + arg;
    return false;
}

bool ParseValue(wchar_t option, const wchar_t *v, MonOptions *o, std::wstring *error) {
    CanIdFilter filter;
    switch (option) {
    case L'b':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->bitRate) || o->bitRate == 0)
            return Fail(error, L"bad bit rate", v);
        return true;
    case L'f':
        if (o->filters.size() == CAN_ID_FILTER_MAX) return Fail(error, L"too many filters", v);
        if (!ParseCanIdFilter(v, &filter)) return Fail(error, L"filter must be ID:MASK in hex", v);
        o->filters.push_back(filter);
        return true;
    case L'o':
        if (wcscmp(v, L"id") == 0)
            o->sort = MonSort::Id;
        else if (wcscmp(v, L"rate") == 0)
            o->sort = MonSort::Rate;
        else if (wcscmp(v, L"age") == 0)
            o->sort = MonSort::Age;
        else
            return Fail(error, L"sort order must be id, rate or age", v);
        return true;
    case L'i':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->intervalMs) || o->intervalMs == 0)
            return Fail(error, L"bad interval", v);
        return true;
    case L't':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->runTimeMs) || o->runTimeMs == 0)
            return Fail(error, L"bad run time", v);
        return true;
    case L'r':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->refreshMs) || o->refreshMs < 20)
            return Fail(error, L"bad redraw period (20 ms at least)", v);
        return true;
    case L'a': {
        DWORD seconds = 0;
        if (!ParseArgDword(v, 10, 86400, &seconds) || seconds == 0)
            return Fail(error, L"bad age", v);
        o->staleMs = seconds * 1000;
        return true;
    }
    case L'd':
        if (o->databases.size() == 16) return Fail(error, L"too many DBC files (16 at most)", v);
        o->databases.push_back(v);
        return true;
    case L'v':
        if (wcscmp(v, L"bytes") == 0)
            o->signalsFirst = false;
        else if (wcscmp(v, L"signals") == 0)
            o->signalsFirst = true;
        else
            return Fail(error, L"view must be bytes or signals", v);
        return true;
    case L'q':
        o->queueName = v;
        return true;
    case L'u':
        if (!ParseArgHexPair(v, &o->uniqueIdHigh, &o->uniqueIdLow))
            return Fail(error, L"unique id must be HIGH:LOW in hex", v);
        o->haveUniqueId = true;
        return true;
    case L'D':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->readDelayMs))
            return Fail(error, L"bad read delay", v);
        return true;
    }
    return Fail(error, L"unknown option", v);
}

}  // namespace

bool ParseMonOptions(int argc, wchar_t **argv, MonOptions *o, std::wstring *error) {
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] != 0; ++i) {
        const wchar_t *a = argv[i];
        if (wcscmp(a, L"--") == 0) {
            ++i;
            break;
        }
        if (wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0) {
            o->help = true;
            return true;
        }
        if (wcscmp(a, L"-S") == 0) {
            o->plain = true;
            continue;
        }
        wchar_t option = wcscmp(a, L"--read-delay") == 0 ? L'D' : a[1];
        if (option != L'D' && (a[2] != 0 || wcschr(L"bfoitraqudv", a[1]) == nullptr))
            return Fail(error, L"unknown option", a);
        if (i + 1 >= argc) return Fail(error, L"option needs a value", a);
        if (!ParseValue(option, argv[++i], o, error)) return false;
    }
    if (i >= argc) {
        *error = L"no net given";
        return false;
    }
    for (; i < argc; ++i) {
        if (o->nets.size() == 16) return Fail(error, L"too many nets (16 at most)", argv[i]);
        if (wcslen(argv[i]) >= RIBEX_NET_NAME_MAX)
            return Fail(error, L"net name too long", argv[i]);
        o->nets.push_back(argv[i]);
    }
    return true;
}

bool ParseMonFilters(const std::wstring &text, std::vector<CanIdFilter> *filters,
                     std::wstring *error) {
    std::vector<CanIdFilter> parsed;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(L" ,", pos);
        if (end == std::wstring::npos) end = text.size();
        std::wstring part = text.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) continue;
        CanIdFilter filter;
        if (!ParseCanIdFilter(part.c_str(), &filter) || parsed.size() == CAN_ID_FILTER_MAX) {
            *error = L"filter must be ID:MASK in hex: " + part;
            return false;
        }
        parsed.push_back(filter);
    }
    *filters = parsed;
    return true;
}

const wchar_t *MonUsage() { return kUsage; }

const wchar_t *MonSortName(MonSort sort) {
    switch (sort) {
    case MonSort::Id:
        return L"id";
    case MonSort::Rate:
        return L"rate";
    case MonSort::Age:
        return L"age";
    }
    return L"id";
}
