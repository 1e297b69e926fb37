// Reads that wait for frames, safe to cancel at any moment: the IRP side of
// the bus's waiting reads. Wine 8's kernel exports the IoCsq routines, but
// only IoCsqInitialize is implemented there (insert and remove are stubs),
// so the driver keeps its own.
//
// A waiting read is completed exactly once, by whichever of three parties
// lets go of it last: the dispatch that made it wait, the bus that holds it
// until it is served or ended, and its cancel routine while one is set.
#pragma once

#include "vcan_bus.h"

// Makes a read that the bus could not serve at once wait (or serves it, if
// frames came in the meantime). Returns STATUS_PENDING, or completes the IRP
// with the error when there is no memory for the wait.
NTSTATUS VcanPendRead(VcanBus *bus, PVOID *slot, PIRP irp, RxMsg *records, ULONG room);

// Completes the waiting reads that the bus served or ended into served.
void VcanCompleteServedReads(PLIST_ENTRY served);
