// candump's log file: candump log lines (the default) or Vector ASC with
// one channel per net, in the forms python-can reads.
#pragma once

#include <windows.h>

#include <stdio.h>

#include "ribex_client.h"

enum class LogFormat { Candump, Asc };

struct DumpLog {
    FILE *file;
    LogFormat format;
    unsigned long long startStamp;  // ASC: time 0, when the file was opened
};

// Creates the file and, for ASC, writes its header dated now: now (the
// frames' clock, 100 ns units) is time 0 of the entries' offsets. FALSE
// with the last error set when the file cannot be created.
BOOL DumpLogOpen(DumpLog *log, const wchar_t *path, LogFormat format, unsigned long long now);

// One entry of net netIndex (0-based; ASC channel netIndex + 1). line is
// the entry's candump log line, stamp its absolute time stamp.
void DumpLogWrite(DumpLog *log, DWORD netIndex, unsigned long long stamp, const RibexFrame *entry,
                  const char *line);

// Ends the ASC trigger block and closes the file.
void DumpLogClose(DumpLog *log);
