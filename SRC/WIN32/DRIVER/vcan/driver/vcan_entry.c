// Driver start and unload: reads the service key, creates the devices
// VCAN1..VCANn (or whatever prefix the key names) with their symbolic
// links, and tears them down again, open handles or not.
#include "vcan_dispatch.h"

#define VCAN_MAX_DEVICES 64u

static void VcanUnload(PDRIVER_OBJECT driverObject);

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
    VcanWideCopy(config->prefix, VCAN_NAME_CHARS, text, chars);
}

// Defaults first; every value the key holds with the right type wins.
static void ReadConfig(PUNICODE_STRING registryPath, VcanConfig *config)
{
    config->deviceCount = 1;
    config->queueFrames = VCAN_DEFAULT_QUEUE_FRAMES;
    config->majorVersion = VCAN_DEFAULT_MAJOR_VERSION;
    config->minorVersion = VCAN_DEFAULT_MINOR_VERSION;
    VcanWideCopy(config->prefix, VCAN_NAME_CHARS, L"VCAN", 4);

    // The service key name is the last component of the registry path.
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    ULONG start = chars;
    while (start > 0 && registryPath->Buffer[start - 1] != L'\\') start--;
    VcanWideCopy(config->serviceName, sizeof(config->serviceName) / sizeof(WCHAR),
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
    VcanWideCopy(name, VCAN_NAME_CHARS, config->prefix, VcanWideLength(config->prefix));
    if (!VcanWideAppendNumber(name, VCAN_NAME_CHARS, index)) return STATUS_NAME_TOO_LONG;

    WCHAR deviceBuffer[48] = L"\\Device\\";
    VcanWideAppend(deviceBuffer, 48, name);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, deviceBuffer);

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(VcanDevice), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) return status;

    VcanDevice *device = (VcanDevice *)deviceObject->DeviceExtension;
    RtlZeroMemory(device, sizeof(*device));
    VcanBusInit(&device->bus, config->queueFrames);
    device->config = *config;
    VcanWideCopy(device->name, VCAN_NAME_CHARS, name, VcanWideLength(name));
    VcanWideCopy(device->linkBuffer, 48, L"\\DosDevices\\", 12);
    VcanWideAppend(device->linkBuffer, 48, name);
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
        VcanDispatchStopDevice(device);
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
