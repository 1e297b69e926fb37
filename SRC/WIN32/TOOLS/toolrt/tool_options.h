// The command line of every tool: a table of its options, read one way.
//
// A row names the option (a letter, a long name or both), says whether it
// takes a value, gives its lines of the usage text and the handler that
// takes it. -h/--help and -V/--version belong to every tool and need no row.
// The options that several tools share have one constructor each below, so
// that a letter means one thing and a wrong value reads alike everywhere:
//
//     -h, --help  -V, --version  -q QUEUE  -u HIGH:LOW  -b BITRATE
//     -f ID:MASK (can_id_filter.h)  -n COUNT  -T MS (run time)
//
// A wrong argument is said as "OPTION: what was wrong: 'VALUE'", followed by
// the usage with its worked examples (ToolFail).
#pragma once

#include <windows.h>

#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

// Takes the value of an option (NULL for a flag). False with *error saying
// what was wrong, "bad bit rate: '0'" (ToolBad writes it so).
typedef std::function<bool(const wchar_t *value, std::wstring *error)> ToolOptionFn;

struct ToolOption {
    wchar_t letter;            // 0: a long name only (or a line of text)
    const wchar_t *longName;   // without the dashes; NULL: a letter only
    const wchar_t *valueName;  // NULL: a flag without a value
    const wchar_t *help;       // its lines in the usage, '\n' between; NULL: not listed
    ToolOptionFn handle;       // empty: a line of text of the usage (a heading)
};

struct ToolSpec {
    const char *name;          // the tool, as its messages begin
    const wchar_t *synopsis;   // the usage above the option lines
    const wchar_t *examples;   // the usage below them: worked examples
    int helpColumn;            // where an option's help starts on its line
    bool permute;              // options may stand between operands; else the
                               // first operand ends the options (as "--" does)
    std::vector<ToolOption> options;
};

struct ToolArgs {
    std::vector<const wchar_t *> operands;
    bool help = false;     // -h: nothing else was read after it
    bool version = false;  // -V: anywhere before "--", whatever else is wrong
};

// Reads argv[1..] by the table. False with *error for an unknown option, a
// missing value or a value its handler refused.
bool ToolParseArgs(const ToolSpec &optionTable, int argc, wchar_t **argv, ToolArgs *args,
                   std::wstring *error);

// The usage: synopsis, option lines, -h and -V, examples.
std::wstring ToolUsageText(const ToolSpec &optionTable);

// The start of a tool's wmain: the version for -V and the usage for -h on
// stdout, a wrong argument as ToolFail. Returns -1 when the tool is to run
// with args, otherwise the exit code (0 or 2).
int ToolBegin(const ToolSpec &optionTable, int argc, wchar_t **argv, ToolArgs *args);

// A wrong argument: "name: error", a blank line and the usage on stderr.
// Returns 2, the exit code of every tool for wrong arguments.
int ToolFail(const ToolSpec &optionTable, const std::wstring &error);

// ToolFail of "what: 'value'".
int ToolFailOn(const ToolSpec &optionTable, const wchar_t *what, const wchar_t *value);

// Prints "name VERSION" when argv asks for it; TRUE then.
bool ToolAnswerVersion(const char *name, int argc, wchar_t **argv);

// *error = "what: 'value'" (quoted: a blank in it shows); false, for a
// handler's return.
bool ToolBad(std::wstring *error, const wchar_t *what, const wchar_t *value);

// *error = text; false: a wrong argument said in a sentence of its own
// ("give exactly one target").
bool ToolWrong(std::wstring *error, const std::wstring &text);

// A line of text among the options (a heading, a note).
ToolOption ToolText(const wchar_t *text);

// Rows of the usual kinds.
ToolOption ToolFlag(wchar_t letter, const wchar_t *longName, const wchar_t *help, bool *target);
ToolOption ToolFlag(wchar_t letter, const wchar_t *longName, const wchar_t *help, BOOL *target);
ToolOption ToolString(wchar_t letter, const wchar_t *longName, const wchar_t *valueName,
                      const wchar_t *help, std::wstring *target);
// A decimal number min..max; "bad WHAT: value" otherwise.
ToolOption ToolNumber(wchar_t letter, const wchar_t *longName, const wchar_t *valueName,
                      const wchar_t *help, const wchar_t *what, DWORD min, DWORD max,
                      DWORD *target);

// The shared options.
// -q, --queue QUEUE: the server's queue name (not empty).
ToolOption ToolQueueOption(std::function<void(const wchar_t *name)> set);
// -u, --unique-id HIGH:LOW in hex; help NULL for the usual line.
ToolOption ToolUniqueIdOption(const wchar_t *help, std::function<void(DWORD high, DWORD low)> set);
// The same into three fields, *given set too.
ToolOption ToolUniqueIdOption(const wchar_t *help, DWORD *high, DWORD *low, bool *given);
// -b BITRATE in bit/s above 0; help NULL for the usual line.
ToolOption ToolBitRateOption(const wchar_t *help, DWORD *bitRate);
// -n COUNT above 0.
ToolOption ToolCountOption(const wchar_t *help, DWORD *count);
// -T MS above 0: the tool stops after MS milliseconds.
ToolOption ToolRunTimeOption(const wchar_t *help, DWORD *runTimeMs);
// An older letter of the run time, still accepted and not listed.
ToolOption ToolRunTimeAlias(wchar_t letter, DWORD *runTimeMs);

// A net name fits the server's limit (RIBEX_NET_NAME_MAX with its NUL) and
// is not empty. False with *error "net name too long: 'NAME'".
bool ToolCheckNetName(const wchar_t *name, std::wstring *error);
