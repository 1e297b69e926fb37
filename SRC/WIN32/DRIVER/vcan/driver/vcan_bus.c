// The virtual bus: opening and closing handles, writes that fan out to
// every other handle of the device, reads that take whole records from the
// handle's own queue or wait for them.
#include "vcan_driver.h"

static DRIVER_CANCEL VcanCancelRead;

static VcanDevice *DeviceOf(PDEVICE_OBJECT deviceObject)
{
    return (VcanDevice *)deviceObject->DeviceExtension;
}

VcanOpen *VcanOpenOfFile(PFILE_OBJECT fileObject)
{
    return fileObject ? (VcanOpen *)fileObject->FsContext : NULL;
}

static VcanOpen *OpenOf(PIRP irp)
{
    return VcanOpenOfFile(IoGetCurrentIrpStackLocation(irp)->FileObject);
}

static void FreeOpen(VcanOpen *open)
{
    if (open->enabledIds) ExFreePoolWithTag(open->enabledIds, VCAN_POOL_TAG);
    if (open->queue) ExFreePoolWithTag(open->queue, VCAN_POOL_TAG);
    ExFreePoolWithTag(open, VCAN_POOL_TAG);
}

// Takes the oldest pending read off the list, or NULL. A read whose cancel
// routine has already started belongs to that routine: it is unlinked (the
// routine's own unlink then does nothing) and skipped.
static PIRP TakePendingRead(VcanOpen *open)
{
    while (!IsListEmpty(&open->pendingReads)) {
        PLIST_ENTRY entry = RemoveHeadList(&open->pendingReads);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) return irp;
        InitializeListHead(entry);
    }
    return NULL;
}

static void DeferCompletion(PLIST_ENTRY done, PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

// IRPs are completed only after the spin lock is released.
static void CompleteDeferred(PLIST_ENTRY done)
{
    while (!IsListEmpty(done)) {
        PLIST_ENTRY entry = RemoveHeadList(done);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// Copies as many whole queued records as the read asked for.
static ULONG CopyQueued(VcanOpen *open, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    RxMsg *dst = (RxMsg *)irp->AssociatedIrp.SystemBuffer;
    ULONG wanted = sp->Parameters.Read.Length / VCAN_RECORD_SIZE;
    ULONG n = wanted < open->count ? wanted : open->count;
    for (ULONG i = 0; i < n; i++) {
        dst[i] = open->queue[open->first];
        open->first = (open->first + 1) % open->capacity;
    }
    open->count -= n;
    open->delivered += n;
    return n * VCAN_RECORD_SIZE;
}

// What a read of this handle gets now: an injected error, the report of a
// loss, queued records, or nothing yet (FALSE: the read has to wait).
static BOOLEAN ServeRead(VcanOpen *open, PIRP irp, NTSTATUS *status, ULONG_PTR *information)
{
    *information = 0;
    if (open->failNextRead) {
        *status = VcanStatusFromWin32(open->failNextRead);
        open->failNextRead = 0;
        return TRUE;
    }
    if (open->lostUnreported) {
        *status = VcanStatusFromWin32(VCAN_ERROR_OVERFLOW);
        open->lostUnreported = 0;
        return TRUE;
    }
    if (open->count) {
        *information = CopyQueued(open, irp);
        *status = STATUS_SUCCESS;
        return TRUE;
    }
    return FALSE;
}

static void ServePendingReads(VcanOpen *open, PLIST_ENTRY done)
{
    while (open->failNextRead || open->lostUnreported || open->count) {
        PIRP irp = TakePendingRead(open);
        if (!irp) return;
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
        ServeRead(open, irp, &status, &information);
        DeferCompletion(done, irp, status, information);
    }
}

static void CancelAllPendingReads(VcanOpen *open, PLIST_ENTRY done, NTSTATUS status)
{
    PIRP irp;
    while ((irp = TakePendingRead(open)) != NULL) DeferCompletion(done, irp, status, 0);
}

static void Enqueue(VcanOpen *open, const RxMsg *record, ULONG64 stamp, PLIST_ENTRY done)
{
    if (open->count == open->capacity) ServePendingReads(open, done);
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

static void VcanCancelRead(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanDevice *device = DeviceOf(deviceObject);
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&device->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&device->lock, irql);
    VcanCompleteIrp(irp, STATUS_CANCELLED, 0);
}

NTSTATUS VcanDispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanDevice *device = DeviceOf(deviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (!sp->FileObject) return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    // "\\.\VCAN1" only; a path below the device names nothing of ours.
    if (sp->FileObject->FileName.Length) return VcanCompleteIrp(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);

    VcanOpen *open = (VcanOpen *)ExAllocatePoolWithTag(NonPagedPool, sizeof(VcanOpen), VCAN_POOL_TAG);
    if (!open) return VcanCompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(open, sizeof(*open));
    open->capacity = device->config.queueFrames;
    open->queue = (RxMsg *)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)open->capacity * VCAN_RECORD_SIZE,
                                                 VCAN_POOL_TAG);
    if (!open->queue) {
        FreeOpen(open);
        return VcanCompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    InitializeListHead(&open->pendingReads);
    open->fileObject = sp->FileObject;
    sp->FileObject->FsContext = open;

    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    InsertTailList(&device->opens, &open->link);
    device->noOpens++;
    KeReleaseSpinLock(&device->lock, irql);
    return VcanCompleteIrp(irp, STATUS_SUCCESS, 0);
}

// Ends every read still waiting on this handle as cancelled; with detach the
// handle also leaves the device in the same hold of the lock, so no write
// can queue for it in between, and the detached record is returned for the
// caller to free (NULL: the driver's stop has taken it already). The reads
// complete once the lock is free.
static VcanOpen *CancelReadsOfOpen(VcanDevice *device, PIRP irp, BOOLEAN detach)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = OpenOf(irp);
    if (open && detach) {
        RemoveEntryList(&open->link);
        device->noOpens--;
        open->fileObject->FsContext = NULL;
    }
    if (open) CancelAllPendingReads(open, &done, STATUS_CANCELLED);
    KeReleaseSpinLock(&device->lock, irql);
    CompleteDeferred(&done);
    return detach ? open : NULL;
}

// Windows sends this when the last handle goes, before CLOSE; reads that
// still wait must end now.
NTSTATUS VcanDispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CancelReadsOfOpen(DeviceOf(deviceObject), irp, FALSE);
    return VcanCompleteIrp(irp, STATUS_SUCCESS, 0);
}

// Wine sends no CLEANUP: reads still pending when the handle closes are
// completed here, or their callers would wait for ever.
NTSTATUS VcanDispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanOpen *open = CancelReadsOfOpen(DeviceOf(deviceObject), irp, TRUE);
    if (open) FreeOpen(open);
    return VcanCompleteIrp(irp, STATUS_SUCCESS, 0);
}

// At unload: every handle still open loses its pending reads and its queue;
// later requests on it find no context and fail.
void VcanDetachAllOpens(VcanDevice *device)
{
    LIST_ENTRY done;
    LIST_ENTRY detached;
    InitializeListHead(&done);
    InitializeListHead(&detached);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    while (!IsListEmpty(&device->opens)) {
        PLIST_ENTRY entry = RemoveHeadList(&device->opens);
        VcanOpen *open = CONTAINING_RECORD(entry, VcanOpen, link);
        CancelAllPendingReads(open, &done, VcanStatusFromWin32(VCAN_ERROR_UNLOADED));
        open->fileObject->FsContext = NULL;
        InsertTailList(&detached, entry);
    }
    device->noOpens = 0;
    KeReleaseSpinLock(&device->lock, irql);
    CompleteDeferred(&done);
    while (!IsListEmpty(&detached)) {
        PLIST_ENTRY entry = RemoveHeadList(&detached);
        FreeOpen(CONTAINING_RECORD(entry, VcanOpen, link));
    }
}

NTSTATUS VcanDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanDevice *device = DeviceOf(deviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.Read.Length < VCAN_RECORD_SIZE) {
        return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }

    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = OpenOf(irp);
    if (!open) {
        KeReleaseSpinLock(&device->lock, irql);
        return VcanCompleteIrp(irp, VcanStatusFromWin32(VCAN_ERROR_UNLOADED), 0);
    }
    NTSTATUS status;
    ULONG_PTR information;
    // Reads already waiting go first, so frames keep their order.
    if (IsListEmpty(&open->pendingReads) && ServeRead(open, irp, &status, &information)) {
        KeReleaseSpinLock(&device->lock, irql);
        return VcanCompleteIrp(irp, status, information);
    }
    InsertTailList(&open->pendingReads, &irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, VcanCancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&device->lock, irql);
        VcanCompleteIrp(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&device->lock, irql);
    return STATUS_PENDING;
}

// Delivers records [first, first + count) to every handle but the writer
// and serves their waiting reads; the caller holds the device lock.
static void Deliver(VcanDevice *device, VcanOpen *writer, const RxMsg *records, ULONG first,
                    ULONG count, ULONG64 stamp, PLIST_ENTRY done)
{
    writer->written += count;
    for (PLIST_ENTRY e = device->opens.Flink; e != &device->opens; e = e->Flink) {
        VcanOpen *open = CONTAINING_RECORD(e, VcanOpen, link);
        if (open == writer) continue;
        for (ULONG i = first; i < first + count; i++) {
            ULONG id = records[i].can.id;
            // A remote frame only reaches a handle that asked for its id.
            if ((id & RX_REMOTE_FRAME_FLAG) && !VcanIsIdEnabled(open, id & ~RX_REMOTE_FRAME_FLAG))
                continue;
            Enqueue(open, &records[i], stamp, done);
        }
        ServePendingReads(open, done);
    }
}

// Records one hold of the lock may deliver: a bounded number of deliveries,
// spread over the handles that receive them, at least one record.
static ULONG RecordsPerHold(const VcanDevice *device)
{
    ULONG receivers = device->noOpens > 1 ? device->noOpens - 1 : 1;
    ULONG records = VCAN_DELIVERIES_PER_HOLD / receivers;
    return records ? records : 1;
}

// A write small enough for one hold, while no chunked write is under way,
// goes out at once. FALSE: it has to go in chunks. *status is set when done.
static BOOLEAN WriteInOneHold(VcanDevice *device, PIRP irp, const RxMsg *records, ULONG n,
                              ULONG64 stamp, NTSTATUS *status)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *writer = OpenOf(irp);
    BOOLEAN now = !writer || (!device->chunkedWriteActive && n <= RecordsPerHold(device));
    if (!writer) *status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    else if (now) Deliver(device, writer, records, 0, n, stamp, &done);
    KeReleaseSpinLock(&device->lock, irql);
    CompleteDeferred(&done);
    return now;
}

// A large write goes out in chunks, the spin lock let go in between so that
// reads, control codes and other processors are not held up for the whole
// write. Writes stay whole towards each other, as in one hold: a chunked
// write holds the write mutex, and while it is under way every other write
// waits for that mutex too, so each handle gets every write's records
// together and in order.
static NTSTATUS WriteInChunks(VcanDevice *device, PIRP irp, const RxMsg *records, ULONG n,
                              ULONG64 stamp)
{
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireFastMutex(&device->writeMutex);
    ULONG first = 0;
    do {
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&device->lock, &irql);
        // Looked up each time: the driver may have been stopped meanwhile.
        VcanOpen *writer = OpenOf(irp);
        if (!writer) {
            status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
        } else {
            ULONG count = RecordsPerHold(device);
            if (count > n - first) count = n - first;
            Deliver(device, writer, records, first, count, stamp, &done);
            first += count;
        }
        device->chunkedWriteActive = writer && first < n;
        KeReleaseSpinLock(&device->lock, irql);
        CompleteDeferred(&done);
    } while (NT_SUCCESS(status) && first < n);
    ExReleaseFastMutex(&device->writeMutex);
    return status;
}

NTSTATUS VcanDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanDevice *device = DeviceOf(deviceObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG length = sp->Parameters.Write.Length;
    const RxMsg *records = (const RxMsg *)irp->AssociatedIrp.SystemBuffer;
    ULONG n = length / VCAN_RECORD_SIZE;

    // Whole records with at most 8 data bytes, or nothing goes on the bus.
    if (length % VCAN_RECORD_SIZE) return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    for (ULONG i = 0; i < n; i++) {
        if (records[i].length > 8) return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }

    ULONG64 stamp = VcanTimeStamp();
    NTSTATUS status = STATUS_SUCCESS;
    if (!WriteInOneHold(device, irp, records, n, stamp, &status))
        status = WriteInChunks(device, irp, records, n, stamp);
    return VcanCompleteIrp(irp, status, NT_SUCCESS(status) ? length : 0);
}

// A read that already waits counts as the next read.
NTSTATUS VcanFailNextRead(VcanDevice *device, PFILE_OBJECT fileObject, ULONG error)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = VcanOpenOfFile(fileObject);
    if (open) {
        open->failNextRead = error;
        ServePendingReads(open, &done);
    }
    KeReleaseSpinLock(&device->lock, irql);
    CompleteDeferred(&done);
    return open ? STATUS_SUCCESS : VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
}
