// The dispatch layer: every IRP of the driver is decoded here, handed to
// the bus and completed here, control codes included. The entry fills the
// driver's dispatch table with these routines.
#pragma once

#include "vcan_bus.h"

#define VCAN_NAME_CHARS 32u  // device name prefix and digits, NUL included

// Settings read once from the service key when the driver starts.
typedef struct VcanConfig {
    ULONG deviceCount;
    ULONG queueFrames;
    ULONG majorVersion;
    ULONG minorVersion;
    WCHAR prefix[VCAN_NAME_CHARS];
    WCHAR serviceName[64];
} VcanConfig;

// A device's extension: its bus and what the property block shows.
typedef struct VcanDevice {
    VcanBus bus;
    BOOLEAN linkCreated;
    WCHAR name[VCAN_NAME_CHARS];   // "VCAN1"
    WCHAR linkBuffer[48];          // "\DosDevices\VCAN1"
    UNICODE_STRING linkName;
    VcanConfig config;             // a copy per device: no driver-wide globals
} VcanDevice;

NTSTATUS VcanDispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// At the driver's stop: every handle still open loses its reads and its
// record; later requests on it fail with VCAN_ERROR_UNLOADED.
void VcanDispatchStopDevice(VcanDevice *device);
