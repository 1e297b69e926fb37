// A client's walk over a net's shared receive buffer: its own read
// position and the lap number it expects there. The writer marks a slot
// with its next lap number before it overwrites it, so a slot that shows
// another lap number than expected tells the reader that it was lapped.
#pragma once

#include <windows.h>

#include "ribex_client.h"
#include "rx_buffer_layout.h"

typedef struct RxReader {
    DWORD pos;  // next slot to read, 0..255
    DWORD lap;  // lap number slot pos carries when it holds the awaited frame
} RxReader;

// Positions the reader at the writer's head: only frames published from
// now on are read. FALSE (ERROR_INVALID_DATA) when the header is not the
// layout this library knows.
BOOL RxReaderStart(RxReader *pReader, const RxBufferLayout *pBuffer);

// Copies up to maxFrames published entries. *pLostFrames gets the number
// of entries skipped because the writer overwrote them before they were
// read. FALSE (ERROR_INVALID_DATA) when the header holds impossible values.
BOOL RxReaderRead(RxReader *pReader, const RxBufferLayout *pBuffer, RibexFrame *frames,
                  DWORD maxFrames, DWORD *pNoFrames, DWORD *pLostFrames);
