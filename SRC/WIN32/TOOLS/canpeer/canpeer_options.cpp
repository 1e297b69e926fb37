// Command line of canpeer (see canpeer_options.h).
#include "canpeer_options.h"

#include <cwchar>

#include "can_frame_text.h"
#include "tool_number.h"

namespace {

const wchar_t USAGE[] =
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
    L"TARGET (exactly one):\n"
    L"  -d, --device NAME       write 24-byte records to the device \\\\.\\NAME (e.g. VCAN1)\n"
    L"  -s, --sim NET           be the simulated CAN peer of net NET: create the named\n"
    L"                          message queue NET and send 32-byte messages into it\n"
    L"FRAME (cansend syntax, hex):\n"
    L"  123#DEADBEEF            standard identifier (3 digits), up to 8 data bytes\n"
    L"  1F334455#1122           extended identifier (8 digits)\n"
    L"  123#R  123#R4           remote frame (length 0, or the length asked for)\n"
    L"  -n COUNT and -r RATE apply here too: COUNT frames cycling through those given\n"
    L"  (default each once), RATE frames per second (default at once)\n"
    L"GEN (generator):\n"
    L"  -n COUNT                frames to send (default 10)\n"
    L"  -r RATE                 frames per second (default: as fast as possible)\n"
    L"  -I ID|i|r               identifier: fixed hex ID, i = incrementing, r = random (default r)\n"
    L"  -L LEN|i|r              length: 0..8, i = cycling 0..8, r = random (default 8)\n"
    L"  -e                      extended (29-bit) identifiers for i and r\n"
    L"  -R                      remote frames\n"
    L"                          data bytes: the frame's sequence number, little-endian\n"
    L"Replay:\n"
    L"  -p FILE                 a candump log, lines \"(1436509052.249713) can0 123#DEAD\"\n"
    L"                          (python-can's direction R or T may follow; the interface\n"
    L"                          name is ignored, blank lines and '#' comments skipped),\n"
    L"                          or a Vector ASC log (base hex or dec, time stamps absolute\n"
    L"                          or relative, \"0.001250 1  123  Rx   d 2 11 22\", 1F334455x\n"
    L"                          extended, r remote), or a Vector BLF log (.blf); the frames\n"
    L"                          of every channel go to TARGET. Error frames (flag 20000000,\n"
    L"                          ASC ErrorFrame), CAN FD frames and other ASC events and BLF\n"
    L"                          objects are skipped and counted: a peer puts classic frames\n"
    L"                          only on a net. A damaged BLF file replays up to the damage\n"
    L"  -x                      as fast as possible (default: the original timing)\n"
    L"Signals (--dbc FILE, a DBC database):\n"
    L"  MSG.SIG=VALUE,...       one message per argument: its frame from the signals' start\n"
    L"                          values (GenSigStartValue, else 0), then the physical values\n"
    L"                          given (a number, or a text of the signal's value table);\n"
    L"                          integer signals round to the nearest step; a value outside\n"
    L"                          the signal's minimum..maximum or its bits is clamped and\n"
    L"                          reported on stderr. -n and -r apply as to frames\n"
    L"  --node NODE             rest bus: send every message NODE transmits at its\n"
    L"                          GenMsgCycleTime, with start values (repeatable; all = every\n"
    L"                          node). A message without a cycle time is sent once at the\n"
    L"                          start and again whenever a value of it is set. All messages\n"
    L"                          run on one clock: frame k of a message is due k cycles after\n"
    L"                          the start. Lines on stdin change values while it runs:\n"
    L"                            set MSG.SIG VALUE     (a bad line is reported and skipped)\n"
    L"                          Runs until Ctrl+C or -T; prints frames per message on exit\n"
    L"  -T MS                   rest bus: stop after MS milliseconds\n"
    L"Paced sending (-r, or a replay with its timing) writes every frame that is due at once,\n"
    L"one WriteFile per batch, and warns when the path does not carry the rate. On exit canpeer\n"
    L"prints frames sent, seconds and frames/s on stderr.\n"
    L"Simulated peer (--sim):\n"
    L"  -u, --unique-id HIGH:LOW  unique id attached to every frame (hex; default: process id:0)\n"
    L"  -Q, --queue-size N      messages the created queue holds (default 64)\n"
    L"  -t, --send-timeout MS   wait at most MS for room in the queue (default 5000)\n"
    L"  -w, --linger MS         keep the queue open MS after the last frame, so that a server\n"
    L"                          can drain it (the queue vanishes with its last handle)\n"
    L"Other:\n"
    L"  -v                      print every frame sent as a candump log line\n"
    L"  -h, --help              this text\n"
    L"  -V, --version           print the version\n"
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

bool Fail(std::wstring *error, const std::wstring &text)
{
    *error = text;
    return false;
}

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

}  // namespace

const wchar_t *PeerUsage()
{
    return USAGE;
}

bool ParsePeerOptions(int argc, wchar_t **argv, PeerOptions *o, std::wstring *error)
{
    bool generator = false;
    std::vector<const wchar_t *> positional;
    for (int i = 1; i < argc; i++) {
        std::wstring arg = argv[i];
        // Options that take a value.
        auto value = [&](const wchar_t **out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        const wchar_t *v = nullptr;
        DWORD n = 0;
        if (arg == L"-h" || arg == L"--help") {
            o->help = true;
        } else if (arg == L"-d" || arg == L"--device" || arg == L"-s" || arg == L"--sim") {
            if (!value(&v) || !*v) return Fail(error, arg + L" needs a name");
            if (o->target != PeerTarget::None) return Fail(error, L"give exactly one target: " + arg + L" " + v);
            o->target = (arg == L"-d" || arg == L"--device") ? PeerTarget::Device : PeerTarget::Sim;
            o->targetName = v;
        } else if (arg == L"-g") {
            generator = true;
        } else if (arg == L"-n") {
            if (!value(&v) || !ParseArgDword(v, 10, 0xFFFFFFFF, &n) || n == 0) {
                return Fail(error, L"-n needs a count of 1 or more, not '" + std::wstring(v ? v : L"") + L"'");
            }
            o->count = n;
            o->countGiven = true;
        } else if (arg == L"-r") {
            wchar_t *end = nullptr;
            double rate = value(&v) ? std::wcstod(v, &end) : 0;
            if (!v || !*v || *end || !(rate > 0 && rate <= 1e6)) {
                return Fail(error, L"-r needs frames per second above 0, not '" + std::wstring(v ? v : L"") + L"'");
            }
            o->rate = rate;
        } else if (arg == L"-I") {
            if (!value(&v) || !ParsePattern(v, 0x1FFFFFFF, 16, &o->idPattern, &o->id)) {
                return Fail(error, L"-I needs a hex identifier up to 1FFFFFFF, i or r, not '" +
                                       std::wstring(v ? v : L"") + L"'");
            }
        } else if (arg == L"-L") {
            if (!value(&v) || !ParsePattern(v, 8, 10, &o->lengthPattern, &o->length)) {
                return Fail(error, L"-L needs a length 0..8, i or r, not '" + std::wstring(v ? v : L"") + L"'");
            }
        } else if (arg == L"-e") {
            o->extended = true;
        } else if (arg == L"-R") {
            o->remote = true;
        } else if (arg == L"-p") {
            if (!value(&v) || !*v) return Fail(error, L"-p needs a log file");
            o->replayFile = v;
        } else if (arg == L"-x") {
            o->asFastAsPossible = true;
        } else if (arg == L"-u" || arg == L"--unique-id") {
            DWORD high, low;
            std::wstring text = value(&v) ? v : L"";
            if (!ParseArgHexPair(text.c_str(), &high, &low)) {
                return Fail(error, arg + L" needs HIGH:LOW in hex, not '" + text + L"'");
            }
            o->uniqueIdHigh = high;
            o->uniqueIdLow = low;
            o->uniqueIdGiven = true;
        } else if (arg == L"-Q" || arg == L"--queue-size") {
            if (!value(&v) || !ParseArgDword(v, 10, 100000, &n) || n == 0) {
                return Fail(error, arg + L" needs a message count 1..100000");
            }
            o->queueSize = n;
        } else if (arg == L"-t" || arg == L"--send-timeout") {
            if (!value(&v) || !ParseArgDword(v, 10, 0xFFFFFFFE, &n)) {
                return Fail(error, arg + L" needs milliseconds");
            }
            o->sendTimeoutMs = n;
        } else if (arg == L"-w" || arg == L"--linger") {
            if (!value(&v) || !ParseArgDword(v, 10, 0xFFFFFFFE, &n)) {
                return Fail(error, arg + L" needs milliseconds");
            }
            o->lingerMs = n;
        } else if (arg == L"--dbc") {
            if (!value(&v) || !*v) return Fail(error, L"--dbc needs a DBC file");
            o->dbcFile = v;
        } else if (arg == L"--node") {
            if (!value(&v) || !*v) return Fail(error, L"--node needs a node name of the DBC file, or all");
            o->nodes.push_back(Utf8(v));
        } else if (arg == L"-T") {
            if (!value(&v) || !ParseArgDword(v, 10, 0xFFFFFFFE, &n) || n == 0) {
                return Fail(error, L"-T needs milliseconds above 0, not '" + std::wstring(v ? v : L"") + L"'");
            }
            o->runTimeMs = n;
        } else if (arg == L"-v") {
            o->verbose = true;
        } else if (arg.size() > 1 && arg[0] == L'-') {
            return Fail(error, L"unknown option " + arg);
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (o->help) return true;
    // Frames in cansend syntax, or with --dbc messages with signal values
    // (--dbc may come after them).
    for (const wchar_t *text : positional) {
        if (!o->dbcFile.empty()) {
            o->messages.push_back(Utf8(text));
            continue;
        }
        RxMsg msg = {};
        const char *why = nullptr;
        if (!CanFrameParse(Narrow(text).c_str(), &msg, &why)) {
            return Fail(error, L"bad frame '" + std::wstring(text) + L"': " + Widen(why));
        }
        o->frames.push_back(msg);
    }
    if (o->target == PeerTarget::None) return Fail(error, L"no target: give --device NAME or --sim NET");
    if (!o->nodes.empty() && o->dbcFile.empty()) return Fail(error, L"--node needs --dbc FILE");
    int modes = (generator ? 1 : 0) + (o->replayFile.empty() ? 0 : 1) + (o->frames.empty() ? 0 : 1) +
                (o->messages.empty() ? 0 : 1) + (o->nodes.empty() ? 0 : 1);
    if (modes != 1 || (!o->dbcFile.empty() && (generator || !o->replayFile.empty()))) {
        return Fail(error, o->dbcFile.empty() ? L"give frames, -g or -p FILE (exactly one of them)"
                                              : L"with --dbc give messages (MSG.SIG=VALUE,...) or --node NODE "
                                                L"(exactly one of them; not -g or -p)");
    }
    o->mode = generator                 ? PeerMode::Generator
              : !o->replayFile.empty()  ? PeerMode::Replay
              : !o->frames.empty()      ? PeerMode::Frames
              : !o->messages.empty()    ? PeerMode::Signals
                                        : PeerMode::RestBus;
    if (o->runTimeMs && o->mode != PeerMode::RestBus) return Fail(error, L"-T belongs to the rest bus (--node)");
    if (o->mode == PeerMode::RestBus && (o->countGiven || o->rate > 0)) {
        return Fail(error, L"-n and -r do not apply to the rest bus: each message keeps its cycle time");
    }
    if (o->target == PeerTarget::Device && (o->uniqueIdGiven || o->lingerMs)) {
        return Fail(error, L"--unique-id and --linger belong to --sim");
    }
    if (o->idPattern == Pattern::Fixed && o->id > CAN_STANDARD_ID_MAX) o->extended = true;
    return true;
}
