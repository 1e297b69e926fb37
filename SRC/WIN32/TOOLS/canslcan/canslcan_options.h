// Command line of canslcan: the COM port, the adapter's set-up and the
// target (a simulated net or a virtual CAN device).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tool_options.h"

enum class SlcanTarget { None, Device, Sim };

struct SlcanOptions {
    std::wstring port;  // COM5
    DWORD serialBaud = 115200;
    std::string bitRateCommand = "S6";  // S0..S8 or sXXYY, without CR
    bool listenOnly = false;
    bool adapterStamps = false;  // Z1 instead of Z0

    SlcanTarget target = SlcanTarget::None;
    std::wstring targetName;       // net or device name
    std::vector<DWORD> remoteIds;  // device: remote frames to pass to the adapter

    uint32_t uniqueIdHigh = 0;  // simulated peer
    uint32_t uniqueIdLow = 0;
    bool uniqueIdGiven = false;
    DWORD queueSize = 256;
    DWORD runTimeMs = 0;           // 0: until Ctrl+C
    DWORD sendTimeoutMs = 100;     // room in the queue / bus before a frame counts as lost
    DWORD answerTimeoutMs = 1000;  // adapter's answer to a set-up command
    DWORD retryMaxMs = 4000;       // longest pause between reopen attempts

    bool bitRateGiven = false;  // -b or --btr, once
    bool simOnlyGiven = false;  // -u or -Q, which belong to --sim

    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; FALSE with *error naming the offending argument.
bool ParseSlcanOptions(int argc, wchar_t **argv, SlcanOptions *options, std::wstring *error);

// The option table, filling *options (its usage text with worked examples).
ToolSpec SlcanToolSpec(SlcanOptions *options);
