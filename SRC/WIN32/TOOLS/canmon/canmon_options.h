// canmon's command line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "can_id_filter.h"
#include "ribex_client.h"
#include "tool_options.h"

enum class MonSort { Id, Rate, Age };

struct MonOptions {
    std::vector<std::wstring> nets;
    DWORD bitRate = 500000;
    std::vector<CanIdFilter> filters;
    MonSort sort = MonSort::Id;
    bool plain = false;     // -S: plain tables even on a console
    DWORD intervalMs = 0;   // -i: plain table every intervalMs (0: see runTimeMs)
    DWORD runTimeMs = 0;    // -T: stop after runTimeMs (0: until q or Ctrl+C)
    DWORD refreshMs = 250;  // -r: console redraw period
    DWORD staleMs = 5000;   // -a: rows not seen for this long go with 'd'
    DWORD readDelayMs = 0;  // --read-delay: the reader sleeps after each pass (tests)
    std::vector<std::wstring> databases;  // -d FILE.dbc or NET=FILE.dbc
    bool signalsFirst = false;            // -v signals: start in (or plain tables of) the signals view
    std::wstring queueName;
    bool haveUniqueId = false;
    DWORD uniqueIdHigh = 0, uniqueIdLow = 0;
    bool help = false;
};

// The nets after the options; false with *error for a wrong one.
bool MonTakeNets(const std::vector<const wchar_t *> &operands, MonOptions *o, std::wstring *error);

// Parses argv[1..]; false with *error saying which argument was wrong.
bool ParseMonOptions(int argc, wchar_t **argv, MonOptions *o, std::wstring *error);

// Several filters in one text, blank or comma separated ("100:7F0 200:7FF");
// an empty text gives none. False with *error naming the bad one.
bool ParseMonFilters(const std::wstring &text, std::vector<CanIdFilter> *filters,
                     std::wstring *error);

// The option table, filling *o (its usage text, its wrong-argument message).
ToolSpec MonToolSpec(MonOptions *o);
const wchar_t *MonSortName(MonSort sort);
