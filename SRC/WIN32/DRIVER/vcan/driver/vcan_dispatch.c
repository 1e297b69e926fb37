// The dispatch layer: each IRP_MJ_ handler decodes its request, lets the
// bus do the work and completes the IRP, and every read the bus served on
// the way, once the bus let go of its lock.
#include "vcan_dispatch.h"

#include "vcan_pending_reads.h"

static VcanDevice *DeviceOf(PDEVICE_OBJECT deviceObject)
{
    return (VcanDevice *)deviceObject->DeviceExtension;
}

// Where the handle keeps its record on the bus; NULL without a file object.
static PVOID *SlotOf(PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return fileObject ? &fileObject->FsContext : NULL;
}

static NTSTATUS CompleteUnloaded(PIRP irp)
{
    return VcanCompleteIrp(irp, VcanStatusFromWin32(VCAN_ERROR_UNLOADED), 0);
}

// ---- create, cleanup, close --------------------------------------------

NTSTATUS VcanDispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!fileObject) return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    // "\\.\VCAN1" only; a path below the device names nothing of ours.
    if (fileObject->FileName.Length) return VcanCompleteIrp(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    return VcanCompleteIrp(irp, VcanBusAttach(&DeviceOf(deviceObject)->bus, &fileObject->FsContext), 0);
}

// Windows sends this when the last handle goes, before CLOSE; reads that
// still wait must end now.
NTSTATUS VcanDispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PVOID *slot = SlotOf(irp);
    LIST_ENTRY served;
    InitializeListHead(&served);
    if (slot) VcanBusEndReads(&DeviceOf(deviceObject)->bus, slot, &served);
    VcanCompleteServedReads(&served);
    return VcanCompleteIrp(irp, STATUS_SUCCESS, 0);
}

// Wine sends no CLEANUP: reads still pending when the handle closes are
// completed here, or their callers would wait for ever.
NTSTATUS VcanDispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PVOID *slot = SlotOf(irp);
    LIST_ENTRY served;
    InitializeListHead(&served);
    if (slot) VcanBusDetach(&DeviceOf(deviceObject)->bus, slot, &served);
    VcanCompleteServedReads(&served);
    return VcanCompleteIrp(irp, STATUS_SUCCESS, 0);
}

void VcanDispatchStopDevice(VcanDevice *device)
{
    LIST_ENTRY served;
    InitializeListHead(&served);
    VcanBusDetachAll(&device->bus, &served);
    VcanCompleteServedReads(&served);
}

// ---- read, write -------------------------------------------------------

NTSTATUS VcanDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanBus *bus = &DeviceOf(deviceObject)->bus;
    PVOID *slot = SlotOf(irp);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length < VCAN_RECORD_SIZE) return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    if (!slot) return CompleteUnloaded(irp);

    VcanRead read;
    RtlZeroMemory(&read, sizeof(read));
    read.records = (RxMsg *)irp->AssociatedIrp.SystemBuffer;
    read.room = length / VCAN_RECORD_SIZE;
    if (VcanBusRead(bus, slot, &read, FALSE)) return VcanCompleteIrp(irp, read.status, read.bytes);
    return VcanPendRead(bus, slot, irp, read.records, read.room);
}

NTSTATUS VcanDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanBus *bus = &DeviceOf(deviceObject)->bus;
    PVOID *slot = SlotOf(irp);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (length % VCAN_RECORD_SIZE) return VcanCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    if (!slot) return CompleteUnloaded(irp);

    VcanWrite write;
    NTSTATUS status = VcanBusStartWrite(&write, (const RxMsg *)irp->AssociatedIrp.SystemBuffer,
                                        length / VCAN_RECORD_SIZE);
    if (!NT_SUCCESS(status)) return VcanCompleteIrp(irp, status, 0);
    BOOLEAN more;
    do {
        LIST_ENTRY served;
        InitializeListHead(&served);
        more = VcanBusWriteNext(bus, slot, &write, &served, &status);
        VcanCompleteServedReads(&served);
    } while (more);
    return VcanCompleteIrp(irp, status, NT_SUCCESS(status) ? length : 0);
}

// ---- control codes -----------------------------------------------------

// Property block: the fixed part, then the device name and the service key
// name, each NUL-terminated; serviceNameIndex points past the device name so
// that a reader who ignores the index gets the wrong name.
static ULONG PropertiesSize(const VcanDevice *device)
{
    ULONG chars = VcanWideLength(device->name) + 1 + VcanWideLength(device->config.serviceName) + 1;
    return CAN_DRV_PROPERTIES_NAMES_OFFSET + chars * (ULONG)sizeof(WCHAR);
}

static NTSTATUS GetPropertiesSize(const VcanDevice *device, void *buffer, ULONG outLength, ULONG_PTR *information)
{
    if (outLength < sizeof(uint32_t)) return STATUS_BUFFER_TOO_SMALL;
    *(uint32_t *)buffer = PropertiesSize(device);
    *information = sizeof(uint32_t);
    return STATUS_SUCCESS;
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
    ULONG nameChars = VcanWideLength(device->name) + 1;
    VcanWideCopy(names, nameChars, device->name, nameChars);
    p->serviceNameIndex = nameChars;
    ULONG serviceChars = VcanWideLength(device->config.serviceName) + 1;
    VcanWideCopy(names + nameChars, serviceChars, device->config.serviceName, serviceChars);
    *information = size;
    return STATUS_SUCCESS;
}

static NTSTATUS GetTimeStamp(void *buffer, ULONG outLength, ULONG_PTR *information)
{
    if (outLength < sizeof(uint64_t)) return STATUS_BUFFER_TOO_SMALL;
    *(uint64_t *)buffer = VcanTimeStamp();
    *information = sizeof(uint64_t);
    return STATUS_SUCCESS;
}

// The identifier is kept exactly as given, as the server keeps it: remote
// frames are looked up with bit 31 cleared, so an entry with bit 31 set
// never matches one.
static NTSTATUS ChangeRemReply(VcanBus *bus, PVOID *slot, BOOLEAN enable, const void *buffer, ULONG inLength)
{
    if (inLength < sizeof(uint32_t)) return STATUS_INVALID_PARAMETER;
    ULONG id = *(const uint32_t *)buffer;
    return enable ? VcanBusEnableId(bus, slot, id) : VcanBusDisableId(bus, slot, id);
}

// A read that already waits counts as the next read.
static NTSTATUS FailNextRead(VcanBus *bus, PVOID *slot, const void *buffer, ULONG inLength)
{
    if (inLength < sizeof(uint32_t)) return STATUS_INVALID_PARAMETER;
    ULONG error = *(const uint32_t *)buffer;
    if (error == 0 || error > 0xFFFF) return STATUS_INVALID_PARAMETER;
    LIST_ENTRY served;
    InitializeListHead(&served);
    NTSTATUS status = VcanBusFailNextRead(bus, slot, error, &served);
    VcanCompleteServedReads(&served);
    return status;
}

static NTSTATUS GetEnabledIds(VcanBus *bus, PVOID *slot, void *buffer, ULONG outLength, ULONG_PTR *information)
{
    if (outLength < sizeof(uint32_t)) return STATUS_BUFFER_TOO_SMALL;
    VcanEnabledIds *out = (VcanEnabledIds *)buffer;
    ULONG room = (outLength - (ULONG)offsetof(VcanEnabledIds, ids)) / sizeof(uint32_t);
    ULONG count = 0, copied = 0;
    NTSTATUS status = VcanBusGetEnabledIds(bus, slot, out->ids, room, &count, &copied);
    if (!NT_SUCCESS(status)) return status;
    out->count = count;
    *information = offsetof(VcanEnabledIds, ids) + copied * sizeof(uint32_t);
    return STATUS_SUCCESS;
}

static NTSTATUS GetCounters(VcanBus *bus, PVOID *slot, void *buffer, ULONG outLength, ULONG_PTR *information)
{
    if (outLength < sizeof(VcanCounters)) return STATUS_BUFFER_TOO_SMALL;
    NTSTATUS status = VcanBusGetCounters(bus, slot, (VcanCounters *)buffer);
    if (NT_SUCCESS(status)) *information = sizeof(VcanCounters);
    return status;
}

// Every code completes at once: the server sends them without OVERLAPPED.
NTSTATUS VcanDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    VcanDevice *device = DeviceOf(deviceObject);
    VcanBus *bus = &device->bus;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    PVOID *slot = SlotOf(irp);
    if (!slot || !VcanBusIsAttached(bus, slot)) return CompleteUnloaded(irp);

    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CAN_GET_PROPERTIES_SIZE:
        status = GetPropertiesSize(device, buffer, outLength, &information);
        break;
    case IOCTL_CAN_GET_PROPERTIES:
        status = GetProperties(device, buffer, outLength, &information);
        break;
    case IOCTL_CAN_GET_TIMESTAMP:
        status = GetTimeStamp(buffer, outLength, &information);
        break;
    case IOCTL_CAN_ENABLE_REMREPLY:
        status = ChangeRemReply(bus, slot, TRUE, buffer, inLength);
        break;
    case IOCTL_CAN_DISABLE_REMREPLY:
        status = ChangeRemReply(bus, slot, FALSE, buffer, inLength);
        break;
    case IOCTL_VCAN_FAIL_NEXT_READ:
        status = FailNextRead(bus, slot, buffer, inLength);
        break;
    case IOCTL_VCAN_GET_ENABLED_IDS:
        status = GetEnabledIds(bus, slot, buffer, outLength, &information);
        break;
    case IOCTL_VCAN_GET_COUNTERS:
        status = GetCounters(bus, slot, buffer, outLength, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return VcanCompleteIrp(irp, status, information);
}
