// candump's log file through canlogio: candump log lines (the default),
// Vector ASC or Vector BLF with one channel per net, in the forms
// python-can reads.
#pragma once

#include <windows.h>

#include "canlogio.h"
#include "ribex_client.h"

enum class LogFormat { Candump, Asc, Blf };

struct DumpLog {
    CanLogWriter *writer;  // NULL: no log
    LogFormat format;
};

// Creates the file; ASC and BLF are dated now, and now (the frames' clock,
// 100 ns units) is time 0 of their offsets. FALSE with the last error set
// when the file cannot be created.
BOOL DumpLogOpen(DumpLog *log, const wchar_t *path, LogFormat format, unsigned long long now);

// One entry of net netIndex (0-based; ASC and BLF channel netIndex + 1).
// stamp is its absolute time stamp, shown the time its line shows (delta
// times with -t d), both in 100 ns units.
void DumpLogWrite(DumpLog *log, DWORD netIndex, const char *netName, unsigned long long stamp,
                  unsigned long long shown, const RibexFrame *entry);

// Called while candump waits: BLF writes its pending container once it is
// a second old, so that a killed candump leaves a readable file.
void DumpLogTick(DumpLog *log);

// Ends the file (ASC's trigger block, BLF's last container and header) and closes it.
void DumpLogClose(DumpLog *log);
