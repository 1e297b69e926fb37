// Driver start and unload: reads the service key, creates the devices
// VCAN1..VCANn (or whatever prefix the key names) with their symbolic
// links, and tears them down again, open handles or not.
#include "vcan_driver.h"

static void VcanUnload(PDRIVER_OBJECT driverObject);

NTSTATUS VcanCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Errors travel as NT status values with the Win32 facility, so that the
// program sees exactly the Win32 code the driver meant.
NTSTATUS VcanStatusFromWin32(ULONG error)
{
    return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
}

// The performance counter in 100 ns units, split so that a counter of
// many days times 10^7 does not overflow 64 bits.
ULONG64 VcanTimeStamp(void)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    ULONG64 f = frequency.QuadPart > 0 ? (ULONG64)frequency.QuadPart : 1;
    ULONG64 c = (ULONG64)counter.QuadPart;
    return (c / f) * 10000000ull + ((c % f) * 10000000ull) / f;
}

static ULONG WideLength(const WCHAR *s)
{
    ULONG n = 0;
    while (s[n]) n++;
    return n;
}

static void WideCopy(WCHAR *dst, ULONG dstChars, const WCHAR *src, ULONG srcChars)
{
    ULONG n = srcChars < dstChars - 1 ? srcChars : dstChars - 1;
    for (ULONG i = 0; i < n; i++) dst[i] = src[i];
    dst[n] = 0;
}

// Appends the decimal digits of value; returns FALSE if they do not fit.
static BOOLEAN AppendNumber(WCHAR *dst, ULONG dstChars, ULONG value)
{
    WCHAR digits[12];
    ULONG n = 0;
    do {
        digits[n++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value);
    ULONG len = WideLength(dst);
    if (len + n + 1 > dstChars) return FALSE;
    while (n) dst[len++] = digits[--n];
    dst[len] = 0;
    return TRUE;
}

static void AppendText(WCHAR *dst, ULONG dstChars, const WCHAR *text)
{
    ULONG len = WideLength(dst);
    ULONG i = 0;
    while (text[i] && len + 1 < dstChars) dst[len++] = text[i++];
    dst[len] = 0;
}

static NTSTATUS QueryValue(HANDLE key, const WCHAR *name, UCHAR *buffer, ULONG size,
                           KEY_VALUE_PARTIAL_INFORMATION **info)
{
    UNICODE_STRING valueName;
    ULONG resultLength = 0;
    RtlInitUnicodeString(&valueName, name);
    *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    return ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, size, &resultLength);
}

static void QueryDword(HANDLE key, const WCHAR *name, ULONG *value)
{
    ULONG64 aligned[8];
    KEY_VALUE_PARTIAL_INFORMATION *info;
    if (NT_SUCCESS(QueryValue(key, name, (UCHAR *)aligned, sizeof(aligned), &info)) &&
        info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
        *value = *(const ULONG *)info->Data;
    }
}

static void QueryPrefix(HANDLE key, VcanConfig *config)
{
    ULONG64 aligned[24];
    KEY_VALUE_PARTIAL_INFORMATION *info;
    if (!NT_SUCCESS(QueryValue(key, L"DevicePrefix", (UCHAR *)aligned, sizeof(aligned), &info)) ||
        info->Type != REG_SZ) {
        return;
    }
    const WCHAR *text = (const WCHAR *)info->Data;
    ULONG chars = info->DataLength / sizeof(WCHAR);
    while (chars && text[chars - 1] == 0) chars--;
    // Room for up to three digits behind the prefix.
    if (chars == 0 || chars + 4 > VCAN_NAME_CHARS) return;
    for (ULONG i = 0; i < chars; i++) {
        if (text[i] == L'\\' || text[i] == L'/' || text[i] == L':') return;
    }
    WideCopy(config->prefix, VCAN_NAME_CHARS, text, chars);
}

// Defaults first; every value the key holds with the right type wins.
static void ReadConfig(PUNICODE_STRING registryPath, VcanConfig *config)
{
    config->deviceCount = 1;
    config->queueFrames = VCAN_DEFAULT_QUEUE_FRAMES;
    config->majorVersion = VCAN_DEFAULT_MAJOR_VERSION;
    config->minorVersion = VCAN_DEFAULT_MINOR_VERSION;
    WideCopy(config->prefix, VCAN_NAME_CHARS, L"VCAN", 4);

    // The service key name is the last component of the registry path.
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    ULONG start = chars;
    while (start > 0 && registryPath->Buffer[start - 1] != L'\\') start--;
    WideCopy(config->serviceName, sizeof(config->serviceName) / sizeof(WCHAR),
             registryPath->Buffer + start, chars - start);

    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;
    QueryDword(key, L"DeviceCount", &config->deviceCount);
    QueryDword(key, L"QueueFrames", &config->queueFrames);
    QueryDword(key, L"MajorVersion", &config->majorVersion);
    QueryDword(key, L"MinorVersion", &config->minorVersion);
    QueryPrefix(key, config);
    ZwClose(key);

    if (config->deviceCount < 1) config->deviceCount = 1;
    if (config->deviceCount > VCAN_MAX_DEVICES) config->deviceCount = VCAN_MAX_DEVICES;
    if (config->queueFrames < 2) config->queueFrames = 2;
    if (config->queueFrames > 65536) config->queueFrames = 65536;
}

static NTSTATUS CreateOneDevice(PDRIVER_OBJECT driverObject, const VcanConfig *config, ULONG index)
{
    WCHAR name[VCAN_NAME_CHARS];
    WideCopy(name, VCAN_NAME_CHARS, config->prefix, WideLength(config->prefix));
    if (!AppendNumber(name, VCAN_NAME_CHARS, index)) return STATUS_NAME_TOO_LONG;

    WCHAR deviceBuffer[48] = L"\\Device\\";
    AppendText(deviceBuffer, 48, name);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, deviceBuffer);

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(VcanDevice), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) return status;

    VcanDevice *device = (VcanDevice *)deviceObject->DeviceExtension;
    RtlZeroMemory(device, sizeof(*device));
    KeInitializeSpinLock(&device->lock);
    ExInitializeFastMutex(&device->writeMutex);
    InitializeListHead(&device->opens);
    device->index = index;
    device->config = *config;
    WideCopy(device->name, VCAN_NAME_CHARS, name, WideLength(name));
    WideCopy(device->linkBuffer, 48, L"\\DosDevices\\", 12);
    AppendText(device->linkBuffer, 48, name);
    RtlInitUnicodeString(&device->linkName, device->linkBuffer);

    status = IoCreateSymbolicLink(&device->linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(deviceObject);
        return status;
    }
    device->linkCreated = TRUE;
    deviceObject->Flags |= DO_BUFFERED_IO;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void DeleteAllDevices(PDRIVER_OBJECT driverObject)
{
    PDEVICE_OBJECT deviceObject = driverObject->DeviceObject;
    while (deviceObject) {
        PDEVICE_OBJECT next = deviceObject->NextDevice;
        VcanDevice *device = (VcanDevice *)deviceObject->DeviceExtension;
        if (device->linkCreated) {
            IoDeleteSymbolicLink(&device->linkName);
            device->linkCreated = FALSE;
        }
        // Handles still open lose their pending reads and their queues
        // now; nothing of ours may be touched once the image is gone.
        VcanDetachAllOpens(device);
        IoDeleteDevice(deviceObject);
        deviceObject = next;
    }
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    VcanConfig config;
    RtlZeroMemory(&config, sizeof(config));
    ReadConfig(registryPath, &config);

    driverObject->MajorFunction[IRP_MJ_CREATE] = VcanDispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = VcanDispatchClose;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = VcanDispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_READ] = VcanDispatchRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = VcanDispatchWrite;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VcanDispatchDeviceControl;
    driverObject->DriverUnload = VcanUnload;

    for (ULONG i = 1; i <= config.deviceCount; i++) {
        NTSTATUS status = CreateOneDevice(driverObject, &config, i);
        if (!NT_SUCCESS(status)) {
            DeleteAllDevices(driverObject);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

static void VcanUnload(PDRIVER_OBJECT driverObject)
{
    DeleteAllDevices(driverObject);
}
