// Command line of canpeer (see canpeer_options.h).
#include "canpeer_options.h"

#include <cwchar>

#include "can_frame_text.h"
#include "tool_number.h"
#include "tool_options.h"

namespace {

const wchar_t kSynopsis[] =
    L"canpeer: puts CAN frames on a virtual CAN device or feeds a simulated net.\n"
    L"\n"
    L"usage: canpeer TARGET [options] FRAME...      send the frames given\n"
    L"       canpeer TARGET [options] -g [GEN]      generate frames\n"
    L"       canpeer TARGET [options] -p FILE [-x]  replay a candump, ASC or BLF log\n"
    L"       canpeer TARGET --dbc FILE [options] MSG.SIG=VALUE[,MSG.SIG=VALUE...]...\n"
    L"                                              send messages with signal values\n"
    L"       canpeer TARGET --dbc FILE --node NODE... [-T MS]\n"
    L"                                              rest bus: send what NODE sends, cyclically\n"
    L"\n"
    L"TARGET (exactly one):\n";

const wchar_t kFrameText[] =
    L"FRAME (cansend syntax, hex):\n"
    L"  123#DEADBEEF            standard identifier (3 digits), up to 8 data bytes\n"
    L"  1F334455#1122           extended identifier (8 digits)\n"
    L"  123#R  123#R4           remote frame (length 0, or the length asked for)\n"
    L"  -n COUNT and -r RATE apply here too: COUNT frames cycling through those given\n"
    L"  (default each once), RATE frames per second (default at once)\n"
    L"GEN (generator):";

const wchar_t kSignalsText[] =
    L"Signals (--dbc FILE, a DBC database):\n"
    L"  MSG.SIG=VALUE,...       one message per argument: its frame from the signals' start\n"
    L"                          values (GenSigStartValue, else 0), then the physical values\n"
    L"                          given (a number, or a text of the signal's value table);\n"
    L"                          integer signals round to the nearest step; a value outside\n"
    L"                          the signal's minimum..maximum or its bits is clamped and\n"
    L"                          reported on stderr. -n and -r apply as to frames";

const wchar_t kPacingText[] =
    L"Paced sending (-r, or a replay with its timing) writes every frame that is due at once,\n"
    L"one WriteFile per batch, and warns when the path does not carry the rate. On exit canpeer\n"
    L"prints frames sent, seconds and frames/s on stderr.\n"
    L"Simulated peer (--sim):";

const wchar_t kExamples[] =
    L"\n"
    L"Examples:\n"
    L"  canpeer -d VCAN1 123#DEADBEEF                  one data frame on VCAN1\n"
    L"  canpeer -d VCAN1 123#R 1F334455#0102           a remote frame and an extended frame\n"
    L"  canpeer -d VCAN2 -g -n 1000 -r 500 -I i -L i   1000 frames at 500/s, ids 000.., lengths 0..8\n"
    L"  canpeer -d VCAN1 -g -n 100 -I 7E0 -L 8         100 frames with id 7E0 as fast as possible\n"
    L"  canpeer -d VCAN1 -p drive.log                  replay a candump log with its timing\n"
    L"  canpeer -d VCAN1 -p drive.asc                  replay a Vector ASC log with its timing\n"
    L"  canpeer -d VCAN1 -g -n 15000 -r 7600 -e -I i   full 1 Mbit/s load: 8-byte extended frames\n"
    L"  canpeer -s CAN1 -u 10:1 -w 2000 123#11223344   feed net CAN1 as peer 0x10:0x1, linger 2 s\n"
    L"  canpeer -s CAN1 -p drive.log -x -w 5000        replay into net CAN1 as fast as possible\n"
    L"  canpeer -d VCAN1 --dbc car.dbc EEC1.EngineSpeed=1500,EEC1.EngineTorque=40\n"
    L"                                                 one EEC1 frame with those two values\n"
    L"  canpeer -d VCAN1 --dbc car.dbc -n 50 -r 10 EEC1.EngineSpeed=800\n"
    L"                                                 the same frame 50 times, 10 a second\n"
    L"  canpeer -d VCAN1 --dbc car.dbc --node ECU      stand in for ECU until Ctrl+C\n"
    L"  canpeer -s CAN1 --dbc car.dbc --node all -T 60000   every node's messages for 60 s\n"
    L"\n"
    L"Exit code: 0 done, 1 a frame could not be sent (the error is printed), 2 bad arguments\n"
    L"(a DBC file that cannot be read, an unknown message, signal or node included).\n";

bool ParsePattern(const wchar_t *text, DWORD max, int base, Pattern *pattern, uint32_t *value)
{
    if (std::wcscmp(text, L"i") == 0) {
        *pattern = Pattern::Increment;
        return true;
    }
    if (std::wcscmp(text, L"r") == 0) {
        *pattern = Pattern::Random;
        return true;
    }
    DWORD v;
    if (!ParseArgDword(text, base, max, &v)) return false;
    *pattern = Pattern::Fixed;
    *value = v;
    return true;
}

std::string Narrow(const wchar_t *text)
{
    std::string s;
    for (; *text; text++) s += (*text < 128) ? (char)*text : '?';
    return s;
}

std::string Utf8(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? (size_t)n : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &s[0], n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

std::wstring Widen(const char *text)
{
    std::wstring s;
    for (; *text; text++) s += (wchar_t)(unsigned char)*text;
    return s;
}


bool TakeTarget(PeerOptions *o, PeerTarget target, const wchar_t *v, std::wstring *error)
{
    if (!*v) return ToolWrong(error, L"needs a name");
    if (o->target != PeerTarget::None) return ToolBad(error, L"give exactly one target", v);
    o->target = target;
    o->targetName = v;
    return true;
}

bool TakeRate(PeerOptions *o, const wchar_t *v, std::wstring *error)
{
    double rate = 0;
    if (!ParseArgDecimal(v, 1e6, &rate) || rate <= 0)
        return ToolBad(error, L"needs frames per second above 0, up to 1000000", v);
    o->rate = rate;
    return true;
}

bool TakePattern(const wchar_t *v, DWORD max, int base, Pattern *pattern, uint32_t *value,
                 const wchar_t *what, std::wstring *error)
{
    return ParsePattern(v, max, base, pattern, value) || ToolBad(error, what, v);
}

bool TakeText(const wchar_t *v, const wchar_t *what, std::wstring *target, std::wstring *error)
{
    if (!*v) return ToolWrong(error, what);
    *target = v;
    return true;
}

}  // namespace

ToolSpec PeerToolSpec(PeerOptions *o)
{
    return {"canpeer", kSynopsis, kExamples, 26, true,
        {
            {L'd', L"device", L"NAME", L"write 24-byte records to the device \\\\.\\NAME (e.g. VCAN1)",
             [o](const wchar_t *v, std::wstring *e) { return TakeTarget(o, PeerTarget::Device, v, e); }},
            {L's', L"sim", L"NET",
             L"be the simulated CAN peer of net NET: create the named\n"
             L"message queue NET and send 32-byte messages into it",
             [o](const wchar_t *v, std::wstring *e) { return TakeTarget(o, PeerTarget::Sim, v, e); }},
            ToolText(kFrameText),
            ToolFlag(L'g', nullptr, nullptr, &o->generator),
            {L'n', nullptr, L"COUNT", L"frames to send (default 10)", [o](const wchar_t *v, std::wstring *e) {
                 DWORD n;
                 if (!ParseArgDword(v, 10, 0xFFFFFFFF, &n) || n == 0) return ToolBad(e, L"bad count", v);
                 o->count = n;
                 return o->countGiven = true;
             }},
            {L'r', nullptr, L"RATE", L"frames per second (default: as fast as possible)",
             [o](const wchar_t *v, std::wstring *e) { return TakeRate(o, v, e); }},
            {L'I', nullptr, L"ID|i|r", L"identifier: fixed hex ID, i = incrementing, r = random (default r)",
             [o](const wchar_t *v, std::wstring *e) {
                 return TakePattern(v, 0x1FFFFFFF, 16, &o->idPattern, &o->id,
                                    L"needs a hex identifier up to 1FFFFFFF, i or r", e);
             }},
            {L'L', nullptr, L"LEN|i|r", L"length: 0..8, i = cycling 0..8, r = random (default 8)",
             [o](const wchar_t *v, std::wstring *e) {
                 return TakePattern(v, 8, 10, &o->lengthPattern, &o->length, L"needs a length 0..8, i or r", e);
             }},
            ToolFlag(L'e', nullptr, L"extended (29-bit) identifiers for i and r", &o->extended),
            ToolFlag(L'R', nullptr,
                     L"remote frames\n"
                     L"data bytes: the frame's sequence number, little-endian",
                     &o->remote),
            ToolText(L"Replay:"),
            {L'p', nullptr, L"FILE",
             L"a candump log, lines \"(1436509052.249713) can0 123#DEAD\"\n"
             L"(python-can's direction R or T may follow; the interface\n"
             L"name is ignored, blank lines and '#' comments skipped),\n"
             L"or a Vector ASC log (base hex or dec, time stamps absolute\n"
             L"or relative, \"0.001250 1  123  Rx   d 2 11 22\", 1F334455x\n"
             L"extended, r remote), or a Vector BLF log (.blf); the frames\n"
             L"of every channel go to TARGET. Error frames (flag 20000000,\n"
             L"ASC ErrorFrame), CAN FD frames and other ASC events and BLF\n"
             L"objects are skipped and counted: a peer puts classic frames\n"
             L"only on a net. A damaged BLF file replays up to the damage",
             [o](const wchar_t *v, std::wstring *e) { return TakeText(v, L"needs a log file", &o->replayFile, e); }},
            ToolFlag(L'x', nullptr, L"as fast as possible (default: the original timing)", &o->asFastAsPossible),
            ToolText(kSignalsText),
            {0, L"dbc", L"FILE", nullptr,
             [o](const wchar_t *v, std::wstring *e) { return TakeText(v, L"needs a DBC file", &o->dbcFile, e); }},
            {0, L"node", L"NODE",
             L"rest bus: send every message NODE transmits at its\n"
             L"GenMsgCycleTime, with start values (repeatable; all = every\n"
             L"node). A message without a cycle time is sent once at the\n"
             L"start and again whenever a value of it is set. All messages\n"
             L"run on one clock: frame k of a message is due k cycles after\n"
             L"the start. Lines on stdin change values while it runs:\n"
             L"  set MSG.SIG VALUE     (a bad line is reported and skipped)\n"
             L"Runs until Ctrl+C or -T; prints frames per message on exit",
             [o](const wchar_t *v, std::wstring *e) {
                 if (!*v) return ToolWrong(e, L"needs a node name of the DBC file, or all");
                 o->nodes.push_back(Utf8(v));
                 return true;
             }},
            ToolRunTimeOption(L"rest bus: stop after MS milliseconds", &o->runTimeMs),
            ToolText(kPacingText),
            ToolUniqueIdOption(L"unique id attached to every frame (hex; default: process id:0)",
                               [o](DWORD high, DWORD low) {
                                   o->uniqueIdHigh = high;
                                   o->uniqueIdLow = low;
                                   o->uniqueIdGiven = true;
                               }),
            ToolNumber(L'Q', L"queue-size", L"N", L"messages the created queue holds (default 64)",
                       L"message count 1..100000", 1, 100000, &o->queueSize),
            ToolNumber(L't', L"send-timeout", L"MS", L"wait at most MS for room in the queue (default 5000)",
                       L"send time-out in milliseconds", 0, 0xFFFFFFFE, &o->sendTimeoutMs),
            ToolNumber(L'w', L"linger", L"MS",
                       L"keep the queue open MS after the last frame, so that a server\n"
                       L"can drain it (the queue vanishes with its last handle)",
                       L"linger in milliseconds", 0, 0xFFFFFFFE, &o->lingerMs),
            ToolText(L"Other:"),
            ToolFlag(L'v', nullptr, L"print every frame sent as a candump log line", &o->verbose),
        }};
}

namespace {

// Frames in cansend syntax, or with --dbc messages with signal values
// (--dbc may come after them).
bool TakeFramesOrMessages(const std::vector<const wchar_t *> &operands, PeerOptions *o, std::wstring *error)
{
    for (const wchar_t *text : operands) {
        if (!o->dbcFile.empty()) {
            o->messages.push_back(Utf8(text));
            continue;
        }
        RxMsg msg = {};
        const char *why = nullptr;
        if (!CanFrameParse(Narrow(text).c_str(), &msg, &why))
            return ToolWrong(error, L"bad frame '" + std::wstring(text) + L"': " + Widen(why));
        o->frames.push_back(msg);
    }
    return true;
}

// Exactly one thing to send, and the options that belong to it.
bool ChooseMode(PeerOptions *o, std::wstring *error)
{
    const bool generator = o->generator;
    if (o->target == PeerTarget::None) return ToolWrong(error, L"no target: give --device NAME or --sim NET");
    if (!o->nodes.empty() && o->dbcFile.empty()) return ToolWrong(error, L"--node needs --dbc FILE");
    int modes = (generator ? 1 : 0) + (o->replayFile.empty() ? 0 : 1) + (o->frames.empty() ? 0 : 1) +
                (o->messages.empty() ? 0 : 1) + (o->nodes.empty() ? 0 : 1);
    if (modes != 1 || (!o->dbcFile.empty() && (generator || !o->replayFile.empty()))) {
        return ToolWrong(error, o->dbcFile.empty() ? L"give frames, -g or -p FILE (exactly one of them)"
                                              : L"with --dbc give messages (MSG.SIG=VALUE,...) or --node NODE "
                                                L"(exactly one of them; not -g or -p)");
    }
    o->mode = generator                 ? PeerMode::Generator
              : !o->replayFile.empty()  ? PeerMode::Replay
              : !o->frames.empty()      ? PeerMode::Frames
              : !o->messages.empty()    ? PeerMode::Signals
                                        : PeerMode::RestBus;
    if (o->runTimeMs && o->mode != PeerMode::RestBus) return ToolWrong(error, L"-T belongs to the rest bus (--node)");
    if (o->mode == PeerMode::RestBus && (o->countGiven || o->rate > 0))
        return ToolWrong(error, L"-n and -r do not apply to the rest bus: each message keeps its cycle time");
    if (o->target == PeerTarget::Device && (o->uniqueIdGiven || o->lingerMs))
        return ToolWrong(error, L"--unique-id and --linger belong to --sim");
    if (o->idPattern == Pattern::Fixed && o->id > CAN_STANDARD_ID_MAX) o->extended = true;
    return true;
}

}  // namespace

bool ParsePeerOptions(int argc, wchar_t **argv, PeerOptions *o, std::wstring *error)
{
    ToolArgs args;
    if (!ToolParseArgs(PeerToolSpec(o), argc, argv, &args, error)) return false;
    o->help = args.help;
    if (o->help) return true;
    return TakeFramesOrMessages(args.operands, o, error) && ChooseMode(o, error);
}
