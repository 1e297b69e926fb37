// The frames a connection put on the bus come back to it through the net,
// like every frame of the bus. A socketcand client does not expect its own
// frames (a CAN_RAW socket does not receive them by default), so each
// connection remembers what it sent and takes the first matching device
// frame for the echo.
#pragma once

#include <windows.h>

#include "ribex_client.h"

#define RCD_ECHO_SLOTS 32u
#define RCD_ECHO_MAX_AGE_MS 2000u  // an echo not seen by then is forgotten

typedef struct RcdEchoList {
    RxMsg sent[RCD_ECHO_SLOTS];
    DWORD tick[RCD_ECHO_SLOTS];
    DWORD count;  // entries, oldest first
} RcdEchoList;

// Remembers a frame written to the device at tick; the oldest entry goes
// when the list is full.
void RcdEchoAdd(RcdEchoList *list, const RxMsg *sent, DWORD tick);

// TRUE when entry is the echo of a remembered frame (a device frame with
// the same identifier, length and data), which is then forgotten. Entries
// older than RCD_ECHO_MAX_AGE_MS are forgotten first.
BOOL RcdEchoTake(RcdEchoList *list, const RibexFrame *entry, DWORD tick);
