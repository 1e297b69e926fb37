// candump's command line: its option table and what it fills.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "can_id_filter.h"
#include "candump_log.h"
#include "ribex_client.h"
#include "tool_options.h"

const DWORD kDumpMaxNets = 16;

struct DumpOptions {
    std::vector<std::wstring> nets;
    DWORD maxFrames = 0;  // 0: no limit
    DWORD runTimeMs = 0;  // 0: no limit
    bool deltaTime = false;
    std::wstring logPath;
    LogFormat logFormat = LogFormat::Candump;
    bool logFormatGiven = false;  // -L without -l writes nothing: refused
    std::vector<CanIdFilter> filters;
    bool statistics = false;
    DWORD bitRate = 500000;
    std::wstring queueName;
    RibexClientOptions client = {};
    std::vector<const wchar_t *> databases;  // -d FILE.dbc or NET=FILE.dbc
    bool json = false;                       // -j: JSON Lines instead of text lines
};

// The table of candump's options, filling *o.
ToolSpec DumpSpec(DumpOptions *o);

// What the options say together; false with *error for a -L without -l.
bool DumpCheckOptions(const DumpOptions *o, std::wstring *error);

// The nets to read after the options; false with *error for a wrong one.
bool DumpTakeNets(const std::vector<const wchar_t *> &operands, DumpOptions *o,
                  std::wstring *error);

// A management command ("enable", "disable", "list", "disable-all") instead
// of nets.
bool DumpIsManagement(const wchar_t *word);
