// Paced peers (see stress_traffic.h). A stream sends what is due by the
// clock in small batches, so a late wake-up catches up instead of
// lowering the rate.
#include "stress_traffic.h"

#include "sim_can_message.h"
#include "stress_shared.h"
#include "tool_clock.h"
#include "vcan_control.h"

namespace {

const DWORD SIM_QUEUE_MESSAGES = 64;
const DWORD SIM_SEND_TIMEOUT_MS = 2000;
const DWORD MAX_BATCH = 32;
const uint32_t SIM_PEER_HIGH = 0x5354u;  // "ST": the peer's unique id on its frames
const uint32_t SIM_PEER_LOW = 1;

BOOL SendSim(TrafficStream *pStream, uint32_t seq) {
    SimCanMsg message = {};
    message.uniqueIdHigh = SIM_PEER_HIGH;
    message.uniqueIdLow = SIM_PEER_LOW;
    message.frame = MakeStressFrame(pStream->canId, seq);
    return MsgQSend(pStream->hSimQueue, &message, sizeof(message), SIM_SEND_TIMEOUT_MS);
}

// Sends frames first .. first + count - 1; returns how many went out.
DWORD SendBatch(TrafficStream *pStream, uint32_t first, DWORD count) {
    if (pStream->kind == TrafficKind::Device) {
        RxMsg frames[MAX_BATCH];
        for (DWORD i = 0; i < count; ++i) frames[i] = MakeStressFrame(pStream->canId, first + i);
        if (VcanWriteFrames(pStream->hDevice, frames, count)) return count;
        pStream->lastError = GetLastError();
        return 0;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!SendSim(pStream, first + i)) {
            pStream->lastError = GetLastError();
            return i;
        }
    }
    return count;
}

// A write that fails on a driver that was stopped has a dead handle: the
// device is opened again once the driver runs. Frames that were due
// meanwhile are not sent in a burst after it, as a bus would not carry
// them either.
bool ReopenDevice(TrafficStream *pStream) {
    if (pStream->hDevice != INVALID_HANDLE_VALUE) CloseHandle(pStream->hDevice);
    pStream->hDevice = VcanOpenDevice(pStream->netName.c_str());
    if (pStream->hDevice == INVALID_HANDLE_VALUE) return false;
    InterlockedIncrement(&pStream->deviceReopens);
    return true;
}

DWORD WINAPI TrafficThread(void *pParam) {
    TrafficStream *pStream = (TrafficStream *)pParam;
    uint64_t start = ToolNow100ns();
    uint64_t dueBase = 0;  // frames sent when the clock last started again
    bool deviceLost = false;
    while (!pStream->stop) {
        if (deviceLost) {
            if (!ReopenDevice(pStream)) {
                Sleep(20);
                continue;
            }
            deviceLost = false;
            start = ToolNow100ns();
            dueBase = (uint64_t)pStream->sent;
        }
        uint64_t due = dueBase + ToolMulDiv(ToolNow100ns() - start, pStream->rate, 10000000ull);
        uint64_t sent = (uint64_t)pStream->sent;
        if (sent >= due) {
            Sleep(2);
            continue;
        }
        DWORD count = due - sent < MAX_BATCH ? (DWORD)(due - sent) : MAX_BATCH;
        DWORD done = SendBatch(pStream, (uint32_t)sent, count);
        InterlockedExchangeAdd(&pStream->sent, (LONG)done);
        if (done < count) {
            InterlockedIncrement(&pStream->sendFailures);
            deviceLost = pStream->kind == TrafficKind::Device;
            Sleep(10);
        }
    }
    return 0;
}

}  // namespace

BOOL PrepareTraffic(TrafficStream *pStream) {
    if (pStream->kind == TrafficKind::Device) {
        pStream->hDevice = VcanOpenDevice(pStream->netName.c_str());
        return pStream->hDevice != INVALID_HANDLE_VALUE;
    }
    pStream->hSimQueue =
        MsgQCreate(pStream->netName.c_str(), SIM_QUEUE_MESSAGES, SIM_CAN_MSG_SIZE, MSGQ_NAMED);
    if (pStream->hSimQueue == nullptr) return FALSE;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another peer feeds this net: its frames would mix with ours.
        MsgQClose(pStream->hSimQueue);
        pStream->hSimQueue = nullptr;
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    return TRUE;
}

BOOL StartTraffic(TrafficStream *pStream) {
    pStream->hThread = CreateThread(nullptr, 0, TrafficThread, pStream, 0, nullptr);
    return pStream->hThread != nullptr;
}

void StopTraffic(TrafficStream *pStream) {
    InterlockedExchange(&pStream->stop, 1);
    if (pStream->hThread != nullptr) {
        WaitForSingleObject(pStream->hThread, INFINITE);
        CloseHandle(pStream->hThread);
        pStream->hThread = nullptr;
    }
}

void ReleaseTraffic(TrafficStream *pStream) {
    if (pStream->hDevice != INVALID_HANDLE_VALUE) CloseHandle(pStream->hDevice);
    pStream->hDevice = INVALID_HANDLE_VALUE;
    if (pStream->hSimQueue != nullptr) MsgQClose(pStream->hSimQueue);
    pStream->hSimQueue = nullptr;
}
