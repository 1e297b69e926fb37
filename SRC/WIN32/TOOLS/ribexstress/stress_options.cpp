// Command line of ribexstress (see stress_options.h).
#include "stress_options.h"

#include <cwchar>

#include "stress_shared.h"
#include "tool_number.h"

namespace {

const wchar_t kSynopsis[] =
    L"ribexstress: drives the ribex server with client processes that join, read\n"
    L"and leave or are killed, observers that check every frame, paced peers and\n"
    L"a stream of malformed requests; prints what happened and the server's\n"
    L"handle count and memory over time.\n"
    L"\n"
    L"usage: ribexstress [options]\n"
    L"\n";

const wchar_t kExamples[] =
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

// v as a number min..max; false with "'VALUE' is not a number from MIN to MAX".
bool TakeNumber(const wchar_t *v, DWORD min, DWORD max, DWORD *target, std::wstring *error) {
    DWORD n;
    if (ParseArgDword(v, 10, max, &n) && n >= min) {
        *target = n;
        return true;
    }
    *error = std::wstring(L"'") + v + L"' is not a number from " + std::to_wstring(min) + L" to " +
             std::to_wstring(max);
    return false;
}

ToolOption Number(wchar_t letter, const wchar_t *longName, const wchar_t *valueName, const wchar_t *help,
                  DWORD min, DWORD max, DWORD *target) {
    return {letter, longName, valueName, help,
            [=](const wchar_t *v, std::wstring *error) { return TakeNumber(v, min, max, target, error); }};
}

// A net name, or - for none.
ToolOption NetName(wchar_t letter, const wchar_t *longName, const wchar_t *valueName, const wchar_t *help,
                   std::wstring *target) {
    return {letter, longName, valueName, help, [target](const wchar_t *v, std::wstring *error) {
                if (std::wcscmp(v, L"-") == 0) {
                    target->clear();
                    return true;
                }
                if (!ToolCheckNetName(v, error)) return false;
                *target = v;
                return true;
            }};
}

// The run time in milliseconds, which the run counts in whole seconds.
bool TakeRunTime(const wchar_t *v, StressOptions *o, std::wstring *error) {
    DWORD ms;
    if (!ParseArgDword(v, 10, 7 * 24 * 3600 * 1000u, &ms) || ms == 0) return ToolBad(error, L"bad run time", v);
    o->durationS = (ms + 999) / 1000;
    return true;
}

}  // namespace

ToolSpec StressToolSpec(StressOptions *o) {
    return {"ribexstress", kSynopsis, kExamples, 27, true,
        {
            Number(L't', L"time", L"SECONDS", L"length of the run (default 60)", 1, 7 * 24 * 3600, &o->durationS),
            {L'T', nullptr, L"MS", L"the same in milliseconds, rounded up to whole seconds",
             [o](const wchar_t *v, std::wstring *e) { return TakeRunTime(v, o, e); }},
            NetName(L's', L"sim", L"NET",
                    L"simulated net fed by the tool's own peer (default\n"
                    L"STRESSSIM; - for none)",
                    &o->simNet),
            NetName(L'd', L"device", L"NAME",
                    L"virtual CAN device net written by the tool (default\n"
                    L"VCAN5; - for none)",
                    &o->deviceNet),
            Number(L'r', L"rate", L"FPS", L"frames per second on each net (default 500)", 1, 20000, &o->frameRate),
            Number(L'c', L"children", L"PER_MIN", L"client processes started per minute (default 120)", 0, 6000,
                   &o->childrenPerMin),
            Number(L'k', L"kills", L"PER_MIN", L"of those, killed per minute (default 60)", 0, 6000, &o->killsPerMin),
            Number(L'j', L"max-children", L"N", L"client processes alive at once (default 6, at most 64)", 1,
                   STRESS_MAX_CHILD_SLOTS, &o->maxChildren),
            Number(L'o', L"observers", L"N", L"long-lived observers per net (default 2)", 0, 16, &o->observersPerNet),
            Number(L'f', L"fuzz", L"PER_S", L"malformed requests per second (default 100, 0: none)", 0, 10000,
                   &o->fuzzPerS),
            {L'S', L"seed", L"N", L"random seed (default: from the clock; printed)",
             [o](const wchar_t *v, std::wstring *e) {
                 return TakeNumber(v, 0, 0xFFFFFFFFu, &o->seed, e) && (o->seedGiven = true);
             }},
            {L'q', L"queue", L"NAME", L"server queue (default ribexServerQueue)",
             [o](const wchar_t *v, std::wstring *e) {
                 if (*v == L'\0' || std::wcschr(v, L'"') != nullptr) return ToolBad(e, L"bad queue name", v);
                 o->serverQueue = v;
                 return true;
             }},
            Number(L'i', L"interval", L"SECONDS", L"a progress line every SECONDS (default 10)", 1, 3600, &o->intervalS),
            Number(L'R', L"removal-limit", L"MS",
                   L"a killed client still held by the server after MS\n"
                   L"counts as not removed (default 10000)",
                   100, 600000, &o->removalLimitMs),
            Number(L'K', L"kill-server", L"SECONDS",
                   L"kill the server (TerminateProcess of ribex.exe)\n"
                   L"every SECONDS; its clients start a new one\n"
                   L"(default 0: never)",
                   0, 7 * 24 * 3600, &o->killServerS),
            Number(L'D', L"restart-driver", L"SECONDS",
                   L"stop and start the virtual CAN driver's service\n"
                   L"every SECONDS (needs --device; default 0: never)",
                   0, 7 * 24 * 3600, &o->restartDriverS),
            {L'v', L"service", L"NAME", L"the driver's service for -D (default vcan)",
             [o](const wchar_t *v, std::wstring *e) {
                 if (*v == L'\0' || std::wcslen(v) > 256) return ToolBad(e, L"bad service name", v);
                 o->driverService = v;
                 return true;
             }},
        }};
}

bool ParseStressOptions(int argc, wchar_t **argv, StressOptions *o, std::wstring *error) {
    ToolArgs args;
    if (!ToolParseArgs(StressToolSpec(o), argc, argv, &args, error)) return false;
    o->help = args.help;
    o->version = args.version;
    if (o->help || o->version) return true;
    if (!args.operands.empty()) return ToolBad(error, L"unknown argument", args.operands[0]);
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

