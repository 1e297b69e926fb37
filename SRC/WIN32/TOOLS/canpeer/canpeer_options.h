// Command line of canpeer: the target (a virtual CAN device or a simulated
// net) and what to send (frames given, a generator, a candump log, messages
// of a DBC database with signal values, or the rest bus of DBC nodes).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "rx_buffer_layout.h"
#include "tool_options.h"

enum class PeerTarget { None, Device, Sim };
enum class PeerMode { Frames, Generator, Replay, Signals, RestBus };
enum class Pattern { Fixed, Increment, Random };

struct PeerOptions {
    PeerTarget target = PeerTarget::None;
    std::wstring targetName;         // device name or net name
    PeerMode mode = PeerMode::Frames;

    std::vector<RxMsg> frames;       // cansend frames from the command line
    bool generator = false;          // -g

    // Generator; -n and -r also apply to the frames and messages given.
    DWORD count = 10;
    bool countGiven = false;
    double rate = 0;                 // frames/s, 0 = as fast as possible
    Pattern idPattern = Pattern::Random;
    uint32_t id = 0;
    bool extended = false;           // 29-bit identifiers for 'i' and 'r'
    bool remote = false;
    Pattern lengthPattern = Pattern::Fixed;
    uint32_t length = 8;

    // Replay.
    std::wstring replayFile;
    bool asFastAsPossible = false;

    // DBC database (--dbc): messages with signal values, or the rest bus.
    std::wstring dbcFile;
    std::vector<std::string> messages;  // "MSG.SIG=VALUE,..." (UTF-8), one message each
    std::vector<std::string> nodes;     // --node: the nodes canpeer stands in for; "all" for every node
    DWORD runTimeMs = 0;                // -T: rest bus run time, 0 = until Ctrl+C

    // Simulated peer.
    uint32_t uniqueIdHigh = 0;
    uint32_t uniqueIdLow = 0;
    bool uniqueIdGiven = false;
    DWORD queueSize = 64;
    DWORD lingerMs = 0;
    DWORD sendTimeoutMs = 5000;

    bool verbose = false;
    bool help = false;
};

// Parses argv[1..]; FALSE with *error naming the offending argument.
bool ParsePeerOptions(int argc, wchar_t **argv, PeerOptions *options, std::wstring *error);

// The option table, filling *options (its usage text with worked examples).
ToolSpec PeerToolSpec(PeerOptions *options);
