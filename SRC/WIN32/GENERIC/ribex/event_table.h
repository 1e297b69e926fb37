// The client event table of a net as a whole: how many entries may be
// read, its level-8 dump, and its release with the clients' events.
#pragma once

#include <windows.h>

#include "net_record.h"

// Entries that may be read: noEvents, never more than the table holds
// (0 for no table).
DWORD EventTableCount(const RibexEventTable *pEvents);

// One level-8 line: headFormat (which takes the count as %lu), then
// "\t\t%#x:%#x\n\t\t%#x\n" with id and handle for each of the first ten
// entries.
void TraceEventTable(TraceModule *module, const char *headFormat, const RibexEventTable *pEvents);

// Closes every client's event, clears *ppEvents and frees the block.
// Returns the first error; failures are written as the receive thread's
// lines through module (null: none).
DWORD ReleaseEventTable(RibexEventTable *volatile *ppEvents, TraceModule *module);
