// Where canpeer's frames come from: the generator and log files (candump
// logs, with or without python-can's direction flags, Vector ASC and BLF).
#pragma once

#include <string>
#include <vector>

#include "canpeer_options.h"

struct Generator {
    const PeerOptions *options;
    DWORD sequence;
    uint32_t random;  // xorshift state
};

void GeneratorInit(Generator *g, const PeerOptions *options, uint32_t seed);
// The next generated frame; its timeStamp is 0.
RxMsg GeneratorNext(Generator *g);

enum class LogFormat { Candump, Asc, Blf };

// What a log held besides its frames.
struct LogCounts {
    LogFormat format = LogFormat::Candump;
    DWORD errorFrames = 0;  // error frames: a peer cannot put error entries on a net
    DWORD otherLines = 0;   // CAN FD frames, ASC events and BLF objects that are no classic CAN frame
};

// Reads a log file through canlogio: BLF by its signature or extension, a
// candump log when its first line that is neither blank nor a '#' comment
// starts with '(', otherwise Vector ASC. Each frame's timeStamp is its
// time in 100 ns units (ASC and BLF: from the start of the measurement).
// Error frames, CAN FD frames and other events are skipped and counted. A
// damaged BLF file gives the frames before the damage; stderr says where
// it stopped. FALSE with *error naming the file and line that failed, or
// saying that the log holds no frame.
bool LoadFrameLog(const std::wstring &path, std::vector<RxMsg> *frames, LogCounts *counts,
                  std::wstring *error);
