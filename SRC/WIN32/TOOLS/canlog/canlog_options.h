// Command line of canlog: what to read, what to write and how.
#pragma once

#include <windows.h>

#include <string>

#include "canlogio.h"
#include "tool_options.h"

// What canlog writes: a log file, or decoded signals.
enum class CanlogOutput { Log, Csv, Jsonl };

struct CanlogOptions {
    std::wstring input;             // L"-": standard input
    std::wstring output;            // L"-": standard output
    CanLogFormat inputFormat = CanLogFormat::Unknown;  // Unknown: extension or content
    CanlogOutput outputKind = CanlogOutput::Log;
    CanLogFormat outputFormat = CanLogFormat::Unknown;
    std::wstring dbcPath;           // --dbc: CSV of decoded signals
    int blfCompression = 6;
    bool outputGiven = false;       // -o: the format is not OUT's extension's
    bool quiet = false;             // no progress line
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; FALSE with *error saying what was wrong.
bool ParseCanlogOptions(int argc, wchar_t **argv, CanlogOptions *options, std::wstring *error);

// The option table, filling *options (its usage text with worked examples).
ToolSpec CanlogToolSpec(CanlogOptions *options);
