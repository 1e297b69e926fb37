// Device control codes: the five every CAN driver answers (all complete at
// once) and our own for fault injection and inspection.
#include "vcan_driver.h"

static ULONG WideLength(const WCHAR *s)
{
    ULONG n = 0;
    while (s[n]) n++;
    return n;
}

// Property block: the fixed part, then the device name and the service key
// name, each NUL-terminated; serviceNameIndex points past the device name so
// that a reader who ignores the index gets the wrong name.
static ULONG PropertiesSize(const VcanDevice *device)
{
    ULONG chars = WideLength(device->name) + 1 + WideLength(device->config.serviceName) + 1;
    return CAN_DRV_PROPERTIES_NAMES_OFFSET + chars * (ULONG)sizeof(WCHAR);
}

static NTSTATUS GetProperties(const VcanDevice *device, void *buffer, ULONG outLength, ULONG_PTR *information)
{
    ULONG size = PropertiesSize(device);
    if (outLength < size) return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(buffer, size);
    CanDrvProperties *p = (CanDrvProperties *)buffer;
    p->majorVersion = device->config.majorVersion;
    p->minorVersion = device->config.minorVersion;
    WCHAR *names = (WCHAR *)((UCHAR *)buffer + CAN_DRV_PROPERTIES_NAMES_OFFSET);
    ULONG at = 0;
    for (const WCHAR *s = device->name; *s; s++) names[at++] = *s;
    names[at++] = 0;
    p->serviceNameIndex = at;
    for (const WCHAR *s = device->config.serviceName; *s; s++) names[at++] = *s;
    names[at] = 0;
    *information = size;
    return STATUS_SUCCESS;
}

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

BOOLEAN VcanIsIdEnabled(const VcanOpen *open, ULONG id)
{
    ULONG at = LowerBound(open, id);
    return at < open->noEnabledIds && open->enabledIds[at] == id;
}

// Adds id to the handle's ascending table; the caller holds the lock.
static NTSTATUS InsertEnabledId(VcanOpen *open, ULONG id)
{
    ULONG at = LowerBound(open, id);
    if (at < open->noEnabledIds && open->enabledIds[at] == id) return STATUS_SUCCESS;  // already
    if (open->noEnabledIds == open->maxEnabledIds) return STATUS_INSUFFICIENT_RESOURCES;
    RtlMoveMemory(&open->enabledIds[at + 1], &open->enabledIds[at],
                  (open->noEnabledIds - at) * sizeof(ULONG));
    open->enabledIds[at] = id;
    open->noEnabledIds++;
    return STATUS_SUCCESS;
}

// Every handler below looks the handle's record up under the device lock
// and lets go of it with the lock: the driver's stop detaches and frees
// the records of open handles under that lock.

// Whether the handle still lacks its table of enabled identifiers.
static BOOLEAN LacksIdTable(VcanDevice *device, PFILE_OBJECT fileObject)
{
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = VcanOpenOfFile(fileObject);
    BOOLEAN lacks = open && !open->enabledIds;
    KeReleaseSpinLock(&device->lock, irql);
    return lacks;
}

static NTSTATUS EnableRemReply(VcanDevice *device, PFILE_OBJECT fileObject, ULONG id)
{
    // The table is allocated outside the lock, once per handle (in vain
    // when another enable of the handle got there first).
    ULONG *fresh = NULL;
    if (LacksIdTable(device, fileObject))
        fresh = ExAllocatePoolWithTag(NonPagedPool, VCAN_MAX_ENABLED_IDS * sizeof(ULONG),
                                      VCAN_POOL_TAG);
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = VcanOpenOfFile(fileObject);
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
    KeReleaseSpinLock(&device->lock, irql);
    if (fresh) ExFreePoolWithTag(fresh, VCAN_POOL_TAG);
    return status;
}

static NTSTATUS DisableRemReply(VcanDevice *device, PFILE_OBJECT fileObject, ULONG id)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = VcanOpenOfFile(fileObject);
    ULONG at = open ? LowerBound(open, id) : 0;
    if (!open) {
        status = VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    } else if (at < open->noEnabledIds && open->enabledIds[at] == id) {
        open->noEnabledIds--;
        RtlMoveMemory(&open->enabledIds[at], &open->enabledIds[at + 1],
                      (open->noEnabledIds - at) * sizeof(ULONG));
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&device->lock, irql);
    return status;
}

static NTSTATUS GetEnabledIds(VcanDevice *device, PFILE_OBJECT fileObject, void *buffer,
                              ULONG outLength, ULONG_PTR *information)
{
    if (outLength < sizeof(uint32_t)) return STATUS_BUFFER_TOO_SMALL;
    VcanEnabledIds *out = (VcanEnabledIds *)buffer;
    ULONG room = (outLength - (ULONG)offsetof(VcanEnabledIds, ids)) / sizeof(uint32_t);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = VcanOpenOfFile(fileObject);
    if (!open) {
        KeReleaseSpinLock(&device->lock, irql);
        return VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    }
    ULONG n = open->noEnabledIds < room ? open->noEnabledIds : room;
    out->count = open->noEnabledIds;
    for (ULONG i = 0; i < n; i++) out->ids[i] = open->enabledIds[i];
    KeReleaseSpinLock(&device->lock, irql);
    *information = offsetof(VcanEnabledIds, ids) + n * sizeof(uint32_t);
    return STATUS_SUCCESS;
}

static NTSTATUS GetCounters(VcanDevice *device, PFILE_OBJECT fileObject, void *buffer,
                            ULONG outLength, ULONG_PTR *information)
{
    if (outLength < sizeof(VcanCounters)) return STATUS_BUFFER_TOO_SMALL;
    VcanCounters *out = (VcanCounters *)buffer;
    RtlZeroMemory(out, sizeof(*out));
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    VcanOpen *open = VcanOpenOfFile(fileObject);
    if (!open) {
        KeReleaseSpinLock(&device->lock, irql);
        return VcanStatusFromWin32(VCAN_ERROR_UNLOADED);
    }
    out->queued = open->count;
    out->capacity = open->capacity;
    out->received = open->received;
    out->delivered = open->delivered;
    out->lost = open->lost;
    out->written = open->written;
    for (PLIST_ENTRY e = open->pendingReads.Flink; e != &open->pendingReads; e = e->Flink) {
        out->pendingReads++;
    }
    out->openHandles = device->noOpens;
    KeReleaseSpinLock(&device->lock, irql);
    *information = sizeof(VcanCounters);
    return STATUS_SUCCESS;
}

static NTSTATUS FailNextRead(VcanDevice *device, PFILE_OBJECT fileObject, ULONG error)
{
    if (error == 0 || error > 0xFFFF) return STATUS_INVALID_PARAMETER;
    return VcanFailNextRead(device, fileObject, error);
}

// Whether the driver still holds a record for the handle.
static BOOLEAN IsAttached(VcanDevice *device, PFILE_OBJECT fileObject)
{
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    BOOLEAN attached = VcanOpenOfFile(fileObject) != NULL;
    KeReleaseSpinLock(&device->lock, irql);
    return attached;
}

NTSTATUS VcanDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanDevice *device = (VcanDevice *)deviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;
    NTSTATUS status;

    PFILE_OBJECT fileObject = sp->FileObject;
    if (!IsAttached(device, fileObject))
        return VcanCompleteIrp(irp, VcanStatusFromWin32(VCAN_ERROR_UNLOADED), 0);

    switch (code) {
    case IOCTL_CAN_GET_PROPERTIES_SIZE:
        if (outLength < sizeof(uint32_t)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            *(uint32_t *)buffer = PropertiesSize(device);
            information = sizeof(uint32_t);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CAN_GET_PROPERTIES:
        status = GetProperties(device, buffer, outLength, &information);
        break;
    case IOCTL_CAN_GET_TIMESTAMP:
        if (outLength < sizeof(uint64_t)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            *(uint64_t *)buffer = VcanTimeStamp();
            information = sizeof(uint64_t);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CAN_ENABLE_REMREPLY:
    case IOCTL_CAN_DISABLE_REMREPLY:
        if (inLength < sizeof(uint32_t)) {
            // The identifier is kept exactly as given, as the server keeps
            // it: remote frames are looked up with bit 31 cleared, so an
            // entry with bit 31 set never matches one.
            status = STATUS_INVALID_PARAMETER;
        } else {
            ULONG id = *(const uint32_t *)buffer;
            status = code == IOCTL_CAN_ENABLE_REMREPLY ? EnableRemReply(device, fileObject, id)
                                                       : DisableRemReply(device, fileObject, id);
        }
        break;
    case IOCTL_VCAN_FAIL_NEXT_READ:
        status = inLength < sizeof(uint32_t) ? STATUS_INVALID_PARAMETER
                                             : FailNextRead(device, fileObject, *(const uint32_t *)buffer);
        break;
    case IOCTL_VCAN_GET_ENABLED_IDS:
        status = GetEnabledIds(device, fileObject, buffer, outLength, &information);
        break;
    case IOCTL_VCAN_GET_COUNTERS:
        status = GetCounters(device, fileObject, buffer, outLength, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return VcanCompleteIrp(irp, status, information);
}
