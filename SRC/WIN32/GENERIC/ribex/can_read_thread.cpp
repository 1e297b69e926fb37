// The receive thread of a net: opens the net's frame sources (the CAN
// device and/or the simulated connection), stores their frames into the
// shared receive buffer, wakes the net's clients and serves the main
// thread's requests.
#include <windows.h>

#include <string.h>

#include "can_driver.h"
#include "net_record.h"
#include "rem_reply_table.h"
#include "ribex_names.h"
#include "ribex_trace_modules.h"
#include "rx_buffer.h"
#include "sim_can.h"
#include "table_growth.h"

namespace {

constexpr DWORD kDriverMajorVersions[] = {4, 5, 6};

// A batch must fit the ring and keep the lap rule exact.
constexpr DWORD kMaxNoMsgPerRead = RX_BUFFER_NO_ENTRIES - 1;

// A device whose reads keep failing (or coming back empty) at once would
// otherwise keep this thread busy without ever serving a request: from the
// second such read in a row, the next one waits, 10 ms doubling to 1 s.
// Reads that were pending first are never paced.
constexpr DWORD kFirstRetryDelayMs = 10;
constexpr DWORD kMaxRetryDelayMs = 1000;

// Reads that keep completing at once are published in rounds of this
// many frames; between rounds clients are woken and requests served.
constexpr DWORD kFramesPerRound = RX_BUFFER_NO_ENTRIES / 2;

constexpr DWORD kMaxDumpedEvents = 10;

#define RIBEX_EVENTS_DUMP_HEAD "ribex::CanReadThread, pThreadData->pEvents->\n\tnoEvents == %lu\n"
#define RIBEX_EVENTS_DUMP_ENTRY "\t\t%#x:%#x\n\t\t%#x\n"
#define RIBEX_EVENTS_DUMP_2 RIBEX_EVENTS_DUMP_ENTRY RIBEX_EVENTS_DUMP_ENTRY
#define RIBEX_EVENTS_DUMP_4 RIBEX_EVENTS_DUMP_2 RIBEX_EVENTS_DUMP_2
#define RIBEX_EVENTS_DUMP_8 RIBEX_EVENTS_DUMP_4 RIBEX_EVENTS_DUMP_4

// One format per number of dumped entries, so that the dump is one line.
constexpr const char *kEventsDumpFormats[kMaxDumpedEvents + 1] = {
    RIBEX_EVENTS_DUMP_HEAD,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_ENTRY,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_2,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_2 RIBEX_EVENTS_DUMP_ENTRY,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_4,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_4 RIBEX_EVENTS_DUMP_ENTRY,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_4 RIBEX_EVENTS_DUMP_2,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_4 RIBEX_EVENTS_DUMP_2 RIBEX_EVENTS_DUMP_ENTRY,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_8,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_8 RIBEX_EVENTS_DUMP_ENTRY,
    RIBEX_EVENTS_DUMP_HEAD RIBEX_EVENTS_DUMP_8 RIBEX_EVENTS_DUMP_2,
};

enum WaitIndex : DWORD {
    WAIT_REQUEST = WAIT_OBJECT_0,
    WAIT_DEVICE = WAIT_OBJECT_0 + 1,
    WAIT_SIM_CAN = WAIT_OBJECT_0 + 2,
};

struct ReadThreadState {
    RibexNet *pRibexNet = nullptr;
    RibexThreadParam *pThreadData = nullptr;
    RxBufferLayout *pRxBuffer = nullptr;
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    SimCan *hSimCan = nullptr;
    OVERLAPPED overlappedRealCan = {};
    HANDLE hEventSimCan = nullptr;
    HANDLE waitHandles[3] = {};
    DWORD NoMsgPerRead = CAN_DEFAULT_NO_MSG_PER_READ;
    DWORD noMsgToRead = CAN_DEFAULT_NO_MSG_PER_READ;
    DWORD readPending = 1;   // stays 1 without a device: the loop then always waits
    DWORD framesAsked = 0;   // of the read last issued
    DWORD bytesRead = 0;     // of a read that completed at once
    DWORD readError = 0;     // result in hand of a read that is no longer pending
    RxMsg *pReadBuffer = nullptr;
    DWORD unproductiveReads = 0;
    DWORD retryDelayMs = 0;  // non-zero: the next read is due at retryAt
    DWORD retryAt = 0;
    bool yieldFirst = false; // a completed read waits until requests had a look
    DWORD errorCode = 0;     // the thread's error code, its exit code
    bool confirmOwed = false;
    DWORD confirmError = 0;
    bool exitRequested = false;  // CAN_THREAD_EXIT: the requester waits for our end
    bool readWaited = false;     // the read in hand was pending before it completed
};

TraceModule *Trace() { return g_ribexTrace[TM_CAN_READ_THREAD]; }

DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

DWORD CurrentHead(const ReadThreadState &s) {
    return s.pRxBuffer->header.head % RX_BUFFER_NO_ENTRIES;
}

// Fails the start-up: the creator learns the error once clean-up is done.
void FailStartup(ReadThreadState &s, DWORD error) {
    s.errorCode = error;
    s.confirmOwed = true;
    s.confirmError = error;
}

BOOL Startup(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    const wchar_t *netName = s.pRibexNet->name;

    if (!s.pRxBuffer) {
        FailStartup(s, ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s.hDevice = CanOpenDevice(netName);
    DWORD openError = GetLastError();
    // With a device, no read is outstanding until the first one is issued.
    if (s.hDevice != INVALID_HANDLE_VALUE) s.readPending = 0;
    if (s.hDevice == INVALID_HANDLE_VALUE && openError == 0) openError = ERROR_GEN_FAILURE;
    if (openError == 0 || openError == ERROR_FILE_NOT_FOUND) s.hSimCan = SimCanOpen(netName);
    if (s.hDevice == INVALID_HANDLE_VALUE && !s.hSimCan) {
        // Without a device the peer's queue was the last attempt.
        DWORD error = openError == ERROR_FILE_NOT_FOUND ? LastErrorOr(ERROR_TIMEOUT) : openError;
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, hDevice == INVALID_HANDLE_VALUE && hSimCan == NULL, "
                   "errorCode == %lu\n",
                   error);
        FailStartup(s, error);
        return FALSE;
    }

    if (!ReAllocEventSpace(&p->pEvents)) {
        DWORD error = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !ReAllocEventSpace( ... ), errorCode == %lu\n", error);
        FailStartup(s, error);
        return FALSE;
    }

    if (s.hDevice != INVALID_HANDLE_VALUE) {
        CanDrvProperties *pCanDrvProperties = CanGetDriverProperties(s.hDevice);
        if (!pCanDrvProperties) {
            DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, ( pCanDrvProperties = CanGetDriverProperties( ... )) "
                       "== NULL, errorCode == %lu\n",
                       error);
            FailStartup(s, error);
            return FALSE;
        }
        DWORD error = 0;
        if (!CheckVersion(nullptr, L"busXXXXX.sys", 3, kDriverMajorVersions,
                          pCanDrvProperties->majorVersion, pCanDrvProperties->minorVersion)) {
            error = LastErrorOr(ERROR_REVISION_MISMATCH);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !CheckVersion( ... ), errorCode == %lu\n", error);
        } else if (!RibexGetConfig(CanDriverServiceName(pCanDrvProperties), &s.NoMsgPerRead)) {
            error = LastErrorOr(ERROR_FILE_NOT_FOUND);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !RibexGetConfig( ... ), errorCode == %lu\n", error);
        }
        HeapFree(GetProcessHeap(), 0, pCanDrvProperties);
        if (error != 0) {
            FailStartup(s, error);
            return FALSE;
        }
        if (s.NoMsgPerRead == 0 || s.NoMsgPerRead > kMaxNoMsgPerRead) {
            DWORD clamped = s.NoMsgPerRead == 0 ? 1 : kMaxNoMsgPerRead;
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, NoMsgPerRead == %lu out of range 1..255, using %lu\n",
                       s.NoMsgPerRead, clamped);
            s.NoMsgPerRead = clamped;
        }
    }

    DWORD head = CurrentHead(s);
    DWORD room = RX_BUFFER_NO_ENTRIES - head;
    s.noMsgToRead = s.NoMsgPerRead < room ? s.NoMsgPerRead : room;
    if (s.hDevice != INVALID_HANDLE_VALUE && s.hSimCan) {
        s.pReadBuffer = static_cast<RxMsg *>(
            HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(s.NoMsgPerRead) * sizeof(RxMsg)));
        if (!s.pReadBuffer) {
            FailStartup(s, ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }

    s.overlappedRealCan.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s.overlappedRealCan.hEvent) {
        DWORD error = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, ( overlappedRealCan.hEvent = CreateEvent( ... )) == NULL, "
                   "errorCode == %lu\n",
                   error);
        FailStartup(s, error);
        return FALSE;
    }
    s.hEventSimCan = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s.hEventSimCan) {
        DWORD error = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, ( hEventSimCan = CreateEvent( ... )) == NULL, errorCode "
                   "== %lu\n",
                   error);
        FailStartup(s, error);
        return FALSE;
    }

    RibexBufferMark(s.pRxBuffer, head, s.noMsgToRead);
    s.waitHandles[0] = p->hEventReq;
    s.waitHandles[1] = s.overlappedRealCan.hEvent;
    s.waitHandles[2] = s.hEventSimCan;

    if (s.hDevice != INVALID_HANDLE_VALUE) {
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, hDevice != INVALID_HANDLE_VALUE\n");
        void *destination = s.pReadBuffer ? static_cast<void *>(s.pReadBuffer)
                                          : static_cast<void *>(&s.pRxBuffer->msg[head]);
        s.framesAsked = s.noMsgToRead;
        // A read that fails here becomes the first error entry of the ring.
        s.readError = CanReadMsgs(s.hDevice, destination, s.noMsgToRead, &s.bytesRead,
                                  &s.overlappedRealCan, &s.readPending);
    }

    p->errorCodeCfm = 0;
    if (!SetEvent(p->hEventCfm)) {
        s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !SetEvent( pThreadData->hEventCfm ), errorCode == %lu\n",
                   s.errorCode);
        return FALSE;
    }

    if (s.hSimCan) {
        TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, hSimCan != NULL\n");
        SimCanArm(s.hSimCan, &p->simMsg, &p->simUniqueId, s.hEventSimCan, &p->simErrorCode);
    }
    return TRUE;
}

void IssueRead(ReadThreadState &s) {
    DWORD head = CurrentHead(s);
    void *destination = s.pReadBuffer ? static_cast<void *>(s.pReadBuffer)
                                      : static_cast<void *>(&s.pRxBuffer->msg[head]);
    DWORD n = s.noMsgToRead;
    if (!s.pReadBuffer && n > RX_BUFFER_NO_ENTRIES - head) n = RX_BUFFER_NO_ENTRIES - head;
    s.framesAsked = n;
    s.readError =
        CanReadMsgs(s.hDevice, destination, n, &s.bytesRead, &s.overlappedRealCan, &s.readPending);
}

// Stores and publishes n frames from the read buffer, in two parts when
// simulated frames have moved head so close to the ring's end that the
// batch does not fit in front of it.
void PublishCopiedFrames(ReadThreadState &s, DWORD n) {
    DWORD done = 0;
    do {
        DWORD room = RX_BUFFER_NO_ENTRIES - CurrentHead(s);
        DWORD part = n - done < room ? n - done : room;
        RibexBufferStoreDevice(s.pRxBuffer, part, s.pReadBuffer + done, 0);
        RibexBufferAdvance(s.pRxBuffer, part, s.NoMsgPerRead, &s.noMsgToRead);
        done += part;
    } while (done < n);
}

void PublishReadResult(ReadThreadState &s) {
    if (s.readError != 0) {
        RibexBufferStoreDevice(s.pRxBuffer, 1, nullptr, s.readError);
        RibexBufferAdvance(s.pRxBuffer, 1, s.NoMsgPerRead, &s.noMsgToRead);
        return;
    }
    DWORD n = s.bytesRead / sizeof(RxMsg);
    if (n > s.framesAsked) n = s.framesAsked;
    if (s.pReadBuffer && n > 0) {
        PublishCopiedFrames(s, n);
    } else {
        // The driver wrote these slots of the ring itself.
        RibexBufferStoreDevice(s.pRxBuffer, n, nullptr, 0);
        RibexBufferAdvance(s.pRxBuffer, n, s.NoMsgPerRead, &s.noMsgToRead);
    }
}

// FALSE: the thread must end.
BOOL HandleDeviceBatch(ReadThreadState &s) {
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 1\n");
    DWORD published = 0;
    do {
        if (s.readPending) {
            if (!ResetEvent(s.overlappedRealCan.hEvent)) {
                s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
                TracePrint(Trace(), TRACE_LEVEL_EVENT,
                           "ribex::CanReadThread, !ResetEvent( overlappedRealCan.hEvent ), "
                           "errorCode == %lu\n",
                           s.errorCode);
                return FALSE;
            }
            DWORD bytes = 0;
            if (GetOverlappedResult(s.hDevice, &s.overlappedRealCan, &bytes, FALSE)) {
                s.readError = 0;
                s.bytesRead = bytes;
            } else {
                DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
                // Signalled before the read was done: it still owns its
                // buffer, so neither publish nor read again.
                if (error == ERROR_IO_INCOMPLETE) return TRUE;
                s.readError = error;
                TracePrint(Trace(), TRACE_LEVEL_EVENT,
                           "ribex::CanReadThread, !GetOverlappedResult( ... ), errorCode == %lu\n",
                           error);
            }
            s.readPending = 0;
            s.readWaited = true;
        }
        // Only a read that came back at once, empty or failed, can spin
        // this thread; one that waited was the driver's own pace.
        bool spinning = !s.readWaited && (s.readError != 0 || s.bytesRead < sizeof(RxMsg));
        s.readWaited = false;
        PublishReadResult(s);
        published += s.readError ? 1 : s.bytesRead / sizeof(RxMsg);
        s.unproductiveReads = spinning ? s.unproductiveReads + 1 : 0;
        if (s.unproductiveReads >= 2) {
            DWORD shift = s.unproductiveReads - 2 < 7 ? s.unproductiveReads - 2 : 7;
            DWORD delay = kFirstRetryDelayMs << shift;
            s.retryDelayMs = delay < kMaxRetryDelayMs ? delay : kMaxRetryDelayMs;
            s.retryAt = GetTickCount() + s.retryDelayMs;
            s.readError = 0;
            return TRUE;
        }
        IssueRead(s);
        if (!s.readPending && published >= kFramesPerRound) {
            s.yieldFirst = true;
            return TRUE;
        }
    } while (!s.readPending);
    return TRUE;
}

BOOL HandleSimFrame(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 2\n");
    if (!ResetEvent(s.hEventSimCan)) {
        s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !ResetEvent( hEventSimCan ), errorCode == %lu\n",
                   s.errorCode);
        return FALSE;
    }
    DWORD simError = p->simErrorCode;
    if (simError != 0) {
        // Whatever the frame fields hold belongs to no frame: an error
        // entry carries none, and no remote-frame filter may swallow it.
        RxCan none = {};
        SimRibexBufferStore(s.hDevice, s.pRxBuffer, CurrentHead(s), &none, 0, 0, 0, simError);
        RibexBufferAdvance(s.pRxBuffer, 1, s.NoMsgPerRead, &s.noMsgToRead);
    } else if (CheckSimCanBufferStore(p->pRemote, p->simMsg.can.id)) {
        SimRibexBufferStore(s.hDevice, s.pRxBuffer, CurrentHead(s), &p->simMsg.can,
                            p->simMsg.length, p->simUniqueId.high, p->simUniqueId.low, 0);
        RibexBufferAdvance(s.pRxBuffer, 1, s.NoMsgPerRead, &s.noMsgToRead);
    }
    SimCanArm(s.hSimCan, &p->simMsg, &p->simUniqueId, s.hEventSimCan, &p->simErrorCode);
    return TRUE;
}

void DumpEvents(const RibexEventTable *pEvents, DWORD noEvents) {
    TraceModule *trace = Trace();
    if (!trace || !(trace->levelMask & TRACE_LEVEL_DETAIL)) return;
    DWORD shown = noEvents < kMaxDumpedEvents ? noEvents : kMaxDumpedEvents;
    unsigned a[3 * kMaxDumpedEvents] = {};
    for (DWORD i = 0; i < shown; i++) {
        a[3 * i] = pEvents->pUniqueId[i].high;
        a[3 * i + 1] = pEvents->pUniqueId[i].low;
        a[3 * i + 2] = static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pEvents->pEventHandle[i]));
    }
    TracePrint(trace, TRACE_LEVEL_DETAIL, kEventsDumpFormats[shown], noEvents, a[0], a[1], a[2],
               a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15],
               a[16], a[17], a[18], a[19], a[20], a[21], a[22], a[23], a[24], a[25], a[26], a[27],
               a[28], a[29]);
}

void WakeClients(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    BeginWakePass(p);
    RibexEventTable *pEvents = p->pEvents;
    if (pEvents) {
        DWORD noEvents = pEvents->noEvents;
        if (noEvents > pEvents->maxNoEvents) noEvents = pEvents->maxNoEvents;
        for (DWORD i = 0; i < noEvents; i++) {
            if (!SetEvent(pEvents->pEventHandle[i])) {
                s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
                break;
            }
        }
        DumpEvents(pEvents, noEvents);
    }
    EndWakePass(p);
}

enum class RequestOutcome { Served, End };

RequestOutcome HandleRequest(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, result1 == WAIT_OBJECT_0\n");
    if (!ResetEvent(p->hEventReq)) {
        s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !ResetEvent( pThreadData->hEventReq ), errorCode == %lu\n",
                   s.errorCode);
        return RequestOutcome::End;
    }
    DWORD result = 0;
    switch (p->req) {
    case CAN_THREAD_EXIT:
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, pThreadData->req == CAN_THREAD_EXIT\n");
        s.exitRequested = true;
        return RequestOutcome::End;
    case CAN_THREAD_REALLOC_EVENTS:
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, pThreadData->req == CAN_THREAD_REALLOC_EVENTS\n");
        if (!ReAllocEventSpace(&p->pEvents)) {
            result = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !ReAllocEventSpace( ... ), errorCode == %lu\n", result);
        }
        break;
    case CAN_THREAD_REALLOC_REMREPLIES:
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, pThreadData->req == CAN_THREAD_REALLOC_REMREPLIES\n");
        if (!ReAllocRemReplySpace(&p->pRemote)) {
            result = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !ReAllocRemReplySpace( ... ), errorCode == %lu\n",
                       result);
        }
        break;
    case CAN_THREAD_ENABLE_REMREPLY:
    case CAN_THREAD_DISABLE_REMREPLY: {
        bool enable = p->req == CAN_THREAD_ENABLE_REMREPLY;
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   enable ? "ribex::CanReadThread, pThreadData->req == CAN_THREAD_ENABLE_REMREPLY\n"
                          : "ribex::CanReadThread, pThreadData->req == CAN_THREAD_DISABLE_REMREPLY\n");
        if (s.hDevice == INVALID_HANDLE_VALUE) break;
        const RemReplyTable *pRemote = p->pRemote;
        DWORD index = p->reqIndex;
        if (!pRemote || index >= pRemote->noReplies || index >= pRemote->maxNoReplies) {
            result = ERROR_INVALID_PARAMETER;
            break;
        }
        DWORD canId = pRemote->reply[index].can.id;
        DWORD returned = 0;
        if (!DeviceIoControl(s.hDevice,
                             enable ? IOCTL_CAN_ENABLE_REMREPLY : IOCTL_CAN_DISABLE_REMREPLY,
                             &canId, sizeof(canId), nullptr, 0, &returned, nullptr)) {
            result = LastErrorOr(ERROR_GEN_FAILURE);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !DeviceIoControl( ... ), errorCode == %lu\n", result);
        }
        break;
    }
    default:
        result = ERROR_INVALID_PARAMETER;
        break;
    }
    bool growthFailed = result != 0 && (p->req == CAN_THREAD_REALLOC_EVENTS ||
                                        p->req == CAN_THREAD_REALLOC_REMREPLIES);
    if (growthFailed) {
        // Confirmed only after clean-up: once the requester has its answer
        // it may release the record, so the thread must be done with it.
        s.errorCode = result;
        s.confirmOwed = true;
        s.confirmError = result;
        return RequestOutcome::End;
    }
    p->errorCodeCfm = result;
    if (!SetEvent(p->hEventCfm)) {
        s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !SetEvent( pThreadData->hEventCfm ), errorCode == %lu\n",
                   s.errorCode);
        return RequestOutcome::End;
    }
    return RequestOutcome::Served;
}

// Waits for the next thing to do; the result uses the indexes of the
// three wait handles.
DWORD NextEvent(ReadThreadState &s) {
    if (s.readPending) return WaitForMultipleObjects(3, s.waitHandles, FALSE, INFINITE);
    if (s.retryDelayMs) {
        // No read outstanding: wait for requests and simulated frames until
        // the next read is due.
        HANDLE others[2] = {s.waitHandles[0], s.waitHandles[2]};
        LONG left = static_cast<LONG>(s.retryAt - GetTickCount());
        DWORD result = WaitForMultipleObjects(2, others, FALSE, left > 0 ? left : 0);
        if (result == WAIT_OBJECT_0) return WAIT_REQUEST;
        if (result == WAIT_OBJECT_0 + 1) return WAIT_SIM_CAN;
        if (result != WAIT_TIMEOUT) return result;
        s.retryDelayMs = 0;
        IssueRead(s);
        if (!s.readPending) return WAIT_DEVICE;
        return WaitForMultipleObjects(3, s.waitHandles, FALSE, INFINITE);
    }
    if (s.yieldFirst) {
        s.yieldFirst = false;
        DWORD result = WaitForMultipleObjects(3, s.waitHandles, FALSE, 0);
        return result == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_DEVICE) : result;
    }
    // A read completed or failed at once: process it without waiting.
    return WAIT_DEVICE;
}

void MainLoop(ReadThreadState &s) {
    for (;;) {
        DWORD result1 = NextEvent(s);
        if (result1 == WAIT_REQUEST) {
            if (HandleRequest(s) == RequestOutcome::End) return;
        } else if (result1 == WAIT_DEVICE) {
            if (!HandleDeviceBatch(s)) return;
            WakeClients(s);
        } else if (result1 == WAIT_SIM_CAN) {
            if (!HandleSimFrame(s)) return;
            WakeClients(s);
        } else {
            s.errorCode = LastErrorOr(ERROR_GEN_FAILURE);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, (result1 = WaitForMultipleObjects( ... )) == %lu, "
                       "errorCode == %lu\n",
                       result1, s.errorCode);
            return;
        }
    }
}

void KeepFirstError(ReadThreadState &s, DWORD error) {
    if (s.errorCode == 0) s.errorCode = error;
}

// Ends an outstanding read before its buffer goes; TRUE when it is over.
BOOL EndOutstandingRead(ReadThreadState &s) {
    if (!s.readPending || !s.overlappedRealCan.hEvent) return TRUE;
    CancelIo(s.hDevice);
    if (WaitForSingleObject(s.overlappedRealCan.hEvent, 1000) == WAIT_OBJECT_0) return TRUE;
    return FALSE;
}

// Closes the clients' events and frees the table. Only on CAN_THREAD_EXIT:
// the main thread then waits for this thread's end and reads nothing.
void ReleaseEventTable(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    RibexEventTable *pEvents = p->pEvents;
    if (!pEvents) return;
    DWORD noEvents = pEvents->noEvents;
    if (noEvents > pEvents->maxNoEvents) noEvents = pEvents->maxNoEvents;
    for (DWORD i = 0; i < noEvents; i++) {
        if (!CloseHandle(pEvents->pEventHandle[i])) {
            DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
            KeepFirstError(s, error);
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !CloseHandle( pThreadData->pEvents->pEventHandle[i] "
                       "), errorCode == %lu\n",
                       error);
            break;
        }
    }
    // Cleared, so that nobody mistakes the freed block for a table.
    p->pEvents = nullptr;
    if (!HeapFree(GetProcessHeap(), 0, pEvents)) {
        DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
        KeepFirstError(s, error);
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !HeapFree( ..., pThreadData->pEvents ), errorCode == "
                   "%lu\n",
                   error);
    }
}

void Cleanup(ReadThreadState &s) {
    // A thread that ends on its own leaves its client table to the
    // registry: the main thread may be reading it right now, and releases
    // it once it has seen this thread end. A failed start-up has no
    // clients yet, and its creator waits for the confirm.
    if (s.exitRequested || s.confirmOwed) ReleaseEventTable(s);
    // pRemote stays: the main thread may still look entries up until it has
    // seen this thread end, and frees the table with the net.
    bool readOver = true;
    if (s.hDevice != INVALID_HANDLE_VALUE) {
        readOver = EndOutstandingRead(s);
        CloseHandle(s.hDevice);
        if (!readOver)
            readOver = WaitForSingleObject(s.overlappedRealCan.hEvent, 1000) == WAIT_OBJECT_0;
        s.hDevice = INVALID_HANDLE_VALUE;
    }
    // A read that never ended may still write into the buffer: leak it
    // rather than let the driver write into freed memory.
    if (s.pReadBuffer && readOver) HeapFree(GetProcessHeap(), 0, s.pReadBuffer);
    s.pReadBuffer = nullptr;
    if (s.hSimCan) {
        if (!SimCanClose(s.hSimCan)) KeepFirstError(s, LastErrorOr(ERROR_INVALID_HANDLE));
        s.hSimCan = nullptr;
    }
    if (s.overlappedRealCan.hEvent && readOver) CloseHandle(s.overlappedRealCan.hEvent);
    if (s.hEventSimCan) CloseHandle(s.hEventSimCan);
}

}  // namespace

DWORD WINAPI CanReadThread(LPVOID pParam) {
    ReadThreadState s;
    s.pRibexNet = static_cast<RibexNet *>(pParam);
    s.pThreadData = &s.pRibexNet->threadParam;
    s.pRxBuffer = s.pThreadData->pRxBuffer;
    TraceEntry(Trace(), "\nribex::CanReadThread Entry\n");
    s.pThreadData->pEvents = nullptr;
    s.pThreadData->pRemote = nullptr;

    if (Startup(s)) MainLoop(s);
    Cleanup(s);

    DWORD errorCode = s.errorCode;
    if (s.confirmOwed) {
        // The last touch of the record: the requester may free it at once.
        s.pThreadData->errorCodeCfm = s.confirmError;
        if (!SetEvent(s.pThreadData->hEventCfm)) {
            DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
            KeepFirstError(s, error);
            errorCode = s.errorCode;
            TracePrint(Trace(), TRACE_LEVEL_EVENT,
                       "ribex::CanReadThread, !SetEvent( pThreadData->hEventCfm ), errorCode == %lu\n",
                       error);
        }
    }
    TraceExit(Trace(), "ribex::CanReadThread Exit (%lu)\n\n", errorCode);
    return errorCode;
}
