// Internal records of the virtual CAN driver.
//
// Every device is a bus of its own: a record written to one handle goes to
// every other open handle of the same device. One spin lock per device
// guards the device's list of open handles and everything inside them.
#pragma once

#include <ddk/ntddk.h>

#include "rx_buffer_layout.h"
#include "vcan_ioctl.h"

#define VCAN_POOL_TAG 0x6E614356u  // "VCan" in a pool dump
#define VCAN_RECORD_SIZE ((ULONG)sizeof(RxMsg))
#define VCAN_MAX_DEVICES 64u
#define VCAN_NAME_CHARS 32u  // device name prefix and digits, NUL included
// Most (record, handle) deliveries a write does under one hold of the
// device's spin lock; the lock is let go between such chunks.
#define VCAN_DELIVERIES_PER_HOLD 256u

// Settings read once from the service key when the driver starts.
typedef struct VcanConfig {
    ULONG deviceCount;
    ULONG queueFrames;
    ULONG majorVersion;
    ULONG minorVersion;
    WCHAR prefix[VCAN_NAME_CHARS];
    WCHAR serviceName[64];
} VcanConfig;

typedef struct VcanDevice {
    KSPIN_LOCK lock;
    FAST_MUTEX writeMutex;   // held by a write that goes out in chunks
    BOOLEAN chunkedWriteActive; // such a write is under way: others wait for the mutex
    LIST_ENTRY opens;        // VcanOpen.link
    ULONG noOpens;
    ULONG index;             // 1-based, the digits of the name
    BOOLEAN linkCreated;
    WCHAR name[VCAN_NAME_CHARS];   // "VCAN1"
    WCHAR linkBuffer[48];          // "\DosDevices\VCAN1"
    UNICODE_STRING linkName;
    VcanConfig config;       // a copy per device: no driver-wide globals
} VcanDevice;

// One open handle (FILE_OBJECT.FsContext).
typedef struct VcanOpen {
    LIST_ENTRY link;
    PFILE_OBJECT fileObject;
    RxMsg *queue;            // ring of capacity records
    ULONG capacity;
    ULONG first;             // oldest queued record
    ULONG count;
    LIST_ENTRY pendingReads; // IRP.Tail.Overlay.ListEntry
    ULONG noPendingReads;
    ULONG lostUnreported;    // frames lost since the last read reported it
    ULONG failNextRead;      // Win32 error for the next read, 0 = none
    ULONG *enabledIds;       // ascending, for a binary search per remote frame
    ULONG noEnabledIds;
    ULONG maxEnabledIds;
    ULONG64 received;
    ULONG64 delivered;
    ULONG64 lost;
    ULONG64 written;
} VcanOpen;

// Entry points of the bus (vcan_bus.c).
NTSTATUS VcanDispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VcanDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp);
void VcanDetachAllOpens(VcanDevice *device);
NTSTATUS VcanFailNextRead(VcanDevice *device, PFILE_OBJECT fileObject, ULONG error);

// The record of an open handle (FsContext), NULL once the driver's stop
// detached it. Only under the device lock, and only while it is held: the
// stop frees detached records.
VcanOpen *VcanOpenOfFile(PFILE_OBJECT fileObject);

// Control codes (vcan_control_codes.c).
NTSTATUS VcanDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// The enabled-identifier table of a handle (vcan_control_codes.c); the
// caller holds the device lock.
BOOLEAN VcanIsIdEnabled(const VcanOpen *open, ULONG id);

// Shared helpers.
NTSTATUS VcanCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS VcanStatusFromWin32(ULONG error);
ULONG64 VcanTimeStamp(void);
