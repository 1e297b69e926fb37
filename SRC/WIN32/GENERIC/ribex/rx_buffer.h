// Writing side of a net's shared receive buffer: the lap rule, the marks
// and the publication of new entries. Only a net's receive thread writes
// its buffer; clients in other processes read it without a lock.
#pragma once

#include <windows.h>

#include "rx_buffer_layout.h"

// The creation values: counters and reserved words zero, lap 1, head 0,
// 256 slots with their array offsets, slot 0 marked with lap 1. Slot
// contents are left as they are (a new mapping is all zeros).
void RibexBufferInit(RxBufferLayout *pRxBuffer);

// A buffer left by a server that went away, still mapped by its clients:
// TRUE when its header is one this server writes on from where the old
// one stopped (same lap, same head, so every client's read position stays
// valid); FALSE when it must be set up anew.
BOOL RibexBufferTakeOver(RxBufferLayout *pRxBuffer);

// The slot that head points at, always inside the ring.
DWORD RibexBufferHead(const RxBufferLayout *pRxBuffer);

// Marks slots first .. first + count - 1 with the current lap number and
// a zero error code, so that a reader can tell them from older laps
// before they are overwritten. The range must not pass the ring's end.
void RibexBufferMark(RxBufferLayout *pRxBuffer, DWORD first, DWORD count);

// Publishes n slots that the caller has filled from head on (head + n
// stays within the ring) and stores in *pNoMsgToRead how many frames the
// next device read may ask for without running past the ring's end.
void RibexBufferAdvance(RxBufferLayout *pRxBuffer, DWORD n, DWORD NoMsgPerRead,
                        DWORD *pNoMsgToRead);

// Fills slot `slot` with a frame from the simulated connection, stamped
// now (the driver's clock with a device, else the performance counter).
// Does not publish.
void SimRibexBufferStore(HANDLE hDevice, RxBufferLayout *pRxBuffer, DWORD slot, const RxCan *can,
                         DWORD length, DWORD uniqueIdHigh, DWORD uniqueIdLow, DWORD errorCode);

// Fills `count` slots from head on as device entries (unique id {0, 0})
// with the given error code; frames, when given, are copied into the
// slots' pMsg. An error entry gets a zeroed frame.
void RibexBufferStoreDevice(RxBufferLayout *pRxBuffer, DWORD count, const RxMsg *frames,
                            DWORD errorCode);
