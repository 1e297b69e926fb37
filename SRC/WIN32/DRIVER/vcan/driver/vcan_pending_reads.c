// Waiting reads and their cancellation. The bus keeps each waiting read's
// VcanRead under its lock; this side adds the IRP and counts who still
// holds it, with interlocked operations only.
#include "vcan_pending_reads.h"

typedef struct VcanPendingRead {
    VcanRead read;   // first: a served list links these
    VcanBus *bus;
    PIRP irp;
    LONG holds;      // the dispatch, the bus, the cancel routine
} VcanPendingRead;

#define VCAN_HOLDS_OF_A_NEW_READ 3

static DRIVER_CANCEL CancelPendingRead;

static VcanPendingRead *PendingReadOf(PIRP irp)
{
    return (VcanPendingRead *)irp->Tail.Overlay.DriverContext[0];
}

// The last to let go completes the read with what the bus (or the cancel)
// left in it.
static void LetGo(VcanPendingRead *pending)
{
    if (InterlockedDecrement(&pending->holds) != 0) return;
    PIRP irp = pending->irp;
    NTSTATUS status = pending->read.status;
    ULONG_PTR bytes = pending->read.bytes;
    ExFreePoolWithTag(pending, VCAN_POOL_TAG);
    VcanCompleteIrp(irp, status, bytes);
}

// The bus is done with the read: it lets go, and so does the cancel routine
// unless it has already started (it then lets go itself).
static void LetGoServed(VcanPendingRead *pending)
{
    if (IoSetCancelRoutine(pending->irp, NULL) != NULL) LetGo(pending);
    LetGo(pending);
}

// Takes the read from the bus if it still waits there: the bus's hold
// passes to the caller, who lets go of it with the read cancelled.
static void WithdrawAsCancelled(VcanPendingRead *pending)
{
    if (!VcanBusWithdrawRead(pending->bus, &pending->read)) return;  // served: its server completes it
    pending->read.status = STATUS_CANCELLED;
    pending->read.bytes = 0;
    LetGo(pending);
}

static void CancelPendingRead(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    VcanPendingRead *pending = PendingReadOf(irp);
    WithdrawAsCancelled(pending);
    LetGo(pending);
}

NTSTATUS VcanPendRead(VcanBus *bus, PVOID *slot, PIRP irp, RxMsg *records, ULONG room)
{
    VcanPendingRead *pending =
        (VcanPendingRead *)ExAllocatePoolWithTag(NonPagedPool, sizeof(VcanPendingRead), VCAN_POOL_TAG);
    if (!pending) return VcanCompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(pending, sizeof(*pending));
    pending->read.records = records;
    pending->read.room = room;
    pending->bus = bus;
    pending->irp = irp;
    pending->holds = VCAN_HOLDS_OF_A_NEW_READ;
    irp->Tail.Overlay.DriverContext[0] = pending;

    // Pending and cancellable before the bus has it: from then on a write
    // of another thread may serve it, a cancel may end it.
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelPendingRead);
    if (VcanBusRead(bus, slot, &pending->read, TRUE)) LetGoServed(pending);
    // A cancel that came before the routine was set called no routine.
    if (irp->Cancel) {
        WithdrawAsCancelled(pending);
        if (IoSetCancelRoutine(irp, NULL) != NULL) LetGo(pending);
    }
    LetGo(pending);
    return STATUS_PENDING;
}

void VcanCompleteServedReads(PLIST_ENTRY served)
{
    while (!IsListEmpty(served)) {
        VcanRead *read = CONTAINING_RECORD(RemoveHeadList(served), VcanRead, link);
        LetGoServed(CONTAINING_RECORD(read, VcanPendingRead, read));
    }
}
