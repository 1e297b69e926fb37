#include "canmon_options.h"

#include <wchar.h>

#include "tool_number.h"

namespace {

const wchar_t kSynopsis[] =
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
    L"Options:\n";

const wchar_t kExamples[] =
    L"\n"
    L"Examples:\n"
    L"  canmon CAN1                        watch CAN1 until q or Ctrl+C\n"
    L"  canmon -b 1000000 VCAN1 VCAN2      two nets, bus load at 1 Mbit/s\n"
    L"  canmon -f 700:700 -o rate CAN1     ids 0x700-0x7FF only, busiest first\n"
    L"  canmon -S -T 5000 CAN1             one plain table after five seconds\n"
    L"  canmon -i 2000 CAN1 > can1.txt     a plain table every two seconds into a file\n"
    L"  canmon -d car.dbc CAN1             's' shows EEC1's EngineSpeed, its unit, min, max\n"
    L"  canmon -d CAN1=car.dbc -v signals -S -T 5000 CAN1   a plain table of signals\n";

bool TakeSort(const wchar_t *v, MonOptions *o, std::wstring *error) {
    if (wcscmp(v, L"id") == 0)
        o->sort = MonSort::Id;
    else if (wcscmp(v, L"rate") == 0)
        o->sort = MonSort::Rate;
    else if (wcscmp(v, L"age") == 0)
        o->sort = MonSort::Age;
    else
        return ToolBad(error, L"sort order must be id, rate or age", v);
    return true;
}

bool TakeView(const wchar_t *v, MonOptions *o, std::wstring *error) {
    if (wcscmp(v, L"bytes") != 0 && wcscmp(v, L"signals") != 0)
        return ToolBad(error, L"view must be bytes or signals", v);
    o->signalsFirst = wcscmp(v, L"signals") == 0;
    return true;
}

bool TakeAge(const wchar_t *v, MonOptions *o, std::wstring *error) {
    DWORD seconds = 0;
    if (!ParseArgDword(v, 10, 86400, &seconds) || seconds == 0) return ToolBad(error, L"bad age", v);
    o->staleMs = seconds * 1000;
    return true;
}

bool TakeDatabase(const wchar_t *v, MonOptions *o, std::wstring *error) {
    if (o->databases.size() == 16) return ToolBad(error, L"too many DBC files (16 at most)", v);
    o->databases.push_back(v);
    return true;
}

}  // namespace

ToolSpec MonToolSpec(MonOptions *o) {
    return {"canmon", kSynopsis, kExamples, 16, false,
        {
            ToolBitRateOption(nullptr, &o->bitRate),
            CanIdFilterOption(L"only rows with (id & MASK) == (ID & MASK), hex, repeatable; bit 31\n"
                              L"marks remote frames (as candump -f)",
                              &o->filters),
            {L'o', nullptr, L"id|rate|age", L"sort order (default id)",
             [o](const wchar_t *v, std::wstring *e) { return TakeSort(v, o, e); }},
            {L'd', nullptr, L"[NET=]FILE.dbc",
             L"decode frames with the DBC file, repeatable; NET= for one\n"
             L"net only (a file without NET= serves every net that has none)",
             [o](const wchar_t *v, std::wstring *e) { return TakeDatabase(v, o, e); }},
            {L'v', nullptr, L"bytes|signals", L"the view to start with (default bytes; plain tables too)",
             [o](const wchar_t *v, std::wstring *e) { return TakeView(v, o, e); }},
            ToolFlag(L'S', nullptr,
                     L"plain text tables, also on a console (always when the output is\n"
                     L"a pipe or a file)",
                     &o->plain),
            ToolNumber(L'i', nullptr, L"MS",
                       L"plain tables: one every MS milliseconds (default 1000, or only\n"
                       L"once at the end when -T is given)",
                       L"interval", 1, 0xFFFFFFFF, &o->intervalMs),
            ToolRunTimeOption(L"stop after MS milliseconds (-t, the older letter, too)", &o->runTimeMs),
            ToolRunTimeAlias(L't', &o->runTimeMs),
            ToolNumber(L'r', nullptr, L"MS", L"console redraw period (default 250)",
                       L"redraw period (20 ms at least)", 20, 0xFFFFFFFF, &o->refreshMs),
            {L'a', nullptr, L"SECONDS", L"age after which 'd' drops a row (default 5)",
             [o](const wchar_t *v, std::wstring *e) { return TakeAge(v, o, e); }},
            ToolQueueOption([o](const wchar_t *name) { o->queueName = name; }),
            ToolUniqueIdOption(nullptr, &o->uniqueIdHigh, &o->uniqueIdLow, &o->haveUniqueId),
            ToolNumber(0, L"read-delay", L"MS",
                       L"sleep MS after each read (makes the monitor fall behind, for tests)",
                       L"read delay", 0, 0xFFFFFFFF, &o->readDelayMs),
        }};
}

bool MonTakeNets(const std::vector<const wchar_t *> &operands, MonOptions *o, std::wstring *error) {
    if (operands.empty()) {
        *error = L"no net given";
        return false;
    }
    for (const wchar_t *net : operands) {
        if (o->nets.size() == 16) return ToolBad(error, L"too many nets (16 at most)", net);
        if (!ToolCheckNetName(net, error)) return false;
        o->nets.push_back(net);
    }
    return true;
}

bool ParseMonOptions(int argc, wchar_t **argv, MonOptions *o, std::wstring *error) {
    ToolArgs args;
    if (!ToolParseArgs(MonToolSpec(o), argc, argv, &args, error)) return false;
    o->help = args.help;
    return args.help || MonTakeNets(args.operands, o, error);
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
