// User-mode side of the virtual CAN driver: opening a device, putting
// frames on its bus, the driver's own control codes, and managing its
// service (install, start, stop, service-key values) from a program.
//
// Results: non-zero / a handle on success; zero / INVALID_HANDLE_VALUE on
// failure with the cause as the thread's last-error value.
#pragma once

#include <windows.h>

#include "rx_buffer_layout.h"
#include "vcan_ioctl.h"

// "\\.\" + deviceName, read and write, shared, overlapped.
HANDLE VcanOpenDevice(const wchar_t *deviceName);

// Writes n whole records and waits until the driver took them. The driver
// stamps each record on arrival, so timeStamp is not sent anywhere.
BOOL VcanWriteFrames(HANDLE hDevice, const RxMsg *frames, DWORD n);

// Reads up to maxFrames records, waiting at most timeoutMs for the first.
// On a time-out the read is cancelled and ERROR_TIMEOUT is the last error.
BOOL VcanReadFrames(HANDLE hDevice, RxMsg *frames, DWORD maxFrames, DWORD *noFrames, DWORD timeoutMs);

BOOL VcanGetCounters(HANDLE hDevice, VcanCounters *counters);
BOOL VcanFailNextRead(HANDLE hDevice, DWORD errorCode);
// Fills ids with up to maxIds identifiers; *count gets the full number.
BOOL VcanGetEnabledIds(HANDLE hDevice, DWORD *ids, DWORD maxIds, DWORD *count);

// Service management. The driver image is taken from imagePath, or from
// vcan.sys next to the running program when imagePath is null; it is
// copied to %SystemRoot%\system32\drivers\<service>.sys.
BOOL VcanInstallService(const wchar_t *service, const wchar_t *devicePrefix, DWORD deviceCount,
                        const wchar_t *imagePath);
BOOL VcanStartService(const wchar_t *service);
// Stops the driver and waits until it is unloaded; an already stopped
// driver is not an error.
BOOL VcanStopService(const wchar_t *service);
BOOL VcanUninstallService(const wchar_t *service);
// Writes a REG_DWORD under the service key. The driver reads DeviceCount,
// QueueFrames, MajorVersion and MinorVersion when it starts; the server
// reads NoMsgPerRead and RxProcPrio when it opens a net.
BOOL VcanSetServiceValue(const wchar_t *service, const wchar_t *valueName, DWORD value);
BOOL VcanSetServiceString(const wchar_t *service, const wchar_t *valueName, const wchar_t *value);
BOOL VcanDeleteServiceValue(const wchar_t *service, const wchar_t *valueName);
