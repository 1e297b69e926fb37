// Frame sinks: device writes and simulated-peer messages (see can_sink.h).
#include "can_sink.h"

#include "sim_can_message.h"
#include "vcan_control.h"

namespace {

void Reset(CanSink *sink)
{
    sink->hDevice = INVALID_HANDLE_VALUE;
    sink->hWriteEvent = nullptr;
    sink->hQueue = nullptr;
    sink->uniqueIdHigh = 0;
    sink->uniqueIdLow = 0;
}

// One overlapped write of whole records, cancelled after timeoutMs so the
// OVERLAPPED never outlives the call.
BOOL WriteDevice(CanSink *sink, const RxMsg *frames, DWORD n, DWORD timeoutMs)
{
    OVERLAPPED ov = {};
    ov.hEvent = sink->hWriteEvent;
    DWORD bytes = n * (DWORD)sizeof(RxMsg);
    DWORD written = 0;
    BOOL ok = WriteFile(sink->hDevice, frames, bytes, &written, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(sink->hDevice, &ov);
            GetOverlappedResult(sink->hDevice, &ov, &written, TRUE);
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        ok = GetOverlappedResult(sink->hDevice, &ov, &written, FALSE);
    }
    if (ok && written != bytes) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return ok;
}

BOOL SendQueue(CanSink *sink, const RxMsg *frames, DWORD n, DWORD timeoutMs, DWORD *sent)
{
    for (DWORD i = 0; i < n; i++) {
        SimCanMsg msg = {};
        msg.uniqueIdHigh = sink->uniqueIdHigh;
        msg.uniqueIdLow = sink->uniqueIdLow;
        msg.frame = frames[i];
        if (!MsgQSend(sink->hQueue, &msg, sizeof(msg), timeoutMs)) return FALSE;
        ++*sent;
    }
    return TRUE;
}

}  // namespace

BOOL CanSinkOpenDevice(CanSink *sink, const wchar_t *deviceName)
{
    Reset(sink);
    sink->hWriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!sink->hWriteEvent) return FALSE;
    sink->hDevice = VcanOpenDevice(deviceName);
    if (sink->hDevice == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(sink->hWriteEvent);
        sink->hWriteEvent = nullptr;
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL CanSinkCreateQueue(CanSink *sink, const wchar_t *netName, DWORD queueSize,
                        uint32_t uniqueIdHigh, uint32_t uniqueIdLow, bool *existed)
{
    Reset(sink);
    sink->hQueue = MsgQCreate(netName, queueSize, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
    if (!sink->hQueue) return FALSE;
    *existed = GetLastError() == ERROR_ALREADY_EXISTS;
    sink->uniqueIdHigh = uniqueIdHigh;
    sink->uniqueIdLow = uniqueIdLow;
    return TRUE;
}

BOOL CanSinkSend(CanSink *sink, const RxMsg *frames, DWORD n, DWORD timeoutMs, DWORD *sent)
{
    *sent = 0;
    if (n == 0) return TRUE;
    if (sink->hQueue) return SendQueue(sink, frames, n, timeoutMs, sent);
    if (sink->hDevice == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!WriteDevice(sink, frames, n, timeoutMs)) return FALSE;
    *sent = n;
    return TRUE;
}

bool CanSinkDeviceWentAway(DWORD error)
{
    return error == ERROR_DEVICE_REMOVED || error == ERROR_ACCESS_DENIED ||
           error == ERROR_INVALID_HANDLE || error == ERROR_OPERATION_ABORTED ||
           error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_BAD_COMMAND ||
           error == ERROR_NOT_READY;
}

BOOL CanSinkReopenDevice(CanSink *sink, const wchar_t *deviceName)
{
    if (sink->hDevice != INVALID_HANDLE_VALUE) CloseHandle(sink->hDevice);
    sink->hDevice = VcanOpenDevice(deviceName);
    return sink->hDevice != INVALID_HANDLE_VALUE;
}

HANDLE CanSinkDevice(const CanSink *sink)
{
    return sink->hDevice;
}

void CanSinkClose(CanSink *sink, DWORD lingerMs)
{
    if (sink->hDevice != INVALID_HANDLE_VALUE) CloseHandle(sink->hDevice);
    if (sink->hWriteEvent) CloseHandle(sink->hWriteEvent);
    if (sink->hQueue) {
        if (lingerMs) Sleep(lingerMs);
        MsgQClose(sink->hQueue);
    }
    Reset(sink);
}
