// canmon's table as lines of text: a column heading, then per net its
// header line and its rows, filtered and sorted. The console shows the lines
// with colour (changed bytes highlighted); plain output marks a changed byte
// with '*' behind it.
#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "canmon_options.h"
#include "canmon_table.h"

struct MonViewSettings {
    MonSort sort = MonSort::Id;
    std::vector<CanIdFilter> filters;
    DWORD bitRate = 500000;
    std::vector<std::wstring> netNames;
    bool styled = false;  // virtual-terminal colours instead of '*' marks
    bool haveSignals = false;  // DBC files were given (-d)
    bool signalsView = false;  // one row per signal instead of per identifier
};

// Until when each byte of each row stays marked as changed, so that a change
// is seen even when the next redraw follows at once.
struct MonMarks {
    struct Until {
        ULONGLONG ms[8];
    };
    std::unordered_map<unsigned long long, Until> rows;
    std::unordered_map<unsigned long long, ULONGLONG> signals;  // MonSignalKey -> until
};

// Identifies a signal row across snapshots.
unsigned long long MonSignalKey(const MonSignalRow *row);

// Takes the changes of a new snapshot into the marks (kept holdMs).
void MonUpdateMarks(MonMarks *marks, const MonSnapshot *snap, ULONGLONG holdMs);

// The bytes of a row to show as changed at the snapshot's time.
BYTE MonMarkedBytes(const MonMarks *marks, const MonRow *row, ULONGLONG nowMs);

// The lines of the table (no line ends), bytes or signals as settings say;
// *shownRows gets the rows shown.
void MonBuildLines(const MonSnapshot *snap, const MonViewSettings *settings, const MonMarks *marks,
                   std::vector<std::wstring> *lines, size_t *shownRows);

// The order of the rows shown, after the filters: indexes into snap->rows.
std::vector<size_t> MonOrderRows(const MonSnapshot *snap, const MonViewSettings *settings);
