// Where canpeer's frames come from: the generator and candump log files.
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

// Reads a candump log file. Each frame's timeStamp is the line's time in
// 100 ns units. FALSE with *error naming the file and line that failed.
bool LoadCandumpLog(const std::wstring &path, std::vector<RxMsg> *frames, std::wstring *error);
