// The virtual bus of one device: handles that attach and detach, writes
// that fan out to every other handle, reads that take whole records from
// the handle's own queue or wait for them, the remote-frame identifiers
// each handle enables, and the counters. The bus knows nothing of IRPs:
// a handle is the slot where it keeps its record (its file object's
// FsContext), a read is a VcanRead, and reads that the bus ends are handed
// back in a list for the caller to complete once the bus let go of its lock.
#pragma once

#include "vcan_helpers.h"

#include "rx_buffer_layout.h"
#include "vcan_ioctl.h"

#define VCAN_RECORD_SIZE ((ULONG)sizeof(RxMsg))

// The lock guards opens, noOpens and chunkedWriteActive, every handle's
// record (its queue, waiting reads, enabled identifiers and counters),
// every VcanRead while it waits, and the handles' slots. It is the only
// spin lock of the driver; writeMutex only orders chunked writes.
typedef struct VcanBus {
    KSPIN_LOCK lock;
    FAST_MUTEX writeMutex;       // held by a write that goes out in chunks
    BOOLEAN chunkedWriteActive;  // such a write is under way: others wait for the mutex
    LIST_ENTRY opens;            // the handles' records
    ULONG noOpens;
    ULONG queueFrames;           // each handle's queue holds this many records
} VcanBus;

// A read of whole records. The bus fills records and sets status and bytes
// when it serves the read; link and waiting are the bus's while it waits.
typedef struct VcanRead {
    LIST_ENTRY link;   // the handle's waiting reads, then the list of served ones
    RxMsg *records;
    ULONG room;        // records that fit
    BOOLEAN waiting;
    NTSTATUS status;
    ULONG_PTR bytes;
} VcanRead;

// A write under way: started by VcanBusStartWrite, taken on by
// VcanBusWriteNext until that returns FALSE.
typedef struct VcanWrite {
    const RxMsg *records;
    ULONG count;
    ULONG sent;
    ULONG64 stamp;        // one arrival time for all records of the write
    BOOLEAN holdsMutex;
} VcanWrite;

void VcanBusInit(VcanBus *bus, ULONG queueFrames);

// A new handle: its record goes into *slot.
NTSTATUS VcanBusAttach(VcanBus *bus, PVOID *slot);
// Ends every read still waiting on the handle as cancelled.
void VcanBusEndReads(VcanBus *bus, PVOID *slot, PLIST_ENTRY served);
// The handle leaves the bus in one hold of the lock, so no write can queue
// for it in between; its waiting reads end as cancelled. Nothing happens
// when the driver's stop took the record already.
void VcanBusDetach(VcanBus *bus, PVOID *slot, PLIST_ENTRY served);
// At the driver's stop: every handle loses its waiting reads (they end with
// VCAN_ERROR_UNLOADED) and its record; later requests on it find no record.
void VcanBusDetachAll(VcanBus *bus, PLIST_ENTRY served);
BOOLEAN VcanBusIsAttached(VcanBus *bus, PVOID *slot);

// Serves the read now (TRUE: status and bytes are set) or, with mayWait,
// keeps it waiting (FALSE); without mayWait FALSE means it would wait and
// nothing changed. Reads already waiting go first, so frames keep their order.
BOOLEAN VcanBusRead(VcanBus *bus, PVOID *slot, VcanRead *read, BOOLEAN mayWait);
// Takes a waiting read out again: TRUE when it still waited, FALSE when the
// bus has served or ended it already (it is then in someone's served list).
BOOLEAN VcanBusWithdrawRead(VcanBus *bus, VcanRead *read);

// Whole records with at most 8 data bytes, or nothing goes on the bus.
NTSTATUS VcanBusStartWrite(VcanWrite *write, const RxMsg *records, ULONG count);
// Delivers the next part of the write to every other handle of the bus.
// TRUE: more is to go (complete the served reads, call again); FALSE: the
// write is over with *status. A small write goes in one hold of the lock,
// a large one in chunks with the lock let go in between.
BOOLEAN VcanBusWriteNext(VcanBus *bus, PVOID *slot, VcanWrite *write, PLIST_ENTRY served, NTSTATUS *status);

// The next read of the handle, or the one waiting, fails with error.
NTSTATUS VcanBusFailNextRead(VcanBus *bus, PVOID *slot, ULONG error, PLIST_ENTRY served);

// The identifiers whose remote frames reach the handle, each kept exactly
// as given: frames are looked up with bit 31 cleared.
NTSTATUS VcanBusEnableId(VcanBus *bus, PVOID *slot, ULONG id);
NTSTATUS VcanBusDisableId(VcanBus *bus, PVOID *slot, ULONG id);
// Copies up to room identifiers in ascending order; *count is the full number.
NTSTATUS VcanBusGetEnabledIds(VcanBus *bus, PVOID *slot, uint32_t *ids, ULONG room, ULONG *count,
                              ULONG *copied);

NTSTATUS VcanBusGetCounters(VcanBus *bus, PVOID *slot, VcanCounters *out);
