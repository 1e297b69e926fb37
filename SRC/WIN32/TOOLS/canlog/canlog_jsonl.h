// canlog's JSON Lines: one object a record in the schema every ribex tool
// that prints JSON shares (docs/json.md), decoded with the database when
// one is given. "net" is the record's interface name, or canN for channel
// N + 1 of a log that keeps channel numbers only.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "candb.h"
#include "canlogio.h"

struct JsonlWriter {
    FILE *file;
    bool ownFile;
    const CanDatabase *db;  // may be null: "msg" null, no signals
    std::vector<CanDbValue> values;
    std::string line;
};

// Creates path (L"-": standard output).
bool JsonlOpen(JsonlWriter *w, const wchar_t *path, const CanDatabase *db);
bool JsonlWriteRecord(JsonlWriter *w, const CanLogRecord *record);
bool JsonlClose(JsonlWriter *w);
