#include "sim_can.h"

#include <string.h>

#include "last_error.h"

namespace {

// Errors that concern one message only: the queue has consumed it, so the
// reader reports it and goes on with the next.
bool IsMessageError(DWORD error) {
    return error == ERROR_BAD_LENGTH || error == ERROR_INVALID_DATA;
}

// Hands the reader's ending error to the receive thread, once.
void DeliverReaderError(SimCan *hSimCan) {
    if (InterlockedExchange(&hSimCan->errorDelivered, 1) != 0) return;
    *hSimCan->pErrorCode = hSimCan->readerError;
    SetEvent(hSimCan->hEventDone);
}

// The reader ends with error, and the receive thread hears of it.
void FailReader(SimCan *hSimCan, DWORD error) {
    hSimCan->readerError = error;
    DeliverReaderError(hSimCan);
}

DWORD WINAPI SimCanReaderThread(LPVOID pParam) {
    SimCan *hSimCan = static_cast<SimCan *>(pParam);
    for (;;) {
        if (WaitForSingleObject(hSimCan->hEventArm, INFINITE) != WAIT_OBJECT_0) {
            // Not armed: the receive thread may be reading the destinations,
            // so the next arm hands the error over.
            hSimCan->readerError = LastErrorOr(ERROR_GEN_FAILURE);
            break;
        }
        if (hSimCan->stop) break;
        if (!ResetEvent(hSimCan->hEventArm)) {
            FailReader(hSimCan, LastErrorOr(ERROR_GEN_FAILURE));
            break;
        }
        for (;;) {
            if (SimCanReceive(hSimCan, hSimCan->pFrame, hSimCan->pUniqueId,
                              SIM_CAN_RECEIVE_TIMEOUT_MS)) {
                *hSimCan->pErrorCode = 0;
            } else {
                DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
                if (error == ERROR_TIMEOUT) {
                    if (hSimCan->stop) break;
                    continue;
                }
                if (!IsMessageError(error)) {
                    FailReader(hSimCan, error);
                    break;
                }
                *hSimCan->pErrorCode = error;
            }
            if (!SetEvent(hSimCan->hEventDone)) {
                hSimCan->readerError = LastErrorOr(ERROR_GEN_FAILURE);
                *hSimCan->pErrorCode = hSimCan->readerError;
                InterlockedExchange(&hSimCan->errorDelivered, 1);
            }
            break;
        }
        if (hSimCan->readerError != 0 || hSimCan->stop) break;
    }
    return hSimCan->readerError;
}

}  // namespace

SimCan *SimCanOpen(const wchar_t *netName) {
    auto *hSimCan =
        static_cast<SimCan *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SimCan)));
    if (!hSimCan) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    hSimCan->hMsgQ = MsgQOpen(netName, 0);
    if (!hSimCan->hMsgQ) {
        DWORD error = LastErrorOr(ERROR_TIMEOUT);
        HeapFree(GetProcessHeap(), 0, hSimCan);
        SetLastError(error);
        return nullptr;
    }
    SetLastError(0);
    return hSimCan;
}

void SimCanArm(SimCan *hSimCan, RxMsg *pFrame, RxUniqueId *pUniqueId, HANDLE hEventDone,
               volatile DWORD *pErrorCode) {
    hSimCan->pFrame = pFrame;
    hSimCan->pUniqueId = pUniqueId;
    hSimCan->hEventDone = hEventDone;
    hSimCan->pErrorCode = pErrorCode;
    if (hSimCan->readerError != 0) {
        // The connection is gone; clients hear of it once, not at every arm.
        DeliverReaderError(hSimCan);
        return;
    }
    if (!hSimCan->hThread) {
        hSimCan->hEventArm = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!hSimCan->hEventArm) {
            FailReader(hSimCan, LastErrorOr(ERROR_GEN_FAILURE));
            return;
        }
        hSimCan->hThread = CreateThread(nullptr, 0, SimCanReaderThread, hSimCan, 0, nullptr);
        if (!hSimCan->hThread) {
            DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
            CloseHandle(hSimCan->hEventArm);
            hSimCan->hEventArm = nullptr;
            FailReader(hSimCan, error);
            return;
        }
    }
    if (!SetEvent(hSimCan->hEventArm)) FailReader(hSimCan, LastErrorOr(ERROR_GEN_FAILURE));
}

BOOL SimCanReceive(SimCan *hSimCan, RxMsg *pFrame, RxUniqueId *pUniqueId, DWORD timeout) {
    SetLastError(0);
    SimCanMsg message;
    DWORD received = 0;
    if (!MsgQReceive(hSimCan->hMsgQ, &message, sizeof(message), &received, timeout)) {
        DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
        if (error == ERROR_BAD_LENGTH) {
            memset(pFrame, 0, sizeof(*pFrame));
            memset(pUniqueId, 0, sizeof(*pUniqueId));
        }
        SetLastError(error);
        return FALSE;
    }
    // A short message leaves bytes undefined and a length above 8 points
    // past the data: neither may reach a client as a frame.
    if (received < sizeof(message) || message.frame.length > sizeof(message.frame.can.data)) {
        memset(pFrame, 0, sizeof(*pFrame));
        memset(pUniqueId, 0, sizeof(*pUniqueId));
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *pFrame = message.frame;
    pUniqueId->high = message.uniqueIdHigh;
    pUniqueId->low = message.uniqueIdLow;
    SetLastError(0);
    return TRUE;
}

BOOL SimCanClose(SimCan *hSimCan) {
    if (hSimCan->hEventArm && hSimCan->hThread) {
        InterlockedExchange(&hSimCan->stop, 1);
        if (!SetEvent(hSimCan->hEventArm)) return FALSE;
        // Ends at once when waiting for an arm, otherwise after its current
        // receive times out.
        WaitForSingleObject(hSimCan->hThread, INFINITE);
        CloseHandle(hSimCan->hThread);
        CloseHandle(hSimCan->hEventArm);
        hSimCan->hThread = nullptr;
        hSimCan->hEventArm = nullptr;
    }
    if (!MsgQClose(hSimCan->hMsgQ)) return FALSE;
    if (!HeapFree(GetProcessHeap(), 0, hSimCan)) return FALSE;
    SetLastError(0);
    return TRUE;
}
