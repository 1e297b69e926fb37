// The program's side of the CAN device driver: opening the device of a
// net, the property query, the configuration under the driver's service
// key (frames per read, process priority), reads and time stamps.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "can_driver_ioctl.h"
#include "rx_buffer_layout.h"

// Frames per device read when the service key does not say otherwise.
#define CAN_DEFAULT_NO_MSG_PER_READ 2u

// The process priority class set from RxProcPrio so far; 0 until one was
// set. Process-wide: every net may only raise it.
extern DWORD currentPriorityClass;

// "\\.\" + net name, opened for overlapped reads. INVALID_HANDLE_VALUE on
// failure; ERROR_FILE_NOT_FOUND (2) means the net has no device.
HANDLE CanOpenDevice(const wchar_t *netName);

// The driver's property block from the process heap (the caller frees
// it), or null. A block too short for its fixed part, or whose service
// key name does not end inside it, fails with ERROR_INVALID_DATA (13).
CanDrvProperties *CanGetDriverProperties(HANDLE hDevice);

// The NUL-terminated service key name inside a block that
// CanGetDriverProperties returned.
const wchar_t *CanDriverServiceName(const CanDrvProperties *pProperties);

// Reads NoMsgPerRead (REG_DWORD only) into *pNoMsgPerRead and applies
// RxProcPrio (REG_DWORD only) by the priority rule. Fails only when the
// service key cannot be opened, with the registry's error.
BOOL RibexGetConfig(const wchar_t *serviceName, DWORD *pNoMsgPerRead);

// The priority rule: a known class that ranks above the current one is
// set; anything else is ignored. A failed SetPriorityClass is ignored.
void ApplyRxProcPrio(DWORD priorityClass);

// Rank of a priority class, 0 for a value that is none of the six.
DWORD PriorityClassRank(DWORD priorityClass);

// Issues one read of n frames. 0 and *pReadPending = 1 while it runs; 0
// and *pReadPending = 0 when it completed at once (*pBytes is valid);
// otherwise the read's error code with *pReadPending = 0.
DWORD CanReadMsgs(HANDLE hDevice, void *destination, DWORD n, DWORD *pBytes,
                  OVERLAPPED *pOverlapped, DWORD *pReadPending);

// Whether a read error means that the device went away under its handle
// (its driver stopped, its adapter unplugged): only a new open can bring it
// back.
BOOL CanDeviceGone(DWORD readError);

// Now, in 100 ns units: the driver's clock with a device, else the
// performance counter. Fails (time stamp 0) only when the driver fails.
BOOL CanGetTimeStamp(HANDLE hDevice, uint64_t *pTimeStamp);

// counter * 10000000 / frequency without overflow or lost carries.
uint64_t PerfCounterTo100ns(uint64_t counter, uint64_t frequency);
