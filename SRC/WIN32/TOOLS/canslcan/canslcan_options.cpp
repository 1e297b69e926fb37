// Command line of canslcan (see canslcan_options.h).
#include "canslcan_options.h"

#include <cwchar>
#include <cwctype>

#include "tool_number.h"
#include "tool_options.h"

namespace {

const wchar_t kSynopsis[] =
    L"canslcan: feeds a ribex net from a serial-line CAN (slcan/LAWICEL) adapter.\n"
    L"\n"
    L"usage: canslcan PORT [options] --sim NET\n"
    L"       canslcan PORT [options] --device VCANn\n"
    L"\n"
    L"PORT: the adapter's COM port (COM5). canslcan resets the adapter, sets its bit rate,\n"
    L"opens the channel, and closes it again on exit and on Ctrl+C.\n"
    L"\n"
    L"TARGET (exactly one):\n";

const wchar_t kExamples[] =
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
    L"Exit code: 0 stopped by Ctrl+C or at the end of -T, 1 the port or target could not be opened or the adapter\n"
    L"refused its set-up, 2 bad arguments.\n";

struct BitRate {
    const wchar_t *name;
    const char *command;
};

const BitRate BIT_RATES[] = {
    {L"10k", "S0"},  {L"20k", "S1"},  {L"50k", "S2"},  {L"100k", "S3"}, {L"125k", "S4"},
    {L"250k", "S5"}, {L"500k", "S6"}, {L"800k", "S7"}, {L"1m", "S8"},   {L"1000k", "S8"},
};

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

bool IsPortName(const std::wstring &text)
{
    std::wstring t = Lower(text);
    if (t.rfind(L"\\\\.\\", 0) == 0) t = t.substr(4);
    DWORD n;
    return t.size() > 3 && t.compare(0, 3, L"com") == 0 &&
           ParseArgDword(t.c_str() + 3, 10, 255, &n) && n > 0;
}

bool CheckCombination(const SlcanOptions *o, std::wstring *error)
{
    if (o->port.empty()) {
        return ToolWrong(error, L"no COM port: give it first, e.g. canslcan COM5 --sim CAN1");
    }
    if (o->target == SlcanTarget::None) {
        return ToolWrong(error, L"no target: give --sim NET or --device VCANn");
    }
    if (o->target == SlcanTarget::Device && o->simOnlyGiven) {
        return ToolWrong(error, L"--unique-id and --queue-size belong to --sim");
    }
    if (o->target == SlcanTarget::Sim && !o->remoteIds.empty()) {
        return ToolWrong(error, L"--remote belongs to --device");
    }
    return true;
}


bool TakeTarget(SlcanOptions *o, SlcanTarget target, const wchar_t *v, std::wstring *error)
{
    const wchar_t *name = target == SlcanTarget::Device ? L"--device " : L"--sim ";
    if (!*v || v[0] == L'-') return ToolWrong(error, std::wstring(name) + L"needs a name");
    if (o->target != SlcanTarget::None)
        return ToolWrong(error, L"give exactly one target, not also " + std::wstring(name) + v);
    o->target = target;
    o->targetName = v;
    return true;
}

bool TakeBitRate(SlcanOptions *o, bool btr, const wchar_t *v, std::wstring *error)
{
    if (o->bitRateGiven) return ToolBad(error, L"give one of -b and --btr, once", v);
    if (btr ? !ParseBtr(v, &o->bitRateCommand) : !ParseBitRate(v, &o->bitRateCommand))
        return ToolBad(error,
                       btr ? L"needs 4 hex digits (BTR0 BTR1)"
                           : L"needs 10k 20k 50k 100k 125k 250k 500k 800k 1M or S0..S8",
                       v);
    o->bitRateGiven = true;
    return true;
}

bool TakeOperand(SlcanOptions *o, const wchar_t *arg, std::wstring *error)
{
    if (!o->port.empty()) return ToolWrong(error, L"one COM port only: '" + std::wstring(arg) + L"' after " + o->port);
    if (!IsPortName(arg)) return ToolWrong(error, L"'" + std::wstring(arg) + L"' is not a COM port name (COM1..COM255)");
    o->port = arg;
    return true;
}

}  // namespace

ToolSpec SlcanToolSpec(SlcanOptions *o)
{
    return {"canslcan", kSynopsis, kExamples, 26, true,
        {
            {L's', L"sim", L"NET",
             L"be the simulated CAN peer of net NET (no driver needed;\n"
             L"receive only). Start canslcan before the clients of NET.",
             [o](const wchar_t *v, std::wstring *e) { return TakeTarget(o, SlcanTarget::Sim, v, e); }},
            {L'd', L"device", L"VCANn",
             L"put the adapter's frames on the virtual CAN bus VCANn and\n"
             L"send every frame other programs write on VCANn to the adapter",
             [o](const wchar_t *v, std::wstring *e) { return TakeTarget(o, SlcanTarget::Device, v, e); }},
            ToolText(L"Adapter:"),
            {L'b', L"bitrate", L"RATE", L"10k 20k 50k 100k 125k 250k 500k 800k 1M, or S0..S8 (default 500k)",
             [o](const wchar_t *v, std::wstring *e) { return TakeBitRate(o, false, v, e); }},
            {0, L"btr", L"XXYY", L"bit-timing registers (hex, the adapter's s command) instead of -b",
             [o](const wchar_t *v, std::wstring *e) { return TakeBitRate(o, true, v, e); }},
            ToolFlag(L'l', L"listen-only", L"open the channel listen-only (L instead of O)", &o->listenOnly),
            ToolFlag(L't', L"timestamps",
                     L"ask the adapter for its millisecond stamps (Z1; default Z0);\n"
                     L"-v shows them, unwrapped across their 60 s wrap",
                     &o->adapterStamps),
            ToolNumber(L'S', L"serial-baud", L"N", L"serial baud rate (default 115200)",
                       L"baud rate 300..4000000", 300, 4000000, &o->serialBaud),
            ToolText(L"Device (--device):"),
            {L'R', L"remote", L"ID",
             L"pass remote frames with identifier ID (hex) written on the bus\n"
             L"to the adapter (repeatable; the driver holds back others)",
             [o](const wchar_t *v, std::wstring *e) {
                 DWORD id;
                 if (!ParseArgDword(v, 16, 0x1FFFFFFF, &id))
                     return ToolBad(e, L"needs a hex identifier up to 1FFFFFFF", v);
                 o->remoteIds.push_back(id);
                 return true;
             }},
            ToolText(L"Simulated peer (--sim):"),
            ToolUniqueIdOption(L"unique id attached to every frame (hex; default: process id:0)",
                               [o](DWORD high, DWORD low) {
                                   o->uniqueIdHigh = high;
                                   o->uniqueIdLow = low;
                                   o->uniqueIdGiven = true;
                                   o->simOnlyGiven = true;
                               }),
            {L'Q', L"queue-size", L"N", L"messages the queue of NET holds (default 256)",
             [o](const wchar_t *v, std::wstring *e) {
                 if (!ParseArgDword(v, 10, 100000, &o->queueSize) || o->queueSize == 0)
                     return ToolBad(e, L"needs a message count 1..100000", v);
                 return o->simOnlyGiven = true;
             }},
            ToolText(L"Both:"),
            ToolRunTimeOption(L"stop after MS milliseconds (default: until Ctrl+C)", &o->runTimeMs),
            ToolNumber(0, L"send-timeout", L"MS",
                       L"wait at most MS for room in the queue or on the bus; then the\n"
                       L"frame counts as lost (default 100)",
                       L"milliseconds (up to 600000)", 0, 600000, &o->sendTimeoutMs),
            ToolNumber(0, L"answer-timeout", L"MS", L"wait at most MS for the adapter's answer to a command (1000)",
                       L"milliseconds (up to 600000)", 0, 600000, &o->answerTimeoutMs),
            ToolNumber(0, L"retry-max", L"MS", L"longest pause between attempts to reopen a lost port (4000)",
                       L"milliseconds (1 to 600000)", 1, 600000, &o->retryMaxMs),
            ToolFlag(L'v', L"verbose", L"print every frame as a candump log line", &o->verbose),
        }};
}

bool ParseSlcanOptions(int argc, wchar_t **argv, SlcanOptions *o, std::wstring *error)
{
    ToolArgs args;
    if (!ToolParseArgs(SlcanToolSpec(o), argc, argv, &args, error)) return false;
    o->help = args.help;
    o->version = args.version;
    if (o->help || o->version) return true;
    for (const wchar_t *arg : args.operands)
        if (!TakeOperand(o, arg, error)) return false;
    return CheckCombination(o, error);
}
