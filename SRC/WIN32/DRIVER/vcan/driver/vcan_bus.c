// The virtual bus: handles' records, their queues and waiting reads, the
// fan-out of writes and the enabled-identifier tables, all under the bus lock.
#include "vcan_bus.h"

// Most (record, handle) deliveries a write does under one hold of the lock;
// the lock is let go between such chunks.
#define VCAN_DELIVERIES_PER_HOLD 256u

// One open handle, kept in its slot (FILE_OBJECT.FsContext).
typedef struct VcanOpen {
    LIST_ENTRY link;          // VcanBus.opens
    PVOID *slot;
    RxMsg *queue;             // ring of capacity records
    ULONG capacity;
    ULONG first;              // oldest queued record
    ULONG count;
    LIST_ENTRY waitingReads;  // VcanRead.link, oldest first
    ULONG lostUnreported;     // frames lost since the last read reported it
    ULONG failNextRead;       // Win32 error for the next read, 0 = none
    ULONG *enabledIds;        // ascending, for a binary search per remote frame
    ULONG noEnabledIds;
    ULONG maxEnabledIds;
    ULONG64 received;
    ULONG64 delivered;
    ULONG64 lost;
    ULONG64 written;
} VcanOpen;

// The handle's record, NULL once the driver's stop detached it. Only under
// the bus lock, and only while it is held: the stop frees detached records.
static VcanOpen *OpenOf(PVOID *slot)
{
    return (VcanOpen *)*slot;
}

static void FreeOpen(VcanOpen *open)
{
    if (open->enabledIds) ExFreePoolWithTag(open->enabledIds, VCAN_POOL_TAG);
    if (open->queue) ExFreePoolWithTag(open->queue, VCAN_POOL_TAG);
    ExFreePoolWithTag(open, VCAN_POOL_TAG);
}

void VcanBusInit(VcanBus *bus, ULONG queueFrames)
{
    KeInitializeSpinLock(&bus->lock);
    ExInitializeFastMutex(&bus->writeMutex);
    InitializeListHead(&bus->opens);
    bus->chunkedWriteActive = FALSE;
    bus->noOpens = 0;
    bus->queueFrames = queueFrames;
}

// ---- reads -------------------------------------------------------------

static void EndRead(VcanRead *read, NTSTATUS status, ULONG_PTR bytes, PLIST_ENTRY served)
{
    read->status = status;
    read->bytes = bytes;
    InsertTailList(served, &read->link);
}

static VcanRead *TakeWaitingRead(VcanOpen *open)
{
    if (IsListEmpty(&open->waitingReads)) return NULL;
    VcanRead *read = CONTAINING_RECORD(RemoveHeadList(&open->waitingReads), VcanRead, link);
    read->waiting = FALSE;
    return read;
}

// Copies as many whole queued records as the read has room for.
static ULONG CopyQueued(VcanOpen *open, VcanRead *read)
{
    ULONG n = read->room < open->count ? read->room : open->count;
    for (ULONG i = 0; i < n; i++) {
        read->records[i] = open->queue[open->first];
        open->first = (open->first + 1) % open->capacity;
    }
    open->count -= n;
    open->delivered += n;
    return n * VCAN_RECORD_SIZE;
}

static BOOLEAN HasSomethingToRead(const VcanOpen *open)
{
    return open->failNextRead || open->lostUnreported || open->count;
}

// What a read of this handle gets now: an injected error, the report of a
// loss, or queued records; the caller has made sure there is one of them.
static void ServeRead(VcanOpen *open, VcanRead *read)
{
    read->bytes = 0;
    read->status = STATUS_SUCCESS;
    if (open->failNextRead) {
        read->status = VcanStatusFromWin32(open->failNextRead);
        open->failNextRead = 0;
    } else if (open->lostUnreported) {
        read->status = VcanStatusFromWin32(VCAN_ERROR_OVERFLOW);
        open->lostUnreported = 0;
    } else {
        read->bytes = CopyQueued(open, read);
    }
}

static void ServeWaitingReads(VcanOpen *open, PLIST_ENTRY served)
{
    while (HasSomethingToRead(open)) {
        VcanRead *read = TakeWaitingRead(open);
        if (!read) return;
        ServeRead(open, read);
        InsertTailList(served, &read->link);
    }
}

static void EndWaitingReads(VcanOpen *open, NTSTATUS status, PLIST_ENTRY served)
{
    VcanRead *read;
    while ((read = TakeWaitingRead(open)) != NULL) EndRead(read, status, 0, served);
}

BOOLEAN VcanBusRead(VcanBus *bus, PVOID *slot, VcanRead *read, BOOLEAN mayWait)
{
    BOOLEAN now = TRUE;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (!open) {
        read->status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
        read->bytes = 0;
    } else if (IsListEmpty(&open->waitingReads) && HasSomethingToRead(open)) {
        ServeRead(open, read);
    } else {
        now = FALSE;
        if (mayWait) {
            read->waiting = TRUE;
            InsertTailList(&open->waitingReads, &read->link);
        }
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return now;
}

BOOLEAN VcanBusWithdrawRead(VcanBus *bus, VcanRead *read)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    BOOLEAN waited = read->waiting;
    if (waited) {
        RemoveEntryList(&read->link);
        read->waiting = FALSE;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return waited;
}

NTSTATUS VcanBusFailNextRead(VcanBus *bus, PVOID *slot, ULONG error, PLIST_ENTRY served)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (open) {
        open->failNextRead = error;
        ServeWaitingReads(open, served);
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return open ? STATUS_SUCCESS : VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
}

// ---- handles -----------------------------------------------------------

NTSTATUS VcanBusAttach(VcanBus *bus, PVOID *slot)
{
    VcanOpen *open = (VcanOpen *)ExAllocatePoolWithTag(NonPagedPool, sizeof(VcanOpen), VCAN_POOL_TAG);
    if (!open) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(open, sizeof(*open));
    open->capacity = bus->queueFrames;
    open->queue = (RxMsg *)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)open->capacity * VCAN_RECORD_SIZE,
                                                 VCAN_POOL_TAG);
    if (!open->queue) {
        FreeOpen(open);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InitializeListHead(&open->waitingReads);
    open->slot = slot;

    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    InsertTailList(&bus->opens, &open->link);
    bus->noOpens++;
    *slot = open;
    KeReleaseSpinLock(&bus->lock, irql);
    return STATUS_SUCCESS;
}

void VcanBusEndReads(VcanBus *bus, PVOID *slot, PLIST_ENTRY served)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (open) EndWaitingReads(open, STATUS_CANCELLED, served);
    KeReleaseSpinLock(&bus->lock, irql);
}

void VcanBusDetach(VcanBus *bus, PVOID *slot, PLIST_ENTRY served)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (open) {
        RemoveEntryList(&open->link);
        bus->noOpens--;
        *slot = NULL;
        EndWaitingReads(open, STATUS_CANCELLED, served);
    }
    KeReleaseSpinLock(&bus->lock, irql);
    if (open) FreeOpen(open);
}

void VcanBusDetachAll(VcanBus *bus, PLIST_ENTRY served)
{
    LIST_ENTRY detached;
    InitializeListHead(&detached);
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    while (!IsListEmpty(&bus->opens)) {
        PLIST_ENTRY entry = RemoveHeadList(&bus->opens);
        VcanOpen *open = CONTAINING_RECORD(entry, VcanOpen, link);
        EndWaitingReads(open, VcanStatusFromWin32(VCAN_ERROR_UNLOADED), served);
        *open->slot = NULL;
        InsertTailList(&detached, entry);
    }
    bus->noOpens = 0;
    KeReleaseSpinLock(&bus->lock, irql);
    while (!IsListEmpty(&detached)) FreeOpen(CONTAINING_RECORD(RemoveHeadList(&detached), VcanOpen, link));
}

BOOLEAN VcanBusIsAttached(VcanBus *bus, PVOID *slot)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    BOOLEAN attached = OpenOf(slot) != NULL;
    KeReleaseSpinLock(&bus->lock, irql);
    return attached;
}

// ---- enabled identifiers -----------------------------------------------

// Position of id in the handle's ascending table, or where it would go.
static ULONG LowerBound(const VcanOpen *open, ULONG id)
{
    ULONG low = 0, high = open->noEnabledIds;
    while (low < high) {
        ULONG mid = low + (high - low) / 2;
        if (open->enabledIds[mid] < id) low = mid + 1;
        else high = mid;
    }
    return low;
}

static BOOLEAN IsIdEnabled(const VcanOpen *open, ULONG id)
{
    ULONG at = LowerBound(open, id);
    return at < open->noEnabledIds && open->enabledIds[at] == id;
}

static NTSTATUS InsertEnabledId(VcanOpen *open, ULONG id)
{
    ULONG at = LowerBound(open, id);
    if (at < open->noEnabledIds && open->enabledIds[at] == id) return STATUS_SUCCESS;  // already
    if (open->noEnabledIds == open->maxEnabledIds) return STATUS_INSUFFICIENT_RESOURCES;
    RtlMoveMemory(&open->enabledIds[at + 1], &open->enabledIds[at], (open->noEnabledIds - at) * sizeof(ULONG));
    open->enabledIds[at] = id;
    open->noEnabledIds++;
    return STATUS_SUCCESS;
}

static BOOLEAN LacksIdTable(VcanBus *bus, PVOID *slot)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    BOOLEAN lacks = open && !open->enabledIds;
    KeReleaseSpinLock(&bus->lock, irql);
    return lacks;
}

NTSTATUS VcanBusEnableId(VcanBus *bus, PVOID *slot, ULONG id)
{
    // The table is allocated outside the lock, once per handle (in vain
    // when another enable of the handle got there first).
    ULONG *fresh = NULL;
    if (LacksIdTable(bus, slot))
        fresh = ExAllocatePoolWithTag(NonPagedPool, VCAN_MAX_ENABLED_IDS * sizeof(ULONG), VCAN_POOL_TAG);
    NTSTATUS status;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (!open) {
        status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    } else if (!open->enabledIds && !fresh) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        if (!open->enabledIds) {
            open->enabledIds = fresh;
            open->maxEnabledIds = VCAN_MAX_ENABLED_IDS;
            fresh = NULL;
        }
        status = InsertEnabledId(open, id);
    }
    KeReleaseSpinLock(&bus->lock, irql);
    if (fresh) ExFreePoolWithTag(fresh, VCAN_POOL_TAG);
    return status;
}

NTSTATUS VcanBusDisableId(VcanBus *bus, PVOID *slot, ULONG id)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    ULONG at = open ? LowerBound(open, id) : 0;
    if (!open) {
        status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    } else if (at < open->noEnabledIds && open->enabledIds[at] == id) {
        open->noEnabledIds--;
        RtlMoveMemory(&open->enabledIds[at], &open->enabledIds[at + 1], (open->noEnabledIds - at) * sizeof(ULONG));
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return status;
}

NTSTATUS VcanBusGetEnabledIds(VcanBus *bus, PVOID *slot, uint32_t *ids, ULONG room, ULONG *count,
                              ULONG *copied)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (!open) {
        KeReleaseSpinLock(&bus->lock, irql);
        return VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    }
    ULONG n = open->noEnabledIds < room ? open->noEnabledIds : room;
    for (ULONG i = 0; i < n; i++) ids[i] = open->enabledIds[i];
    *count = open->noEnabledIds;
    *copied = n;
    KeReleaseSpinLock(&bus->lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS VcanBusGetCounters(VcanBus *bus, PVOID *slot, VcanCounters *out)
{
    RtlZeroMemory(out, sizeof(*out));
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *open = OpenOf(slot);
    if (!open) {
        KeReleaseSpinLock(&bus->lock, irql);
        return VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    }
    out->queued = open->count;
    out->capacity = open->capacity;
    out->received = open->received;
    out->delivered = open->delivered;
    out->lost = open->lost;
    out->written = open->written;
    for (PLIST_ENTRY e = open->waitingReads.Flink; e != &open->waitingReads; e = e->Flink) out->pendingReads++;
    out->openHandles = bus->noOpens;
    KeReleaseSpinLock(&bus->lock, irql);
    return STATUS_SUCCESS;
}

// ---- writes ------------------------------------------------------------

static void Enqueue(VcanOpen *open, const RxMsg *record, ULONG64 stamp, PLIST_ENTRY served)
{
    if (open->count == open->capacity) ServeWaitingReads(open, served);
    if (open->count == open->capacity) {
        open->lost++;
        open->lostUnreported++;
        return;
    }
    RxMsg *slot = &open->queue[(open->first + open->count) % open->capacity];
    *slot = *record;
    slot->timeStamp = stamp;
    open->count++;
    open->received++;
}

// Delivers records [first, first + count) of the write to every handle but
// the writer and serves their waiting reads.
static void Deliver(VcanBus *bus, VcanOpen *writer, const VcanWrite *write, ULONG count, PLIST_ENTRY served)
{
    const RxMsg *records = write->records + write->sent;
    writer->written += count;
    for (PLIST_ENTRY e = bus->opens.Flink; e != &bus->opens; e = e->Flink) {
        VcanOpen *open = CONTAINING_RECORD(e, VcanOpen, link);
        if (open == writer) continue;
        for (ULONG i = 0; i < count; i++) {
            ULONG id = records[i].can.id;
            // A remote frame only reaches a handle that asked for its id.
            if ((id & RX_REMOTE_FRAME_FLAG) && !IsIdEnabled(open, id & ~RX_REMOTE_FRAME_FLAG)) continue;
            Enqueue(open, &records[i], write->stamp, served);
        }
        ServeWaitingReads(open, served);
    }
}

// Records one hold of the lock may deliver: a bounded number of deliveries,
// spread over the handles that receive them, at least one record.
static ULONG RecordsPerHold(const VcanBus *bus)
{
    ULONG receivers = bus->noOpens > 1 ? bus->noOpens - 1 : 1;
    ULONG records = VCAN_DELIVERIES_PER_HOLD / receivers;
    return records ? records : 1;
}

NTSTATUS VcanBusStartWrite(VcanWrite *write, const RxMsg *records, ULONG count)
{
    for (ULONG i = 0; i < count; i++) {
        if (records[i].length > 8) return STATUS_INVALID_PARAMETER;
    }
    write->records = records;
    write->count = count;
    write->sent = 0;
    write->stamp = VcanTimeStamp();
    write->holdsMutex = FALSE;
    return STATUS_SUCCESS;
}

// A write small enough for one hold, while no chunked write is under way,
// goes out at once. FALSE: it has to go in chunks.
static BOOLEAN WriteInOneHold(VcanBus *bus, PVOID *slot, VcanWrite *write, PLIST_ENTRY served,
                              NTSTATUS *status)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    VcanOpen *writer = OpenOf(slot);
    BOOLEAN now = !writer || (!bus->chunkedWriteActive && write->count <= RecordsPerHold(bus));
    if (!writer) {
        *status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    } else if (now) {
        Deliver(bus, writer, write, write->count, served);
        write->sent = write->count;
        *status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return now;
}

// One chunk of a large write; FALSE once the write is over. Writes stay
// whole towards each other: a chunked write holds the write mutex, and
// while it is under way every other write waits for that mutex too, so
// each handle gets every write's records together and in order.
static BOOLEAN WriteChunk(VcanBus *bus, PVOID *slot, VcanWrite *write, PLIST_ENTRY served, NTSTATUS *status)
{
    *status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    // Looked up each time: the driver may have been stopped meanwhile.
    VcanOpen *writer = OpenOf(slot);
    if (!writer) {
        *status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    } else {
        ULONG count = RecordsPerHold(bus);
        if (count > write->count - write->sent) count = write->count - write->sent;
        Deliver(bus, writer, write, count, served);
        write->sent += count;
    }
    bus->chunkedWriteActive = writer && write->sent < write->count;
    KeReleaseSpinLock(&bus->lock, irql);
    return NT_SUCCESS(*status) && write->sent < write->count;
}

BOOLEAN VcanBusWriteNext(VcanBus *bus, PVOID *slot, VcanWrite *write, PLIST_ENTRY served, NTSTATUS *status)
{
    if (!write->holdsMutex) {
        if (WriteInOneHold(bus, slot, write, served, status)) return FALSE;
        ExAcquireFastMutex(&bus->writeMutex);
        write->holdsMutex = TRUE;
    }
    if (WriteChunk(bus, slot, write, served, status)) return TRUE;
    ExReleaseFastMutex(&bus->writeMutex);
    write->holdsMutex = FALSE;
    return FALSE;
}
