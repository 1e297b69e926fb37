// canlog's CSV of decoded signals: a header row ("time" and one
// MESSAGE.SIGNAL column per signal of the database, in file order), then
// one row per frame: seconds with six decimals, the physical value of
// every signal the frame carries, empty cells elsewhere.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "candb.h"
#include "canlogio.h"

struct CsvWriter {
    FILE *file;
    bool ownFile;
    const CanDatabase *db;
    std::vector<size_t> firstColumn;  // per message: its first signal's column
    size_t columns;                   // signal columns
    std::vector<CanDbValue> values;
    std::string row;
    unsigned long long rows;
};

// Creates path (L"-": standard output) and writes the header row.
bool CsvOpen(CsvWriter *w, const wchar_t *path, const CanDatabase *db);
// One row for a frame; error frames have none (TRUE, nothing written).
bool CsvWriteRecord(CsvWriter *w, const CanLogRecord *record);
bool CsvClose(CsvWriter *w);
