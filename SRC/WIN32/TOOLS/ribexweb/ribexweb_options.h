// ribexweb's command line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tool_options.h"

#define WEB_DEFAULT_PORT 29080
#define WEB_DEFAULT_STREAMS 8
#define WEB_DEFAULT_HISTORY 1048576  // points per signal (16 MB at most)

struct WebOptions {
    std::vector<std::wstring> nets;
    std::vector<std::wstring> logs;       // --log FILE
    std::vector<std::wstring> databases;  // -d FILE.dbc or NET=FILE.dbc
    std::string address = "127.0.0.1";   // -l
    DWORD port = WEB_DEFAULT_PORT;        // -p; 0: any free port
    DWORD bitRate = 500000;               // -b
    DWORD maxStreams = WEB_DEFAULT_STREAMS;  // -c: live streams (pages) at once
    DWORD historyPoints = WEB_DEFAULT_HISTORY;  // -H
    DWORD runTimeMs = 0;                  // -T: stop after (0: until Ctrl+C)
    std::wstring queueName;
    bool haveUniqueId = false;
    DWORD uniqueIdHigh = 0, uniqueIdLow = 0;
    bool help = false;
};

// The nets after the options (none is right with a log); false with *error.
bool WebTakeNets(const std::vector<const wchar_t *> &operands, WebOptions *o, std::wstring *error);

// Parses argv[1..]; false with *error saying which argument was wrong.
bool ParseWebOptions(int argc, wchar_t **argv, WebOptions *o, std::wstring *error);

// The option table, filling *o.
ToolSpec WebToolSpec(WebOptions *o);
