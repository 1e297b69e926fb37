// The dump tool's output: one candump log line per receive-buffer entry,
// and (from can_bus_load.h) the bus time a frame takes on the wire.
#pragma once

#include <windows.h>

#include "can_bus_load.h"
#include "ribex_client.h"

// "123" for a standard, "0001ABCD" for an extended identifier (bit 31, the
// remote-frame mark, must be clear).
void FormatCanId(DWORD canId, char *text, size_t size);

// "(seconds.microseconds) NET ID#DATA", "ID#R" for a remote frame, a Linux
// CAN error frame "NET 20000084#..." for an error entry (can_error_frame.h).
// stamp is in 100 ns units.
void FormatDumpLine(unsigned long long stamp, const char *netName, const RibexFrame *frame, char *line,
                    size_t size);
