// canslcan's bus side for --device: frames that other handles write on the
// virtual bus go to the adapter as transmit commands (see canslcan_bridge.h).
#include "can_driver_ioctl.h"
#include "canslcan_bridge.h"
#include "vcan_ioctl.h"

namespace {

const DWORD DEVICE_BATCH = 64;
const DWORD REOPEN_FIRST_PAUSE_MS = 50;
const DWORD REOPEN_MAX_PAUSE_MS = 1000;

// Remote frames reach our handle only for identifiers we enabled.
BOOL EnableRemoteIds(Bridge *b)
{
    HANDLE hDevice = CanSinkDevice(&b->sink);
    for (DWORD id : b->options->remoteIds) {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!ov.hEvent) return FALSE;
        uint32_t canId = id;
        DWORD n = 0;
        BOOL ok = DeviceIoControl(hDevice, IOCTL_CAN_ENABLE_REMREPLY, &canId, sizeof(canId),
                                  nullptr, 0, &n, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(hDevice, &ov, &n, TRUE);
        }
        DWORD error = GetLastError();
        CloseHandle(ov.hEvent);
        if (!ok) {
            BridgeMessage(b, "cannot pass remote frames of %lX to the adapter: error %lu", id,
                          error);
            SetLastError(error);
            return FALSE;
        }
    }
    return TRUE;
}

// The device went away (its driver stopped): open it again with a growing
// pause until it is back or canslcan stops. Frames from the adapter meanwhile
// fail to be sent and are counted as lost. FALSE: stopped.
bool ReopenDevice(Bridge *b, DWORD error)
{
    BridgeMessage(b, "%s: the device went away (error %lu); opening it again", b->iface, error);
    DWORD pause = REOPEN_FIRST_PAUSE_MS;
    for (;;) {
        AcquireSRWLockExclusive(&b->sinkLock);
        BOOL open = CanSinkReopenDevice(&b->sink, b->options->targetName.c_str());
        ReleaseSRWLockExclusive(&b->sinkLock);
        if (open && EnableRemoteIds(b)) break;
        if (WaitForSingleObject(b->hStop, pause) == WAIT_OBJECT_0) return false;
        pause = pause * 2 < REOPEN_MAX_PAUSE_MS ? pause * 2 : REOPEN_MAX_PAUSE_MS;
    }
    InterlockedIncrement64(&b->stats.deviceReopens);
    BridgeMessage(b, "%s: the device is back; frames on the bus in between are lost", b->iface);
    return true;
}

// Formats and writes one batch; while the port is down the frames are lost.
void Forward(Bridge *b, const RxMsg *frames, DWORD n)
{
    char commands[DEVICE_BATCH * SLCAN_COMMAND_MAX];
    DWORD lengths[DEVICE_BATCH];
    DWORD count = 0, total = 0;
    for (DWORD i = 0; i < n; i++) {
        size_t length = SlcanFormatCommand(&frames[i], commands + total, sizeof(commands) - total);
        if (!length) continue;
        if (b->options->verbose) BridgePrintFrame(b, &frames[i], false, 0);
        lengths[count++] = (DWORD)length;
        total += (DWORD)length;
    }
    InterlockedAdd64(&b->stats.lostTx, n - count);
    if (!count) return;
    if (AdapterWriteFrames(b, commands, lengths, count)) {
        InterlockedAdd64(&b->stats.txFrames, count);
    } else {
        InterlockedAdd64(&b->stats.lostTx, count);
    }
}

// Returns FALSE when the read cannot go on (stopped, driver gone).
bool ReadOnce(Bridge *b, OVERLAPPED *ov, RxMsg *frames)
{
    HANDLE hDevice = CanSinkDevice(&b->sink);
    DWORD bytes = 0;
    ResetEvent(ov->hEvent);
    BOOL ok = ReadFile(hDevice, frames, DEVICE_BATCH * sizeof(RxMsg), &bytes, ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        HANDLE handles[2] = {ov->hEvent, b->hStop};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(hDevice, ov);
            GetOverlappedResult(hDevice, ov, &bytes, TRUE);
            return false;
        }
        ok = GetOverlappedResult(hDevice, ov, &bytes, FALSE);
    }
    if (!ok) {
        DWORD error = GetLastError();
        if (error == VCAN_ERROR_OVERFLOW) {
            // The frames went missing on the bus side: how many, only the driver knows.
            if (InterlockedIncrement64(&b->stats.overflows) == 1) {
                BridgeMessage(b,
                              "%s: our handle's queue overflowed; frames to the adapter were lost",
                              b->iface);
            }
            return true;
        }
        if (error == ERROR_OPERATION_ABORTED && WaitForSingleObject(b->hStop, 0) == WAIT_OBJECT_0) {
            return false;
        }
        if (CanSinkDeviceWentAway(error)) return ReopenDevice(b, error);
        BridgeMessage(b, "reading %s failed: error %lu; no more frames go to the adapter", b->iface,
                      error);
        return false;
    }
    Forward(b, frames, bytes / (DWORD)sizeof(RxMsg));
    return true;
}

DWORD WINAPI DeviceThread(void *parameter)
{
    Bridge *b = static_cast<Bridge *>(parameter);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return GetLastError();
    RxMsg frames[DEVICE_BATCH];
    while (ReadOnce(b, &ov, frames)) {}
    CloseHandle(ov.hEvent);
    return 0;
}

}  // namespace

BOOL DeviceStart(Bridge *b)
{
    if (!EnableRemoteIds(b)) return FALSE;
    b->hDeviceThread = CreateThread(nullptr, 0, DeviceThread, b, 0, nullptr);
    return b->hDeviceThread != nullptr;
}

void DeviceStop(Bridge *b)
{
    if (!b->hDeviceThread) return;
    SetEvent(b->hStop);
    WaitForSingleObject(b->hDeviceThread, INFINITE);
    CloseHandle(b->hDeviceThread);
    b->hDeviceThread = nullptr;
}
