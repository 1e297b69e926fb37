// ribexweb's JSON API, apart from the HTTP server: each answer is a status
// and a body made from the store (docs/ribexweb.md has the schema).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ribexweb_store.h"

#define WEB_MAX_SERIES_SIGNALS 32
#define WEB_MAX_SERIES_POINTS 20000
#define WEB_DEFAULT_SERIES_POINTS 1000

struct WebAnswer {
    int status;  // 200, or 4xx with body {"error": "..."}
    std::string body;
};

// GET /api/snapshot: sources, identifiers and signals as of tick nowMs.
WebAnswer WebSnapshotAnswer(WebStore *s, DWORD bitRate, ULONGLONG nowMs);

// GET /api/signals: per source the DBC's messages and signals (the tree).
WebAnswer WebSignalsAnswer(WebStore *s);

// The parameters of a series request as the query gave them (a missing
// one empty; hasFrom/hasTo/hasPoints tell which were given).
struct WebSeriesQuery {
    std::vector<std::string> signals;
    std::string from, to, points;
    bool hasFrom = false, hasTo = false, hasPoints = false;
};

// GET /api/series: at most points points per signal in [from, to] seconds
// (default the whole history up to now).
WebAnswer WebSeriesAnswer(WebStore *s, const WebSeriesQuery &q, ULONGLONG nowMs);

// {"error": text} with status.
WebAnswer WebErrorAnswer(int status, const std::string &text);
