// The receive thread of a net: opens the net's frame sources (the CAN
// device and/or the simulated connection), stores their frames into the
// shared receive buffer, wakes the net's clients and serves the main
// thread's requests.
#include <windows.h>

#include <string.h>

#include "can_driver.h"
#include "event_table.h"
#include "last_error.h"
#include "net_record.h"
#include "rem_reply_table.h"
#include "ribex_names.h"
#include "ribex_trace_modules.h"
#include "rx_buffer.h"
#include "sim_can.h"
#include "version_check.h"
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

// A device that went away is opened again after 50 ms, then after twice
// the last pause, up to 1 s between tries, for as long as the net is open.
constexpr DWORD kFirstReopenDelayMs = 50;
constexpr DWORD kMaxReopenDelayMs = 1000;

// Reads that keep completing at once are published in rounds of this
// many frames; between rounds clients are woken and requests served.
constexpr DWORD kFramesPerRound = RX_BUFFER_NO_ENTRIES / 2;

const char kEventsDumpHead[] = "ribex::CanReadThread, pThreadData->pEvents->\n\tnoEvents == %lu\n";

enum WaitIndex : DWORD {
    WAIT_REQUEST = WAIT_OBJECT_0,
    WAIT_DEVICE = WAIT_OBJECT_0 + 1,
    WAIT_SIM_CAN = WAIT_OBJECT_0 + 2,
    WAIT_DEVICE_BACK = WAIT_OBJECT_0 + 3,  // no handle: the device opened again
};

// Where the device side of the loop stands between two waits, and what
// the loop does in each state (NextEvent):
//
//   NoReadIssued       waits for all three; without a device the thread
//                      stays here, as the device's event is never set
//   ReadOutstanding    waits for all three; the read's result is handled
//                      once its event is set
//   ResultReady        handles the read in hand without waiting
//   ResultAfterOthers  looks at requests and simulated frames first (no
//                      wait), then ResultReady
//   Paused             serves requests and simulated frames until
//                      retryAt, then issues the next read
//   Gone               the device went away and its handle is closed:
//                      serves requests and simulated frames, and tries to
//                      open it again at retryAt, each failure doubling the
//                      pause; once open, DeviceBack
//   DeviceBack         passes the enabled remote-frame identifiers to the
//                      driver, publishes the entry that says so and issues
//                      the next read
//
// The transitions: the start-up with a device, and the end of every
// result handled, issue the next read (IssueRead: to ReadOutstanding, or
// ResultReady when it came back at once). Reads that keep coming back at
// once are handled in one batch, until a round of frames is published
// (YieldAfterRound: to ResultAfterOthers) or a second unproductive read in
// a row pauses the reads (PauseReads: to Paused). A read error that means
// the device went away closes it (LoseDevice: to Gone).
enum class DeviceState {
    NoReadIssued,
    ReadOutstanding,
    ResultReady,
    ResultAfterOthers,
    Paused,
    Gone,
    DeviceBack
};

// How the receive thread comes to its end, which says who frees the client
// table (net_record.h) and whether a requester waits for a confirm.
enum class ThreadEnd {
    Running,
    OnItsOwn,       // a failure while serving: nobody waits; the registry frees the table
    ExitRequested,  // CAN_THREAD_EXIT: the requester waits for the end; we free the table
    ConfirmOwed,    // start-up or a table's growth failed: we free the table, then confirm
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
    DeviceState device = DeviceState::NoReadIssued;
    DWORD framesAsked = 0;  // of the read last issued
    DWORD bytesRead = 0;    // of the read in hand
    DWORD readError = 0;    // of the read in hand
    RxMsg *pReadBuffer = nullptr;
    DWORD unproductiveReads = 0;  // in a row: back at once, empty or failed
    DWORD retryAt = 0;            // Paused: when the next read is due; Gone: the next open
    DWORD reopenDelay = 0;        // Gone: the pause before the next open
    ThreadEnd end = ThreadEnd::Running;
    DWORD errorCode = 0;  // the thread's error code, its exit code and a confirm's answer
};

TraceModule *Trace() { return g_ribexTrace[TM_CAN_READ_THREAD]; }

DWORD CurrentHead(const ReadThreadState &s) { return RibexBufferHead(s.pRxBuffer); }

// Issues the next read at head, into the ring or the copy buffer.
void IssueRead(ReadThreadState &s) {
    DWORD head = CurrentHead(s);
    void *destination = s.pReadBuffer ? static_cast<void *>(s.pReadBuffer)
                                      : static_cast<void *>(&s.pRxBuffer->msg[head]);
    DWORD n = s.noMsgToRead;
    if (!s.pReadBuffer && n > RX_BUFFER_NO_ENTRIES - head) n = RX_BUFFER_NO_ENTRIES - head;
    s.framesAsked = n;
    DWORD pending = 0;
    s.readError =
        CanReadMsgs(s.hDevice, destination, n, &s.bytesRead, &s.overlappedRealCan, &pending);
    s.device = pending ? DeviceState::ReadOutstanding : DeviceState::ResultReady;
}

// From the second unproductive read in a row, the next one waits, 10 ms
// doubling to 1 s.
void PauseReads(ReadThreadState &s) {
    DWORD shift = s.unproductiveReads - 2 < 7 ? s.unproductiveReads - 2 : 7;
    DWORD delay = kFirstRetryDelayMs << shift;
    s.retryAt = GetTickCount() + (delay < kMaxRetryDelayMs ? delay : kMaxRetryDelayMs);
    s.device = DeviceState::Paused;
}

void YieldAfterRound(ReadThreadState &s) { s.device = DeviceState::ResultAfterOthers; }

// Requests and simulated frames until tick `until`; WAIT_TIMEOUT then.
DWORD WaitForOthersUntil(ReadThreadState &s, DWORD until) {
    HANDLE others[2] = {s.waitHandles[0], s.waitHandles[2]};
    LONG left = static_cast<LONG>(until - GetTickCount());
    DWORD result = WaitForMultipleObjects(2, others, FALSE, left > 0 ? left : 0);
    if (result == WAIT_OBJECT_0) return WAIT_REQUEST;
    if (result == WAIT_OBJECT_0 + 1) return WAIT_SIM_CAN;
    return result;
}

// The read in hand failed because the device went away: its error entry
// is published already (the only one until the device is back); the handle
// goes, and the device is opened again later.
void LoseDevice(ReadThreadState &s) {
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, DEVICE GONE, errorCode == %lu\n",
               s.readError);
    CloseHandle(s.hDevice);
    s.hDevice = INVALID_HANDLE_VALUE;
    s.unproductiveReads = 0;
    s.reopenDelay = kFirstReopenDelayMs;
    s.retryAt = GetTickCount() + s.reopenDelay;
    s.device = DeviceState::Gone;
}

// One try to open the device that went away; a failure doubles the pause
// before the next (up to 1 s) and publishes nothing.
BOOL TryReopenDevice(ReadThreadState &s) {
    HANDLE hDevice = CanOpenDevice(s.pRibexNet->name);
    if (hDevice == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        s.reopenDelay = s.reopenDelay * 2 < kMaxReopenDelayMs ? s.reopenDelay * 2 : kMaxReopenDelayMs;
        s.retryAt = GetTickCount() + s.reopenDelay;
        TracePrint(Trace(), TRACE_LEVEL_DETAIL,
                   "ribex::CanReadThread, hDevice == INVALID_HANDLE_VALUE, errorCode == %lu, next "
                   "try in %lu ms\n",
                   error, s.reopenDelay);
        return FALSE;
    }
    s.hDevice = hDevice;
    s.device = DeviceState::DeviceBack;
    return TRUE;
}

// Waits for the next thing to do; the result uses the indexes of the
// three wait handles.
DWORD NextEvent(ReadThreadState &s) {
    switch (s.device) {
    case DeviceState::NoReadIssued:
    case DeviceState::ReadOutstanding:
        return WaitForMultipleObjects(3, s.waitHandles, FALSE, INFINITE);
    case DeviceState::ResultReady:
        return WAIT_DEVICE;
    case DeviceState::ResultAfterOthers: {
        s.device = DeviceState::ResultReady;
        DWORD result = WaitForMultipleObjects(3, s.waitHandles, FALSE, 0);
        return result == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_DEVICE) : result;
    }
    case DeviceState::Paused: {
        DWORD result = WaitForOthersUntil(s, s.retryAt);
        if (result != WAIT_TIMEOUT) return result;
        IssueRead(s);
        return NextEvent(s);
    }
    case DeviceState::Gone:
        for (;;) {
            DWORD result = WaitForOthersUntil(s, s.retryAt);
            if (result != WAIT_TIMEOUT) return result;
            if (TryReopenDevice(s)) return WAIT_DEVICE_BACK;
        }
    case DeviceState::DeviceBack:
        return WAIT_DEVICE_BACK;
    }
    return WAIT_FAILED;
}

// Writes the line of a failure (which shows the error) and returns the
// error.
DWORD Traced(DWORD error, const char *line) {
    TracePrint(Trace(), TRACE_LEVEL_EVENT, line, error);
    return error;
}

// Ends the thread with error, confirmed to the requester only once the
// clean-up is done: with its answer the requester may release the record.
void EndConfirmingAfterCleanup(ReadThreadState &s, DWORD error) {
    s.end = ThreadEnd::ConfirmOwed;
    s.errorCode = error;
}

// Ends the thread with error, which its line shows; nobody waits for it.
DWORD EndOnItsOwn(ReadThreadState &s, DWORD error) {
    s.end = ThreadEnd::OnItsOwn;
    s.errorCode = error;
    return error;
}

// Fails the start-up with error after its line (null: none).
BOOL FailStartup(ReadThreadState &s, DWORD error, const char *line) {
    EndConfirmingAfterCleanup(s, line ? Traced(error, line) : error);
    return FALSE;
}

// The device "\\.\" + net name and, when the device is there or does not
// exist, the simulated peer's queue: at least one of them.
BOOL OpenSources(ReadThreadState &s) {
    const wchar_t *netName = s.pRibexNet->name;
    s.hDevice = CanOpenDevice(netName);
    DWORD openError = GetLastError();
    if (s.hDevice == INVALID_HANDLE_VALUE && openError == 0) openError = ERROR_GEN_FAILURE;
    if (openError == 0 || openError == ERROR_FILE_NOT_FOUND) s.hSimCan = SimCanOpen(netName);
    if (s.hDevice != INVALID_HANDLE_VALUE || s.hSimCan) return TRUE;
    // Without a device the peer's queue was the last attempt.
    return FailStartup(s,
                       openError == ERROR_FILE_NOT_FOUND ? LastErrorOr(ERROR_TIMEOUT) : openError,
                       "ribex::CanReadThread, hDevice == INVALID_HANDLE_VALUE && hSimCan == NULL, "
                       "errorCode == %lu\n");
}

// The driver's version, and NoMsgPerRead from its service key, kept
// inside 1..255.
BOOL CheckDriver(ReadThreadState &s) {
    CanDrvProperties *pCanDrvProperties = CanGetDriverProperties(s.hDevice);
    if (!pCanDrvProperties)
        return FailStartup(
            s, LastErrorOr(ERROR_GEN_FAILURE),
            "ribex::CanReadThread, ( pCanDrvProperties = CanGetDriverProperties( ... "
            ")) == NULL, errorCode == %lu\n");
    DWORD error = 0;
    const char *line = nullptr;
    if (!CheckVersion(nullptr, L"busXXXXX.sys", 3, kDriverMajorVersions,
                      pCanDrvProperties->majorVersion, pCanDrvProperties->minorVersion)) {
        error = LastErrorOr(ERROR_REVISION_MISMATCH);
        line = "ribex::CanReadThread, !CheckVersion( ... ), errorCode == %lu\n";
    } else if (!RibexGetConfig(CanDriverServiceName(pCanDrvProperties), &s.NoMsgPerRead)) {
        error = LastErrorOr(ERROR_FILE_NOT_FOUND);
        line = "ribex::CanReadThread, !RibexGetConfig( ... ), errorCode == %lu\n";
    }
    HeapFree(GetProcessHeap(), 0, pCanDrvProperties);
    if (error != 0) return FailStartup(s, error, line);
    if (s.NoMsgPerRead == 0 || s.NoMsgPerRead > kMaxNoMsgPerRead) {
        DWORD clamped = s.NoMsgPerRead == 0 ? 1 : kMaxNoMsgPerRead;
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, NoMsgPerRead == %lu out of range 1..255, using %lu\n",
                   s.NoMsgPerRead, clamped);
        s.NoMsgPerRead = clamped;
    }
    return TRUE;
}

// With both sources, device reads go to a buffer of their own and are
// copied into the ring; and the events of the device read and of the
// simulated frame.
BOOL CreateReadResources(ReadThreadState &s) {
    if (s.hDevice != INVALID_HANDLE_VALUE && s.hSimCan) {
        s.pReadBuffer = static_cast<RxMsg *>(
            HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(s.NoMsgPerRead) * sizeof(RxMsg)));
        if (!s.pReadBuffer) return FailStartup(s, ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    s.overlappedRealCan.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s.overlappedRealCan.hEvent)
        return FailStartup(s, LastErrorOr(ERROR_NOT_ENOUGH_MEMORY),
                           "ribex::CanReadThread, ( overlappedRealCan.hEvent = CreateEvent( ... )) "
                           "== NULL, errorCode == %lu\n");
    s.hEventSimCan = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s.hEventSimCan)
        return FailStartup(s, LastErrorOr(ERROR_NOT_ENOUGH_MEMORY),
                           "ribex::CanReadThread, ( hEventSimCan = CreateEvent( ... )) == NULL, "
                           "errorCode == %lu\n");
    return TRUE;
}

BOOL Startup(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    if (!s.pRxBuffer) return FailStartup(s, ERROR_INVALID_PARAMETER, nullptr);
    if (!OpenSources(s)) return FALSE;
    if (!ReAllocEventSpace(&p->pEvents))
        return FailStartup(s, LastErrorOr(ERROR_NOT_ENOUGH_MEMORY),
                           "ribex::CanReadThread, !ReAllocEventSpace( ... ), errorCode == %lu\n");
    if (s.hDevice != INVALID_HANDLE_VALUE && !CheckDriver(s)) return FALSE;

    DWORD head = CurrentHead(s);
    DWORD room = RX_BUFFER_NO_ENTRIES - head;
    s.noMsgToRead = s.NoMsgPerRead < room ? s.NoMsgPerRead : room;
    if (!CreateReadResources(s)) return FALSE;

    RibexBufferMark(s.pRxBuffer, head, s.noMsgToRead);
    s.waitHandles[0] = p->hEventReq;
    s.waitHandles[1] = s.overlappedRealCan.hEvent;
    s.waitHandles[2] = s.hEventSimCan;

    if (s.hDevice != INVALID_HANDLE_VALUE) {
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, hDevice != INVALID_HANDLE_VALUE\n");
        // A read that fails here becomes the first error entry of the ring.
        IssueRead(s);
    }

    p->errorCodeCfm = 0;
    if (!SetEvent(p->hEventCfm)) {
        EndOnItsOwn(s, LastErrorOr(ERROR_INVALID_HANDLE));
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

// Takes the result of the read that was outstanding. FALSE: the thread
// must end; *pDone false: the read is not over yet after all.
BOOL TakeOutstandingResult(ReadThreadState &s, bool *pDone) {
    *pDone = false;
    if (!ResetEvent(s.overlappedRealCan.hEvent)) {
        EndOnItsOwn(s, LastErrorOr(ERROR_INVALID_HANDLE));
        TracePrint(
            Trace(), TRACE_LEVEL_EVENT,
            "ribex::CanReadThread, !ResetEvent( overlappedRealCan.hEvent ), errorCode == %lu\n",
            s.errorCode);
        return FALSE;
    }
    DWORD bytes = 0;
    if (GetOverlappedResult(s.hDevice, &s.overlappedRealCan, &bytes, FALSE)) {
        s.readError = 0;
        s.bytesRead = bytes;
    } else {
        DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
        // Signalled before the read was done: it still owns its buffer, so
        // neither publish nor read again.
        if (error == ERROR_IO_INCOMPLETE) return TRUE;
        s.readError = error;
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !GetOverlappedResult( ... ), errorCode == %lu\n", error);
    }
    s.device = DeviceState::ResultReady;
    *pDone = true;
    return TRUE;
}

// Publishes the read in hand and issues the next, for as long as reads
// come back at once. FALSE: the thread must end.
BOOL HandleDeviceBatch(ReadThreadState &s) {
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 1\n");
    DWORD published = 0;
    do {
        // Only a read that came back at once, empty or failed, can spin
        // this thread; one that waited was the driver's own pace.
        bool waited = s.device == DeviceState::ReadOutstanding;
        if (waited) {
            bool done = false;
            if (!TakeOutstandingResult(s, &done)) return FALSE;
            if (!done) return TRUE;
        }
        bool spinning = !waited && (s.readError != 0 || s.bytesRead < sizeof(RxMsg));
        PublishReadResult(s);
        if (s.readError != 0 && CanDeviceGone(s.readError)) {
            LoseDevice(s);
            return TRUE;
        }
        published += s.readError ? 1 : s.bytesRead / sizeof(RxMsg);
        s.unproductiveReads = spinning ? s.unproductiveReads + 1 : 0;
        if (s.unproductiveReads >= 2) {
            PauseReads(s);
            return TRUE;
        }
        IssueRead(s);
        if (s.device == DeviceState::ResultReady && published >= kFramesPerRound) {
            YieldAfterRound(s);
            return TRUE;
        }
    } while (s.device == DeviceState::ResultReady);
    return TRUE;
}

BOOL HandleSimFrame(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, result1 == WAIT_OBJECT_0 + 2\n");
    if (!ResetEvent(s.hEventSimCan)) {
        EndOnItsOwn(s, LastErrorOr(ERROR_INVALID_HANDLE));
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

void WakeClients(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    BeginWakePass(p);
    RibexEventTable *pEvents = p->pEvents;
    if (pEvents) {
        DWORD noEvents = EventTableCount(pEvents);
        for (DWORD i = 0; i < noEvents; i++) {
            if (!SetEvent(pEvents->pEventHandle[i])) {
                s.errorCode = LastErrorOr(ERROR_INVALID_HANDLE);
                break;
            }
        }
        TraceEventTable(Trace(), kEventsDumpHead, pEvents);
    }
    EndWakePass(p);
}

// Passes the reply table entry reqIndex to the driver, or takes it back.
DWORD PassRemReplyToDriver(ReadThreadState &s, bool enable) {
    RibexThreadParam *p = s.pThreadData;
    TracePrint(Trace(), TRACE_LEVEL_EVENT,
               enable ? "ribex::CanReadThread, pThreadData->req == CAN_THREAD_ENABLE_REMREPLY\n"
                      : "ribex::CanReadThread, pThreadData->req == CAN_THREAD_DISABLE_REMREPLY\n");
    if (s.hDevice == INVALID_HANDLE_VALUE) return 0;
    const RemReplyTable *pRemote = p->pRemote;
    DWORD index = p->reqIndex;
    if (!pRemote || index >= pRemote->noReplies || index >= pRemote->maxNoReplies)
        return ERROR_INVALID_PARAMETER;
    DWORD canId = pRemote->reply[index].can.id;
    DWORD returned = 0;
    if (!DeviceIoControl(s.hDevice, enable ? IOCTL_CAN_ENABLE_REMREPLY : IOCTL_CAN_DISABLE_REMREPLY,
                         &canId, sizeof(canId), nullptr, 0, &returned, nullptr))
        return Traced(LastErrorOr(ERROR_GEN_FAILURE),
                      "ribex::CanReadThread, !DeviceIoControl( ... ), errorCode == %lu\n");
    return 0;
}

// A device opened again holds none of the net's remote-frame identifiers:
// each entry of the table goes to the driver once more. One the driver
// refuses is traced and left out; the others still go.
void PassAllRemRepliesToDriver(ReadThreadState &s) {
    const RemReplyTable *pRemote = s.pThreadData->pRemote;
    if (!pRemote) return;
    DWORD noReplies = pRemote->noReplies;
    if (noReplies > pRemote->maxNoReplies) noReplies = pRemote->maxNoReplies;
    for (DWORD i = 0; i < noReplies; i++) {
        DWORD canId = pRemote->reply[i].can.id;
        DWORD returned = 0;
        if (!DeviceIoControl(s.hDevice, IOCTL_CAN_ENABLE_REMREPLY, &canId, sizeof(canId), nullptr,
                             0, &returned, nullptr))
            Traced(LastErrorOr(ERROR_GEN_FAILURE),
                   "ribex::CanReadThread, !DeviceIoControl( ... ), errorCode == %lu\n");
    }
}

// The device is open again: its identifiers, then one entry that says it
// is back (stamped by its clock, so that it sorts among its frames), then
// the next read.
void HandleDeviceBack(ReadThreadState &s) {
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, DEVICE BACK, errorCode == %lu\n",
               RX_ERROR_DEVICE_BACK);
    PassAllRemRepliesToDriver(s);
    DWORD head = CurrentHead(s);
    RibexBufferStoreDevice(s.pRxBuffer, 1, nullptr, RX_ERROR_DEVICE_BACK);
    uint64_t stamp = 0;
    if (CanGetTimeStamp(s.hDevice, &stamp)) s.pRxBuffer->msg[head].timeStamp = stamp;
    RibexBufferAdvance(s.pRxBuffer, 1, s.NoMsgPerRead, &s.noMsgToRead);
    IssueRead(s);
}

// Serves every request but CAN_THREAD_EXIT; the error code to confirm.
DWORD ServeRequest(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    switch (p->req) {
    case CAN_THREAD_REALLOC_EVENTS:
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, pThreadData->req == CAN_THREAD_REALLOC_EVENTS\n");
        if (ReAllocEventSpace(&p->pEvents)) return 0;
        return Traced(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY),
                      "ribex::CanReadThread, !ReAllocEventSpace( ... ), errorCode == %lu\n");
    case CAN_THREAD_REALLOC_REMREPLIES:
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, pThreadData->req == CAN_THREAD_REALLOC_REMREPLIES\n");
        if (ReAllocRemReplySpace(&p->pRemote)) return 0;
        return Traced(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY),
                      "ribex::CanReadThread, !ReAllocRemReplySpace( ... ), errorCode == %lu\n");
    case CAN_THREAD_ENABLE_REMREPLY:
        return PassRemReplyToDriver(s, true);
    case CAN_THREAD_DISABLE_REMREPLY:
        return PassRemReplyToDriver(s, false);
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

enum class RequestOutcome { Served, End };

RequestOutcome HandleRequest(ReadThreadState &s) {
    RibexThreadParam *p = s.pThreadData;
    TracePrint(Trace(), TRACE_LEVEL_EVENT, "ribex::CanReadThread, result1 == WAIT_OBJECT_0\n");
    if (!ResetEvent(p->hEventReq)) {
        EndOnItsOwn(
            s, Traced(LastErrorOr(ERROR_INVALID_HANDLE),
                      "ribex::CanReadThread, !ResetEvent( pThreadData->hEventReq ), errorCode == "
                      "%lu\n"));
        return RequestOutcome::End;
    }
    if (p->req == CAN_THREAD_EXIT) {
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, pThreadData->req == CAN_THREAD_EXIT\n");
        s.end = ThreadEnd::ExitRequested;
        return RequestOutcome::End;
    }
    DWORD result = ServeRequest(s);
    if (result != 0 &&
        (p->req == CAN_THREAD_REALLOC_EVENTS || p->req == CAN_THREAD_REALLOC_REMREPLIES)) {
        // A table that cannot grow ends the net.
        EndConfirmingAfterCleanup(s, result);
        return RequestOutcome::End;
    }
    p->errorCodeCfm = result;
    if (!SetEvent(p->hEventCfm)) {
        EndOnItsOwn(s, LastErrorOr(ERROR_INVALID_HANDLE));
        TracePrint(Trace(), TRACE_LEVEL_EVENT,
                   "ribex::CanReadThread, !SetEvent( pThreadData->hEventCfm ), errorCode == %lu\n",
                   s.errorCode);
        return RequestOutcome::End;
    }
    return RequestOutcome::Served;
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
        } else if (result1 == WAIT_DEVICE_BACK) {
            HandleDeviceBack(s);
            WakeClients(s);
        } else {
            EndOnItsOwn(s, LastErrorOr(ERROR_GEN_FAILURE));
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
    if (s.device != DeviceState::ReadOutstanding || !s.overlappedRealCan.hEvent) return TRUE;
    CancelIo(s.hDevice);
    if (WaitForSingleObject(s.overlappedRealCan.hEvent, 1000) == WAIT_OBJECT_0) return TRUE;
    return FALSE;
}

void Cleanup(ReadThreadState &s) {
    // A thread that ends on its own leaves its client table to the
    // registry: the main thread may be reading it right now, and releases
    // it once it has seen this thread end. A failed start-up has no
    // clients yet, and its creator waits for the confirm.
    if (s.end == ThreadEnd::ExitRequested || s.end == ThreadEnd::ConfirmOwed) {
        DWORD error = ReleaseEventTable(&s.pThreadData->pEvents, Trace());
        if (error != 0) KeepFirstError(s, error);
    }
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
    if (s.end == ThreadEnd::Running) s.end = ThreadEnd::OnItsOwn;
    Cleanup(s);

    DWORD errorCode = s.errorCode;
    if (s.end == ThreadEnd::ConfirmOwed) {
        // The last touch of the record: the requester may free it at once.
        s.pThreadData->errorCodeCfm = s.errorCode;
        if (!SetEvent(s.pThreadData->hEventCfm)) {
            DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
            KeepFirstError(s, error);
            errorCode = s.errorCode;
            TracePrint(
                Trace(), TRACE_LEVEL_EVENT,
                "ribex::CanReadThread, !SetEvent( pThreadData->hEventCfm ), errorCode == %lu\n",
                error);
        }
    }
    TraceExit(Trace(), "ribex::CanReadThread Exit (%lu)\n\n", errorCode);
    return errorCode;
}
