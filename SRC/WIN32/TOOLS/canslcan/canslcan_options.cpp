// Command line of canslcan (see canslcan_options.h).
#include "canslcan_options.h"

#include <cwchar>
#include <cwctype>

#include "tool_number.h"

namespace {

const wchar_t USAGE[] =
    L"canslcan: feeds a ribex net from a serial-line CAN (slcan/LAWICEL) adapter.\n"
    L"\n"
    L"usage: canslcan PORT [options] --sim NET\n"
    L"       canslcan PORT [options] --device VCANn\n"
    L"\n"
    L"PORT: the adapter's COM port (COM5). canslcan resets the adapter, sets its bit rate,\n"
    L"opens the channel, and closes it again on exit and on Ctrl+C.\n"
    L"\n"
    L"TARGET (exactly one):\n"
    L"  -s, --sim NET           be the simulated CAN peer of net NET (no driver needed;\n"
    L"                          receive only). Start canslcan before the clients of NET.\n"
    L"  -d, --device VCANn      put the adapter's frames on the virtual CAN bus VCANn and\n"
    L"                          send every frame other programs write on VCANn to the adapter\n"
    L"Adapter:\n"
    L"  -b, --bitrate RATE      10k 20k 50k 100k 125k 250k 500k 800k 1M, or S0..S8 (default 500k)\n"
    L"      --btr XXYY          bit-timing registers (hex, the adapter's s command) instead of -b\n"
    L"  -l, --listen-only       open the channel listen-only (L instead of O)\n"
    L"  -t, --timestamps        ask the adapter for its millisecond stamps (Z1; default Z0);\n"
    L"                          -v shows them, unwrapped across their 60 s wrap\n"
    L"  -S, --serial-baud N     serial baud rate (default 115200)\n"
    L"Device (--device):\n"
    L"  -R, --remote ID         pass remote frames with identifier ID (hex) written on the bus\n"
    L"                          to the adapter (repeatable; the driver holds back others)\n"
    L"Simulated peer (--sim):\n"
    L"  -u, --unique-id HIGH:LOW  unique id attached to every frame (hex; default: process id:0)\n"
    L"  -Q, --queue-size N      messages the queue of NET holds (default 256)\n"
    L"Both:\n"
    L"  -T, --send-timeout MS   wait at most MS for room in the queue or on the bus; then the\n"
    L"                          frame counts as lost (default 100)\n"
    L"      --answer-timeout MS wait at most MS for the adapter's answer to a command (1000)\n"
    L"      --retry-max MS      longest pause between attempts to reopen a lost port (4000)\n"
    L"  -v, --verbose           print every frame as a candump log line\n"
    L"  -h, --help              this text\n"
    L"  -V, --version           the version\n"
    L"\n"
    L"Examples:\n"
    L"  canslcan COM5 -b 500k --sim CAN1          a 500 kbit/s bus on net CAN1; candump CAN1\n"
    L"  canslcan COM5 -b 1M -t -v --sim CAN1      1 Mbit/s, adapter stamps, print every frame\n"
    L"  canslcan COM3 --btr 031C -l --sim CAN2    bit-timing registers 03 1C, listen-only\n"
    L"  canslcan COM5 -b 250k --device VCAN1      bridge the adapter and the virtual bus VCAN1:\n"
    L"                                            canpeer -d VCAN1 123#11 transmits on the bus\n"
    L"  canslcan COM5 --device VCAN1 -R 7E0       also pass remote frames for 7E0 to the adapter\n"
    L"\n"
    L"A port that fails (adapter unplugged) is reopened with back-off until it is back;\n"
    L"frames that cannot be passed on are counted as lost. Statistics are printed on exit.\n"
    L"Exit code: 0 stopped by Ctrl+C, 1 the port or target could not be opened or the adapter\n"
    L"refused its set-up, 2 bad arguments.\n";

struct BitRate {
    const wchar_t *name;
    const char *command;
};

const BitRate BIT_RATES[] = {
    {L"10k", "S0"},  {L"20k", "S1"},  {L"50k", "S2"},  {L"100k", "S3"}, {L"125k", "S4"},
    {L"250k", "S5"}, {L"500k", "S6"}, {L"800k", "S7"}, {L"1m", "S8"},   {L"1000k", "S8"},
};

bool Fail(std::wstring *error, const std::wstring &text)
{
    *error = text;
    return false;
}

std::wstring Lower(std::wstring s)
{
    for (wchar_t &c : s) c = (wchar_t)std::towlower(c);
    return s;
}

bool ParseBitRate(const std::wstring &text, std::string *command)
{
    std::wstring t = Lower(text);
    for (const BitRate &b : BIT_RATES) {
        if (t == b.name) {
            *command = b.command;
            return true;
        }
    }
    if (t.size() == 2 && t[0] == L's' && t[1] >= L'0' && t[1] <= L'8') {
        *command = std::string("S") + (char)t[1];
        return true;
    }
    return false;
}

// Four hex digits, passed to the adapter as they stand: no 0x prefix.
bool ParseBtr(const std::wstring &text, std::string *command)
{
    DWORD v;
    const bool prefixed = text.size() > 1 && (text[1] == L'x' || text[1] == L'X');
    if (text.size() != 4 || prefixed || !ParseArgDword(text.c_str(), 16, 0xFFFF, &v)) return false;
    *command = "s";
    for (wchar_t c : text) *command += (char)std::towupper(c);
    return true;
}

bool ParseUniqueId(const std::wstring &text, SlcanOptions *o)
{
    DWORD high, low;
    if (!ParseArgHexPair(text.c_str(), &high, &low)) return false;
    o->uniqueIdHigh = high;
    o->uniqueIdLow = low;
    o->uniqueIdGiven = true;
    return true;
}

bool IsPortName(const std::wstring &text)
{
    std::wstring t = Lower(text);
    if (t.rfind(L"\\\\.\\", 0) == 0) t = t.substr(4);
    DWORD n;
    return t.size() > 3 && t.compare(0, 3, L"com") == 0 &&
           ParseArgDword(t.c_str() + 3, 10, 255, &n) && n > 0;
}

bool CheckCombination(SlcanOptions *o, bool simOnlyGiven, std::wstring *error)
{
    if (o->port.empty()) {
        return Fail(error, L"no COM port: give it first, e.g. canslcan COM5 --sim CAN1");
    }
    if (o->target == SlcanTarget::None) {
        return Fail(error, L"no target: give --sim NET or --device VCANn");
    }
    if (o->target == SlcanTarget::Device && simOnlyGiven) {
        return Fail(error, L"--unique-id and --queue-size belong to --sim");
    }
    if (o->target == SlcanTarget::Sim && !o->remoteIds.empty()) {
        return Fail(error, L"--remote belongs to --device");
    }
    return true;
}

}  // namespace

const wchar_t *SlcanUsage()
{
    return USAGE;
}

bool ParseSlcanOptions(int argc, wchar_t **argv, SlcanOptions *o, std::wstring *error)
{
    bool simOnlyGiven = false;
    bool bitRateGiven = false;
    for (int i = 1; i < argc; i++) {
        const std::wstring arg = argv[i];
        const std::wstring v = i + 1 < argc ? argv[i + 1] : L"";
        const bool hasValue = i + 1 < argc;
        DWORD n = 0;
        auto take = [&]() { return hasValue ? (++i, true) : false; };
        if (arg == L"-h" || arg == L"--help") {
            o->help = true;
        } else if (arg == L"-V" || arg == L"--version") {
            o->version = true;
        } else if (arg == L"-s" || arg == L"--sim" || arg == L"-d" || arg == L"--device") {
            if (!take() || v.empty() || v[0] == L'-') return Fail(error, arg + L" needs a name");
            if (o->target != SlcanTarget::None) {
                return Fail(error, L"give exactly one target: " + arg + L" " + v);
            }
            o->target =
                (arg == L"-d" || arg == L"--device") ? SlcanTarget::Device : SlcanTarget::Sim;
            o->targetName = v;
        } else if (arg == L"-b" || arg == L"--bitrate" || arg == L"--btr") {
            const bool btr = arg == L"--btr";
            if (bitRateGiven) {
                return Fail(error, L"give one of -b and --btr, once: " + arg + L" " + v);
            }
            if (!take() ||
                !(btr ? ParseBtr(v, &o->bitRateCommand) : ParseBitRate(v, &o->bitRateCommand))) {
                return Fail(
                    error,
                    btr ? L"--btr needs 4 hex digits (BTR0 BTR1), not '" + v + L"'"
                        : arg + L" needs 10k 20k 50k 100k 125k 250k 500k 800k 1M or S0..S8, not '" +
                              v + L"'");
            }
            bitRateGiven = true;
        } else if (arg == L"-l" || arg == L"--listen-only") {
            o->listenOnly = true;
        } else if (arg == L"-t" || arg == L"--timestamps") {
            o->adapterStamps = true;
        } else if (arg == L"-S" || arg == L"--serial-baud") {
            if (!take() || !ParseArgDword(v.c_str(), 10, 4000000, &n) || n < 300) {
                return Fail(error, arg + L" needs a baud rate 300..4000000, not '" + v + L"'");
            }
            o->serialBaud = n;
        } else if (arg == L"-R" || arg == L"--remote") {
            if (!take() || !ParseArgDword(v.c_str(), 16, 0x1FFFFFFF, &n)) {
                return Fail(error,
                            arg + L" needs a hex identifier up to 1FFFFFFF, not '" + v + L"'");
            }
            o->remoteIds.push_back(n);
        } else if (arg == L"-u" || arg == L"--unique-id") {
            if (!take() || !ParseUniqueId(v, o)) {
                return Fail(error, arg + L" needs HIGH:LOW in hex, not '" + v + L"'");
            }
            simOnlyGiven = true;
        } else if (arg == L"-Q" || arg == L"--queue-size") {
            if (!take() || !ParseArgDword(v.c_str(), 10, 100000, &n) || n == 0) {
                return Fail(error, arg + L" needs a message count 1..100000, not '" + v + L"'");
            }
            o->queueSize = n;
            simOnlyGiven = true;
        } else if (arg == L"-T" || arg == L"--send-timeout" || arg == L"--answer-timeout" ||
                   arg == L"--retry-max") {
            if (!take() || !ParseArgDword(v.c_str(), 10, 600000, &n) ||
                (arg == L"--retry-max" && n == 0)) {
                return Fail(error, arg + L" needs milliseconds (up to 600000), not '" + v + L"'");
            }
            DWORD *field = arg == L"--answer-timeout" ? &o->answerTimeoutMs
                           : arg == L"--retry-max"    ? &o->retryMaxMs
                                                      : &o->sendTimeoutMs;
            *field = n;
        } else if (arg == L"-v" || arg == L"--verbose") {
            o->verbose = true;
        } else if (arg.size() > 1 && arg[0] == L'-') {
            return Fail(error, L"unknown option " + arg);
        } else if (o->port.empty()) {
            if (!IsPortName(arg)) {
                return Fail(error, L"'" + arg + L"' is not a COM port name (COM1..COM255)");
            }
            o->port = arg;
        } else {
            return Fail(error, L"one COM port only: '" + arg + L"' after " + o->port);
        }
    }
    if (o->help || o->version) return true;
    return CheckCombination(o, simOnlyGiven, error);
}
