// Command line of ribexstress (see stress_options.h).
#include "stress_options.h"

#include <cwchar>

#include "ribex_messages.h"
#include "stress_shared.h"
#include "tool_number.h"

namespace {

const wchar_t USAGE[] =
    L"ribexstress: drives the ribex server with client processes that join, read\n"
    L"and leave or are killed, observers that check every frame, paced peers and\n"
    L"a stream of malformed requests; prints what happened and the server's\n"
    L"handle count and memory over time.\n"
    L"\n"
    L"usage: ribexstress [options]\n"
    L"\n"
    L"  -t, --time SECONDS       length of the run (default 60)\n"
    L"  -s, --sim NET            simulated net fed by the tool's own peer (default\n"
    L"                           STRESSSIM; - for none)\n"
    L"  -d, --device NAME        virtual CAN device net written by the tool (default\n"
    L"                           VCAN5; - for none)\n"
    L"  -r, --rate FPS           frames per second on each net (default 500)\n"
    L"  -c, --children PER_MIN   client processes started per minute (default 120)\n"
    L"  -k, --kills PER_MIN      of those, killed per minute (default 60)\n"
    L"  -j, --max-children N     client processes alive at once (default 6, at most 64)\n"
    L"  -o, --observers N        long-lived observers per net (default 2)\n"
    L"  -f, --fuzz PER_S         malformed requests per second (default 100, 0: none)\n"
    L"  -S, --seed N             random seed (default: from the clock; printed)\n"
    L"  -q, --queue NAME         server queue (default ribexServerQueue)\n"
    L"  -i, --interval SECONDS   a progress line every SECONDS (default 10)\n"
    L"  -R, --removal-limit MS   a killed client still held by the server after MS\n"
    L"                           counts as not removed (default 10000)\n"
    L"  -K, --kill-server SECONDS\n"
    L"                           kill the server (TerminateProcess of ribex.exe)\n"
    L"                           every SECONDS; its clients start a new one\n"
    L"                           (default 0: never)\n"
    L"  -D, --restart-driver SECONDS\n"
    L"                           stop and start the virtual CAN driver's service\n"
    L"                           every SECONDS (needs --device; default 0: never)\n"
    L"  -v, --service NAME       the driver's service for -D (default vcan)\n"
    L"  -h, --help               this text\n"
    L"  -V, --version            the version\n"
    L"\n"
    L"Exit code 0 when observers lost and repeated nothing, every killed client was\n"
    L"removed, no client failed and the server ended with 0 once all had gone;\n"
    L"1 otherwise, 2 for a wrong argument or when the run could not start.\n"
    L"With -K or -D, frames missed between a kill or a driver stop and each\n"
    L"observer's first frame after it are that event's gap, reported with the\n"
    L"time the observer took to resume; outside the gaps nothing may be lost or\n"
    L"repeated, and every observer must resume after every event.\n"
    L"\n"
    L"Examples:\n"
    L"  ribexstress -t 30                      half a minute with the defaults\n"
    L"  ribexstress -t 600 -r 500 -k 40 -i 60  a 10-minute soak, 400 kills\n"
    L"  ribexstress -d - -f 0 -S 7             simulated net only, no fuzzing, seed 7\n"
    L"  ribexstress -s SIM2 -d VCAN8 -q q2     other nets and another server queue\n"
    L"  ribexstress -t 600 -K 60 -D 90         a soak that kills the server every\n"
    L"                                         minute, restarts the driver every 90 s\n";

bool ParseNumber(const wchar_t *text, DWORD minimum, DWORD maximum, DWORD *pValue) {
    DWORD value;
    if (!ParseArgDword(text, 10, maximum, &value) || value < minimum) return false;
    *pValue = value;
    return true;
}

bool ParseNetName(const wchar_t *text, std::wstring *pName) {
    if (text == nullptr || *text == L'\0') return false;
    if (std::wcscmp(text, L"-") == 0) {
        pName->clear();
        return true;
    }
    if (std::wcslen(text) >= RIBEX_NET_NAME_MAX) return false;
    *pName = text;
    return true;
}

struct NumberOption {
    const wchar_t *shortName;
    const wchar_t *longName;
    DWORD minimum, maximum;
    DWORD StressOptions::*member;
};

const NumberOption NUMBER_OPTIONS[] = {
    {L"-t", L"--time", 1, 7 * 24 * 3600, &StressOptions::durationS},
    {L"-r", L"--rate", 1, 20000, &StressOptions::frameRate},
    {L"-c", L"--children", 0, 6000, &StressOptions::childrenPerMin},
    {L"-k", L"--kills", 0, 6000, &StressOptions::killsPerMin},
    {L"-j", L"--max-children", 1, STRESS_MAX_CHILD_SLOTS, &StressOptions::maxChildren},
    {L"-o", L"--observers", 0, 16, &StressOptions::observersPerNet},
    {L"-f", L"--fuzz", 0, 10000, &StressOptions::fuzzPerS},
    {L"-S", L"--seed", 0, 0xFFFFFFFFu, &StressOptions::seed},
    {L"-i", L"--interval", 1, 3600, &StressOptions::intervalS},
    {L"-R", L"--removal-limit", 100, 600000, &StressOptions::removalLimitMs},
    {L"-K", L"--kill-server", 0, 7 * 24 * 3600, &StressOptions::killServerS},
    {L"-D", L"--restart-driver", 0, 7 * 24 * 3600, &StressOptions::restartDriverS},
};

bool Named(const wchar_t *arg, const wchar_t *shortName, const wchar_t *longName) {
    return std::wcscmp(arg, shortName) == 0 || std::wcscmp(arg, longName) == 0;
}

// One option with a value at argv[i]; false and *error when wrong.
bool ParseValued(const wchar_t *arg, const wchar_t *value, StressOptions *o, std::wstring *error,
                 bool *known) {
    *known = true;
    for (const NumberOption &n : NUMBER_OPTIONS) {
        if (!Named(arg, n.shortName, n.longName)) continue;
        if (!ParseNumber(value, n.minimum, n.maximum, &(o->*n.member))) {
            *error = std::wstring(L"wrong value for ") + arg + L": '" + (value ? value : L"") +
                     L"' (a number from " + std::to_wstring(n.minimum) + L" to " +
                     std::to_wstring(n.maximum) + L")";
            return false;
        }
        if (n.member == &StressOptions::seed) o->seedGiven = true;
        return true;
    }
    if (Named(arg, L"-s", L"--sim") || Named(arg, L"-d", L"--device")) {
        std::wstring *pName = Named(arg, L"-s", L"--sim") ? &o->simNet : &o->deviceNet;
        if (!ParseNetName(value, pName)) {
            *error = std::wstring(L"wrong net name for ") + arg + L": '" + (value ? value : L"") +
                     L"' (1 to 51 characters, or -)";
            return false;
        }
        return true;
    }
    if (Named(arg, L"-v", L"--service")) {
        if (value == nullptr || *value == L'\0' || std::wcslen(value) > 256) {
            *error = std::wstring(L"wrong service name for ") + arg;
            return false;
        }
        o->driverService = value;
        return true;
    }
    if (Named(arg, L"-q", L"--queue")) {
        if (value == nullptr || *value == L'\0' || std::wcschr(value, L'"') != nullptr) {
            *error = std::wstring(L"wrong queue name for ") + arg;
            return false;
        }
        o->serverQueue = value;
        return true;
    }
    *known = false;
    return true;
}

}  // namespace

bool ParseStressOptions(int argc, wchar_t **argv, StressOptions *o, std::wstring *error) {
    for (int i = 1; i < argc; ++i) {
        const wchar_t *arg = argv[i];
        if (Named(arg, L"-h", L"--help")) {
            o->help = true;
            continue;
        }
        if (Named(arg, L"-V", L"--version")) {
            o->version = true;
            continue;
        }
        bool known = false;
        const wchar_t *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!ParseValued(arg, value, o, error, &known)) return false;
        if (!known) {
            *error = std::wstring(L"unknown argument '") + arg + L"'";
            return false;
        }
        ++i;
    }
    if (o->killsPerMin > o->childrenPerMin) {
        *error = L"--kills (" + std::to_wstring(o->killsPerMin) + L") cannot exceed --children (" +
                 std::to_wstring(o->childrenPerMin) + L")";
        return false;
    }
    if (o->simNet.empty() && o->deviceNet.empty()) {
        *error = L"--sim and --device are both '-': at least one net is needed";
        return false;
    }
    if (o->restartDriverS != 0 && o->deviceNet.empty()) {
        *error = L"--restart-driver needs a device net (--device is '-')";
        return false;
    }
    if (!o->simNet.empty() && o->simNet == o->deviceNet) {
        *error = L"--sim and --device name the same net '" + o->simNet + L"'";
        return false;
    }
    return true;
}

const wchar_t *StressUsage() {
    return USAGE;
}
