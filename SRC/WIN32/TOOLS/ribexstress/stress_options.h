// Command line of ribexstress: how long, which nets, which rates.
#pragma once

#include <windows.h>

#include <string>

#include "tool_options.h"

struct StressOptions {
    DWORD durationS = 60;
    std::wstring simNet = L"STRESSSIM";  // empty: no simulated net
    std::wstring deviceNet = L"VCAN5";   // empty: no device net
    DWORD frameRate = 500;               // frames/s on each net
    DWORD childrenPerMin = 120;          // client processes started
    DWORD killsPerMin = 60;              // of those, killed
    DWORD maxChildren = 6;               // alive at once
    DWORD observersPerNet = 2;
    DWORD fuzzPerS = 100;
    DWORD seed = 0;
    bool seedGiven = false;
    std::wstring serverQueue = L"ribexServerQueue";
    DWORD intervalS = 10;          // progress lines
    DWORD removalLimitMs = 10000;  // a killed client still there after this is a failure
    DWORD killServerS = 0;         // 0: the server is never killed
    DWORD restartDriverS = 0;      // 0: the driver is never restarted
    std::wstring driverService = L"vcan";
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; false with *error naming the offending argument.
bool ParseStressOptions(int argc, wchar_t **argv, StressOptions *options, std::wstring *error);

// The option table, filling *options (its usage text with worked examples).
ToolSpec StressToolSpec(StressOptions *options);
