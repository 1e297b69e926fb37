#include "ribexweb_options.h"

#include <wchar.h>

#include "ribex_messages.h"
#include "tool_number.h"

namespace {

const wchar_t kUsage[] =
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
    L"Options:\n"
    L"  --log FILE    show a recorded candump log, ASC or BLF file (repeatable); its\n"
    L"                source is named LOG1, LOG2, ... in the order given\n"
    L"  -d [NET=]FILE.dbc  decode with the DBC file, repeatable; NET= (a net or LOGn)\n"
    L"                for one source only, a file without NET= for every other\n"
    L"  -p PORT       TCP port (default 29080; 0: any free port, printed at start)\n"
    L"  -l ADDRESS    listen on ADDRESS instead of 127.0.0.1 (see Exposure)\n"
    L"  -c COUNT      live streams (open pages) at once, 1..64 (default 8); one more\n"
    L"                is refused with 503\n"
    L"  -H POINTS     points kept per signal as they came, 1024..16777216 (default\n"
    L"                1048576, 16 bytes each); older times are kept as minimum and\n"
    L"                maximum per bucket (4096 buckets over the whole time)\n"
    L"  -b BITRATE    bit rate for the bus load (default 500000)\n"
    L"  -t MS         stop after MS milliseconds\n"
    L"  -q QUEUE      server queue name (default ribexServerQueue)\n"
    L"  -u HIGH:LOW   unique id (hex)\n"
    L"  -V            version\n"
    L"  -h            this text\n"
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

bool Fail(std::wstring *error, const wchar_t *what, const wchar_t *arg) {
    *error = std::wstring(what) + L": " + arg;
    return false;
}

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

bool ParseValue(wchar_t option, const wchar_t *v, WebOptions *o, std::wstring *error) {
    switch (option) {
    case L'L':
        if (o->logs.size() == 16) return Fail(error, L"too many logs (16 at most)", v);
        o->logs.push_back(v);
        return true;
    case L'd':
        if (o->databases.size() == 16) return Fail(error, L"too many DBC files (16 at most)", v);
        o->databases.push_back(v);
        return true;
    case L'p':
        if (!ParseArgDword(v, 10, 65535, &o->port)) return Fail(error, L"bad port", v);
        return true;
    case L'l':
        if (!ParseAddress(v, &o->address)) return Fail(error, L"address must be an IPv4 address", v);
        return true;
    case L'c':
        if (!ParseArgDword(v, 10, 64, &o->maxStreams) || o->maxStreams == 0)
            return Fail(error, L"bad stream count (1..64)", v);
        return true;
    case L'H':
        if (!ParseArgDword(v, 10, 16777216, &o->historyPoints) || o->historyPoints < 1024)
            return Fail(error, L"bad history size (1024..16777216)", v);
        return true;
    case L'b':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->bitRate) || o->bitRate == 0)
            return Fail(error, L"bad bit rate", v);
        return true;
    case L't':
        if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->runTimeMs) || o->runTimeMs == 0)
            return Fail(error, L"bad run time", v);
        return true;
    case L'q':
        o->queueName = v;
        return true;
    case L'u':
        if (!ParseArgHexPair(v, &o->uniqueIdHigh, &o->uniqueIdLow))
            return Fail(error, L"unique id must be HIGH:LOW in hex", v);
        o->haveUniqueId = true;
        return true;
    }
    return Fail(error, L"unknown option", v);
}

bool AddNet(const wchar_t *name, WebOptions *o, std::wstring *error) {
    if (o->nets.size() == 16) return Fail(error, L"too many nets (16 at most)", name);
    if (wcslen(name) >= RIBEX_NET_NAME_MAX) return Fail(error, L"net name too long", name);
    o->nets.push_back(name);
    return true;
}

}  // namespace

bool ParseWebOptions(int argc, wchar_t **argv, WebOptions *o, std::wstring *error) {
    for (int i = 1; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (a[0] != L'-' || a[1] == 0) {
            if (!AddNet(a, o, error)) return false;
            continue;
        }
        if (wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0) {
            o->help = true;
            return true;
        }
        wchar_t option = wcscmp(a, L"--log") == 0 ? L'L' : a[1];
        if (option != L'L' && (a[2] != 0 || wcschr(L"dplcHbtqu", a[1]) == nullptr))
            return Fail(error, L"unknown option", a);
        if (i + 1 >= argc) return Fail(error, L"option needs a value", a);
        if (!ParseValue(option, argv[++i], o, error)) return false;
    }
    if (o->nets.empty() && o->logs.empty()) {
        *error = L"no net and no log given";
        return false;
    }
    return true;
}

const wchar_t *WebUsage() { return kUsage; }
