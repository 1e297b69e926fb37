#include "ribexweb_options.h"

#include <wchar.h>

#include "tool_number.h"

namespace {

const wchar_t kSynopsis[] =
    L"Usage: ribexweb [options] [NET...] [--log FILE...]\n"
    L"\n"
    L"Serves a page at http://127.0.0.1:29080/ with every net given (opened through\n"
    L"the ribex server, started on demand) and every recorded log: per net frames/s,\n"
    L"bus load, lost frames and error entries; a table of identifiers with count,\n"
    L"rate, period, jitter, age and data (changed bytes marked), sortable and\n"
    L"filterable; with DBC files a tree of messages and signals with their values,\n"
    L"and plots of the signals picked from it (click or drag), zoom and pan with the\n"
    L"mouse, a window of 10 s, 60 s, 10 min or all, pause, CSV and PNG export.\n"
    L"Scripts use the JSON API beside it: GET /api/snapshot, /api/series?signal=\n"
    L"MSG.SIG&from=S&to=S&points=N, /api/signals (docs/ribexweb.md).\n"
    L"\n"
    L"Exposure: whoever reaches the address reads every frame of every net given.\n"
    L"The default address is 127.0.0.1, this machine only; -l 0.0.0.0 opens it to the\n"
    L"network. Nothing can be sent from the page.\n"
    L"\n"
    L"Options:\n";

const wchar_t kExamples[] =
    L"\n"
    L"Examples:\n"
    L"  ribexweb CAN1                          open http://127.0.0.1:29080/ in a browser\n"
    L"  ribexweb -d car.dbc CAN1 CAN2          two nets decoded with car.dbc\n"
    L"  ribexweb -d CAN1=car.dbc -p 8080 CAN1  car.dbc for CAN1 only, on port 8080\n"
    L"  ribexweb -d car.dbc --log drive.blf    a recorded BLF log, start to end\n"
    L"  ribexweb -p 0 CAN1                     any free port (the start line says which)\n"
    L"  ribexweb -l 0.0.0.0 CAN1               the page for the whole network (see Exposure)\n"
    L"  curl http://127.0.0.1:29080/api/snapshot\n"
    L"  curl \"http://127.0.0.1:29080/api/series?signal=EEC1.EngineSpeed&points=500\"\n";

bool ParseAddress(const wchar_t *v, std::string *address) {
    // Dotted IPv4 numbers only: a host name would hide what is exposed.
    int parts = 0, digits = 0, value = 0;
    std::string text;
    for (const wchar_t *p = v;; ++p) {
        if (*p >= L'0' && *p <= L'9') {
            value = value * 10 + (*p - L'0');
            if (++digits > 3 || value > 255) return false;
        } else if (*p == L'.' || *p == 0) {
            if (digits == 0) return false;
            ++parts;
            digits = value = 0;
            if (*p == 0) break;
        } else {
            return false;
        }
        text += (char)*p;
    }
    if (parts != 4) return false;
    *address = text;
    return true;
}

bool TakeAddress(const wchar_t *v, WebOptions *o, std::wstring *error) {
    if (!ParseAddress(v, &o->address)) return ToolBad(error, L"address must be an IPv4 address", v);
    return true;
}

// Up to 16 of a repeatable file option.
ToolOptionFn AddFile(std::vector<std::wstring> *files, const wchar_t *tooMany) {
    return [files, tooMany](const wchar_t *v, std::wstring *error) {
        if (files->size() == 16) return ToolBad(error, tooMany, v);
        files->push_back(v);
        return true;
    };
}

bool AddNet(const wchar_t *name, WebOptions *o, std::wstring *error) {
    if (o->nets.size() == 16) return ToolBad(error, L"too many nets (16 at most)", name);
    if (!ToolCheckNetName(name, error)) return false;
    o->nets.push_back(name);
    return true;
}

}  // namespace

ToolSpec WebToolSpec(WebOptions *o) {
    return {"ribexweb", kSynopsis, kExamples, 16, true,
        {
            {0, L"log", L"FILE",
             L"show a recorded candump log, ASC or BLF file (repeatable); its\n"
             L"source is named LOG1, LOG2, ... in the order given",
             AddFile(&o->logs, L"too many logs (16 at most)")},
            {L'd', nullptr, L"[NET=]FILE.dbc",
             L"decode with the DBC file, repeatable; NET= (a net or LOGn)\n"
             L"for one source only, a file without NET= for every other",
             AddFile(&o->databases, L"too many DBC files (16 at most)")},
            ToolNumber(L'p', nullptr, L"PORT", L"TCP port (default 29080; 0: any free port, printed at start)",
                       L"port", 0, 65535, &o->port),
            {L'l', nullptr, L"ADDRESS", L"listen on ADDRESS instead of 127.0.0.1 (see Exposure)",
             [o](const wchar_t *v, std::wstring *e) { return TakeAddress(v, o, e); }},
            ToolNumber(L'c', nullptr, L"COUNT",
                       L"live streams (open pages) at once, 1..64 (default 8); one more\n"
                       L"is refused with 503",
                       L"stream count (1..64)", 1, 64, &o->maxStreams),
            ToolNumber(L'H', nullptr, L"POINTS",
                       L"points kept per signal as they came, 1024..16777216 (default\n"
                       L"1048576, 16 bytes each); older times are kept as minimum and\n"
                       L"maximum per bucket (4096 buckets over the whole time)",
                       L"history size (1024..16777216)", 1024, 16777216, &o->historyPoints),
            ToolBitRateOption(nullptr, &o->bitRate),
            ToolRunTimeOption(L"stop after MS milliseconds (-t, the older letter, too)", &o->runTimeMs),
            ToolRunTimeAlias(L't', &o->runTimeMs),
            ToolQueueOption([o](const wchar_t *name) { o->queueName = name; }),
            ToolUniqueIdOption(nullptr, &o->uniqueIdHigh, &o->uniqueIdLow, &o->haveUniqueId),
        }};
}

bool WebTakeNets(const std::vector<const wchar_t *> &operands, WebOptions *o, std::wstring *error) {
    for (const wchar_t *net : operands)
        if (!AddNet(net, o, error)) return false;
    if (o->nets.empty() && o->logs.empty()) {
        *error = L"no net and no log given";
        return false;
    }
    return true;
}

bool ParseWebOptions(int argc, wchar_t **argv, WebOptions *o, std::wstring *error) {
    ToolArgs args;
    if (!ToolParseArgs(WebToolSpec(o), argc, argv, &args, error)) return false;
    o->help = args.help;
    return args.help || WebTakeNets(args.operands, o, error);
}
