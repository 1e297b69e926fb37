// The net list, client registration and removal.
#include "net_registry.h"

#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "event_table.h"
#include "last_error.h"
#include "ribex_names.h"
#include "ribex_trace_modules.h"
#include "rx_buffer.h"

namespace {

// The sentinel: holds only the two links; allocated on the first
// registration and never freed.
RibexNet *pRoot = NULL;

TraceModule *TraceModuleOf(RibexTraceModuleIndex index) { return g_ribexTrace[index]; }

const char kRegisterDumpHead[] =
    "ribex::RegisterRibexClient, pRibexNet->threadParam.pEvents->\n\tnoEvents == %lu\n";
const char kUnRegisterDumpHead[] =
    "ribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->\n\tnoEvents == %lu\n";

void LinkAtTail(RibexNet *pRibexNet) {
    pRibexNet->prev = pRoot->prev;
    pRibexNet->next = pRoot;
    pRoot->prev->next = pRibexNet;
    pRoot->prev = pRibexNet;
}

void Unlink(RibexNet *pRibexNet) {
    pRibexNet->prev->next = pRibexNet->next;
    pRibexNet->next->prev = pRibexNet->prev;
    pRibexNet->next = pRibexNet;
    pRibexNet->prev = pRibexNet;
}

BOOL IsLinked(const RibexNet *pRibexNet) { return pRibexNet->next != pRibexNet; }

BOOL SameId(const RxUniqueId &id, DWORD high, DWORD low) {
    return id.high == high && id.low == low;
}

unsigned TraceValue(const void *p) { return (unsigned)(ULONG_PTR)p; }

BOOL ThreadHasEnded(const RibexNet *pRibexNet, DWORD waitMs) {
    return pRibexNet->hThread == NULL ||
           WaitForSingleObject(pRibexNet->hThread, waitMs) == WAIT_OBJECT_0;
}

// Releases what a net holds once its thread is gone (or was never
// started), in the order of a last client's removal, clearing each piece
// as it goes. With stopAtFailure the first failure stops the sequence and
// the net keeps what is left (a later sweep of ended nets may try again);
// otherwise every piece is released and the first error reported.
// Failures are written as UnRegisterRibexClient's lines through module
// (null: none).
DWORD ReleaseNet(RibexNet *pRibexNet, BOOL stopAtFailure, TraceModule *module) {
    RibexThreadParam *tp = &pRibexNet->threadParam;
    DWORD firstErr = 0;
    // Releases one piece and clears it; FALSE when the sequence must stop.
    auto release = [&](auto &piece, auto releaseCall, const char *failureLine) -> BOOL {
        if (piece == NULL) return TRUE;
        if (releaseCall(piece)) {
            piece = NULL;
            return TRUE;
        }
        DWORD err = LastErrorOr(ERROR_INVALID_HANDLE);
        TracePrint(module, TRACE_LEVEL_EVENT, failureLine);
        if (firstErr == 0) firstErr = err;
        return !stopAtFailure;
    };
    if (!release(
            tp->hEventReq, CloseHandle,
            "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->threadParam.hEventReq )\n") ||
        !release(
            tp->hEventCfm, CloseHandle,
            "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->threadParam.hEventCfm )\n"))
        return firstErr;
    // A thread told to exit has released its table; one that ended on its
    // own (or before it saw the request) leaves it and the clients'
    // events to us.
    ReleaseEventTable(&tp->pEvents, NULL);
    if (!release(pRibexNet->hThread, CloseHandle,
                 "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->hThread )\n") ||
        !release(tp->pRxBuffer, UnmapViewOfFile,
                 "\tribex::UnRegisterRibexClient, !UnmapViewOfFile( ... )\n") ||
        !release(pRibexNet->hFileMappingObject, CloseHandle,
                 "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->hFileMappingObject )\n"))
        return firstErr;
    // The thread never frees the reply table; it goes with the net.
    if (tp->pRemote != NULL) HeapFree(GetProcessHeap(), 0, tp->pRemote);
    tp->pRemote = NULL;
    if (IsLinked(pRibexNet)) Unlink(pRibexNet);
    if (!HeapFree(GetProcessHeap(), 0, pRibexNet)) {
        DWORD err = LastErrorOr(ERROR_INVALID_HANDLE);
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::UnRegisterRibexClient, !HeapFree( ..., pRibexNet )\n");
        if (firstErr == 0) firstErr = err;
    }
    return firstErr;
}

// A net left without a client: ask its thread to end if it still runs,
// wait for it, release the net. Silent and best effort.
void StopAndReleaseNet(RibexNet *pRibexNet) {
    if (!ThreadHasEnded(pRibexNet, 0)) StopNetThread(pRibexNet, NULL, "");
    ReleaseNet(pRibexNet, FALSE, NULL);
}

// An open net whose name equals netName but for letter case.
BOOL CaseTwinIsOpen(const wchar_t *netName) {
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = GetNextRibexNet(p))
        if (wcscmp(p->name, netName) != 0 && _wcsicmp(p->name, netName) == 0) return TRUE;
    return FALSE;
}

void ReapOne(RibexNet *pRibexNet, TraceModule *module, const char *callerName) {
    DWORD exitCode = 0;
    if (pRibexNet->hThread != NULL) GetExitCodeThread(pRibexNet->hThread, &exitCode);
    TracePrint(module, TRACE_LEVEL_EVENT,
               "\tribex::%s, receive thread of %hs has ended, exitCode == %lu\n", callerName,
               pRibexNet->name, exitCode);
    ReleaseNet(pRibexNet, FALSE, NULL);
}

// Removes entry index of a registered net: the last client stops the
// thread and releases the net, any other is taken out of the table and its
// event handed to the thread for closing. Uses UnRegisterRibexClient's lines.
DWORD RemoveClientAt(RibexNet *pRibexNet, DWORD index) {
    TraceModule *module = TraceModuleOf(TM_UNREGISTER_RIBEX_CLIENT);
    RibexEventTable *pEvents = pRibexNet->threadParam.pEvents;

    if (pEvents->noEvents == 1) {
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->noEvents == 1\n");
        DWORD err = StopNetThread(pRibexNet, module, "UnRegisterRibexClient");
        // From here on the thread is gone: its table is freed, its client
        // events closed.
        return err != 0 ? err : ReleaseNet(pRibexNet, TRUE, module);
    }

    TracePrint(module, TRACE_LEVEL_EVENT,
               "\tribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->noEvents != 1\n");
    DWORD last = pEvents->noEvents - 1;
    HANDLE hEvent = pEvents->pEventHandle[index];
    pEvents->pUniqueId[index] = pEvents->pUniqueId[last];
    pEvents->pEventHandle[index] = pEvents->pEventHandle[last];
    pEvents->noEvents = last;
    TraceEventTable(module, kUnRegisterDumpHead, pEvents);
    // A wake pass still running may have read this handle: it is closed
    // once that pass is over, at once otherwise.
    if (!CloseRemovedClientEvent(pRibexNet, hEvent)) {
        DWORD err = GetLastError();
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::UnRegisterRibexClient, !CloseHandle( hEvent )\n");
        return err;
    }
    return 0;
}

// Runs remove(module) between UnRegisterRibexClient's entry and exit lines.
template <typename Remove>
BOOL AsUnRegisterRibexClient(Remove remove) {
    TraceModule *module = TraceModuleOf(TM_UNREGISTER_RIBEX_CLIENT);
    TraceEntry(module, "\nribex::UnRegisterRibexClient Entry\n");
    DWORD err = remove(module);
    return ExitWith(module, "ribex::UnRegisterRibexClient Exit (%s), errorCode == %lu\n\n", err);
}

// Removes entry index of a listed net as a close request would.
BOOL UnRegisterEntry(RibexNet *pRibexNet, DWORD index) {
    return AsUnRegisterRibexClient([&](TraceModule *) { return RemoveClientAt(pRibexNet, index); });
}

// The receive buffer of a new net: the mapping named after the net, its
// view and its creation values. A mapping left by an earlier server and
// still held by a client is taken over as it is and written on from where
// the old server stopped, so that readers in every process read on; only
// a header that is not ours is reset.
DWORD CreateNetBuffer(RibexNet *pRibexNet, TraceModule *module) {
    RibexThreadParam *tp = &pRibexNet->threadParam;
    wchar_t *pName = CreateUniqueName(pRibexNet->name, 0, 0, L"FMO");
    if (pName == NULL) {
        DWORD err = GetLastError();
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::RegisterRibexClient, (pName = CreateUniqueName( ..., L\"FMO\" )) == NULL\n");
        return err;
    }
    TracePrint(module, TRACE_LEVEL_DETAIL, "\tribex::RegisterRibexClient, Rx buffer space == %lu\n",
               (DWORD)RIBEX_RX_BUFFER_SPACE);
    pRibexNet->hFileMappingObject = CreateFileMappingW(
        INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE | SEC_COMMIT, 0, RIBEX_RX_BUFFER_SPACE, pName);
    DWORD mappingErr = GetLastError();
    if (!HeapFree(GetProcessHeap(), 0, pName))
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::RegisterRibexClient, !HeapFree( ... )\n");
    if (pRibexNet->hFileMappingObject != NULL && mappingErr == ERROR_ALREADY_EXISTS &&
        CaseTwinIsOpen(pRibexNet->name)) {
        // Where object names ignore case, a net spelled like an open one
        // but for case gets that net's buffer (and its device and peer
        // queue): two receive threads would write one ring.
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::RegisterRibexClient, pRibexNet->hFileMappingObject belongs to an open net, "
            "errorCode == %lu\n",
            (DWORD)ERROR_ALREADY_EXISTS);
        return ERROR_ALREADY_EXISTS;
    }
    if (pRibexNet->hFileMappingObject == NULL) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::RegisterRibexClient, pRibexNet->hFileMappingObject == NULL errorCode "
                   "== %lu\n",
                   mappingErr);
        return mappingErr;
    }
    tp->pRxBuffer =
        (RxBufferLayout *)MapViewOfFile(pRibexNet->hFileMappingObject, FILE_MAP_WRITE, 0, 0, 0);
    if (tp->pRxBuffer == NULL) {
        DWORD err = GetLastError();
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::RegisterRibexClient, (pRibexNet->threadParam.pRxBuffer = "
                   "MapViewOfFile( ... )) "
                   "== NULL\n");
        return err;
    }
    if (mappingErr != ERROR_ALREADY_EXISTS || !RibexBufferTakeOver(tp->pRxBuffer))
        RibexBufferInit(tp->pRxBuffer);
    const RxBuffer *h = &tp->pRxBuffer->header;
    TracePrint(module, TRACE_LEVEL_DETAIL,
               "\tribex::RegisterRibexClient, pRibexNet->threadParam.pRxBuffer->\n\t\t%s == %lu\n"
               "\t\t%s == %lu\n\t\t%s == %lu\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n"
               "\t\t%s == %#x\n",
               "currSeqNo", h->currSeqNo, "head", h->head, "noEntries", h->noEntries, "seqNoOffset",
               h->seqNoOffset, "errorCodeOffset", h->errorCodeOffset, "msgOffset", h->msgOffset,
               "simCanUniqueIdOffset", h->simCanUniqueIdOffset);
    return 0;
}

// Starts the receive thread of a new net and waits for its start-up
// confirm.
DWORD StartNetThread(RibexNet *pRibexNet, TraceModule *module) {
    pRibexNet->hThread = CreateThread(NULL, 0, CanReadThread, pRibexNet, 0, NULL);
    if (pRibexNet->hThread == NULL) {
        DWORD err = GetLastError();
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::RegisterRibexClient, (pRibexNet->hThread = CreateThread( ... )) == NULL\n");
        return err;
    }
    // Waiting on the thread handle too: a thread that dies before its
    // confirm must not leave the server waiting for ever.
    if (!AwaitNetThreadConfirm(pRibexNet, module, "RegisterRibexClient")) return GetLastError();
    return 0;
}

void TraceNetRecord(const RibexNet *pRibexNet, TraceModule *module) {
    const RibexThreadParam *tp = &pRibexNet->threadParam;
    TracePrint(
        module, TRACE_LEVEL_DETAIL,
        "\tribex::RegisterRibexClient, pRibexNet->\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n"
        "\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %hs\n",
        "hFileMappingObject", TraceValue(pRibexNet->hFileMappingObject), "hThread",
        TraceValue(pRibexNet->hThread), "threadParam.hEventReq", TraceValue(tp->hEventReq),
        "threadParam.hEventCfm", TraceValue(tp->hEventCfm), "threadParam.pRxBuffer",
        TraceValue(tp->pRxBuffer), "threadParam.pEvents", TraceValue(tp->pEvents), "name",
        pRibexNet->name);
}

// A new net for netName, listed once its receive thread has confirmed its
// start; null with the error in *pErr, having released all it built.
RibexNet *BuildNet(const wchar_t *netName, TraceModule *module, DWORD *pErr) {
    size_t nameChars = wcslen(netName) + 1;
    RibexNet *pRibexNet = (RibexNet *)HeapAlloc(
        GetProcessHeap(), HEAP_ZERO_MEMORY, offsetof(RibexNet, name) + nameChars * sizeof(wchar_t));
    if (pRibexNet == NULL) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::RegisterRibexClient, (pRibexNet = HeapAlloc( ... )) == NULL\n");
        *pErr = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    pRibexNet->next = pRibexNet->prev = pRibexNet;
    memcpy(pRibexNet->name, netName, nameChars * sizeof(wchar_t));

    RibexThreadParam *tp = &pRibexNet->threadParam;
    DWORD err = 0;
    tp->hEventReq = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (tp->hEventReq == NULL) {
        err = GetLastError();
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::RegisterRibexClient, (pRibexNet->threadParam.hEventReq = CreateEvent( ... )) "
            "== NULL\n");
    }
    if (err == 0 && (tp->hEventCfm = CreateEventW(NULL, TRUE, FALSE, NULL)) == NULL) {
        err = GetLastError();
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::RegisterRibexClient, (pRibexNet->threadParam.hEventCfm = CreateEvent( ... )) "
            "== NULL\n");
    }
    if (err == 0) err = CreateNetBuffer(pRibexNet, module);
    if (err == 0) err = StartNetThread(pRibexNet, module);
    if (err != 0) {
        StopAndReleaseNet(pRibexNet);
        *pErr = err;
        return NULL;
    }
    LinkAtTail(pRibexNet);
    TraceNetRecord(pRibexNet, module);
    return pRibexNet;
}

// Adds the client's wake-up event to the net's table, growing the table
// through the thread when it is full. On failure the client is not in the
// table and its event is closed; *pGrowthFailed tells a failed growth,
// which ends the net's thread.
DWORD AddClient(RibexNet *pRibexNet, DWORD high, DWORD low, TraceModule *module,
                BOOL *pGrowthFailed) {
    RibexThreadParam *tp = &pRibexNet->threadParam;
    wchar_t *pName = CreateUniqueName(pRibexNet->name, high, low, L"EVT");
    if (pName == NULL) {
        DWORD err = GetLastError();
        TracePrint(
            module, TRACE_LEVEL_EVENT,
            "\tribex::RegisterRibexClient, (pName = CreateUniqueName( ..., L\"EVT\" )) == NULL\n");
        return err;
    }
    HANDLE hEvent = OpenEventW(EVENT_ALL_ACCESS, FALSE, pName);
    DWORD err = hEvent == NULL ? GetLastError() : 0;
    HeapFree(GetProcessHeap(), 0, pName);
    if (hEvent == NULL) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::RegisterRibexClient, (hEvent = OpenEvent( ... )) == NULL\n");
        return err;
    }
    if (tp->pEvents == NULL) {
        // Only a thread that has ended leaves a listed net without one.
        err = ERROR_INVALID_HANDLE;
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::RegisterRibexClient, pRibexNet->threadParam.pEvents == NULL\n");
    } else if (tp->pEvents->noEvents == tp->pEvents->maxNoEvents &&
               !RequestNetThread(pRibexNet, CAN_THREAD_REALLOC_EVENTS, 0, module,
                                 "RegisterRibexClient")) {
        err = GetLastError();
        *pGrowthFailed = TRUE;
    }
    if (err != 0) {
        CloseHandle(hEvent);
        return err;
    }
    RibexEventTable *pEvents = tp->pEvents;
    DWORD slot = pEvents->noEvents;
    pEvents->pUniqueId[slot].high = high;
    pEvents->pUniqueId[slot].low = low;
    pEvents->pEventHandle[slot] = hEvent;
    // The receive thread reads the table without a lock: the entry must
    // be complete before the count admits it.
    MemoryBarrier();
    pEvents->noEvents = slot + 1;
    TraceEventTable(module, kRegisterDumpHead, pEvents);
    return 0;
}

}  // namespace

RibexNet *GetFirstRibexNet(void) {
    if (pRoot == NULL || pRoot->next == pRoot) return NULL;
    return pRoot->next;
}

RibexNet *GetNextRibexNet(RibexNet *pRibexNet) {
    return pRibexNet->next == pRoot ? NULL : pRibexNet->next;
}

// For tests only (server_test_access.h).
DWORD CountRibexNets(void) {
    DWORD n = 0;
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = GetNextRibexNet(p)) ++n;
    return n;
}

DWORD ReapEndedRibexNets(TraceModule *module, const char *callerName) {
    DWORD lookedAt = 0;
    for (RibexNet *p = GetFirstRibexNet(), *next = NULL; p != NULL; p = next, ++lookedAt) {
        next = GetNextRibexNet(p);
        if (ThreadHasEnded(p, 0)) ReapOne(p, module, callerName);
    }
    return lookedAt;
}

BOOL ReapIfThreadEnded(RibexNet *pRibexNet, DWORD waitMs, TraceModule *module,
                       const char *callerName) {
    if (!ThreadHasEnded(pRibexNet, waitMs)) return FALSE;
    ReapOne(pRibexNet, module, callerName);
    return TRUE;
}

RibexNet *GetRibexNet(const wchar_t *netName) {
    TraceModule *module = TraceModuleOf(TM_GET_RIBEX_NET);
    TraceEntry(module, "\nribex::GetRibexNet Entry\n");
    RibexNet *found = NULL;
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = GetNextRibexNet(p)) {
        if (wcscmp(p->name, netName) == 0) {
            found = p;
            break;
        }
    }
    TraceExit(module, "ribex::GetRibexNet Exit (%x)\n\n", TraceValue(found));
    return found;
}

RibexNet *GetRibexUniqueId(DWORD high, DWORD low, DWORD *pIndex) {
    TraceModule *module = TraceModuleOf(TM_GET_RIBEX_UNIQUE_ID);
    TraceEntry(module, "\nribex::GetRibexUniqueId Entry\n");
    TracePrint(module, TRACE_LEVEL_DETAIL, "\tribex::GetRibexUniqueId, uniqueId == %#x:%#x\n", high,
               low);
    RibexNet *found = NULL;
    for (RibexNet *p = GetFirstRibexNet(); p != NULL && found == NULL; p = GetNextRibexNet(p)) {
        const RibexEventTable *pEvents = p->threadParam.pEvents;
        if (pEvents == NULL) continue;
        for (DWORD i = 0; i < pEvents->noEvents; ++i) {
            TracePrint(module, TRACE_LEVEL_DETAIL,
                       "\tribex::GetRibexUniqueId, pEvents->pUniqueId[%d] == %#x:%#x\n", i,
                       pEvents->pUniqueId[i].high, pEvents->pUniqueId[i].low);
            if (SameId(pEvents->pUniqueId[i], high, low)) {
                *pIndex = i;
                found = p;
                break;
            }
        }
    }
    TraceExit(module, "ribex::GetRibexUniqueId Exit (%x)\n\n", TraceValue(found));
    return found;
}

RibexNet *FindClientNet(DWORD high, DWORD low, DWORD *pIndex, TraceModule *module,
                        const char *callerName) {
    ReapEndedRibexNets(module, callerName);
    RibexNet *pRibexNet = GetRibexUniqueId(high, low, pIndex);
    if (pRibexNet == NULL)
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::%s, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n", callerName);
    return pRibexNet;
}

BOOL RegisterRibexClient(const wchar_t *netName, DWORD high, DWORD low) {
    TraceModule *module = TraceModuleOf(TM_REGISTER_RIBEX_CLIENT);
    TraceEntry(module, "\nribex::RegisterRibexClient Entry\n");
    const char *exitFormat = "ribex::RegisterRibexClient Exit (%s), errorCode == %lu\n\n";
    if (pRoot == NULL) {
        pRoot = (RibexNet *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RibexNet));
        if (pRoot == NULL) {
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::RegisterRibexClient, pRoot == NULL\n");
            return ExitWith(module, exitFormat, ERROR_NOT_ENOUGH_MEMORY);
        }
        pRoot->next = pRoot->prev = pRoot;
    }
    ReapEndedRibexNets(module, "RegisterRibexClient");

    DWORD err = 0;
    RibexNet *pRibexNet = GetRibexNet(netName);
    BOOL newNet = pRibexNet == NULL;
    BOOL growthFailed = FALSE;
    if (newNet) pRibexNet = BuildNet(netName, module, &err);
    if (pRibexNet != NULL) err = AddClient(pRibexNet, high, low, module, &growthFailed);
    if (err != 0 && pRibexNet != NULL) {
        if (newNet) {
            // A net built by this call has no client: it must not stay.
            StopAndReleaseNet(pRibexNet);
        } else if (growthFailed) {
            // An existing net keeps its clients, unless a failed table
            // growth has ended its thread: a thread that confirmed such a
            // failure ends right after its confirm, give it a moment.
            ReapIfThreadEnded(pRibexNet, 1000, module, "RegisterRibexClient");
        }
    }
    return ExitWith(module, exitFormat, err);
}

BOOL UnRegisterRibexClient(DWORD high, DWORD low) {
    return AsUnRegisterRibexClient([&](TraceModule *module) -> DWORD {
        DWORD index = 0;
        RibexNet *pRibexNet = FindClientNet(high, low, &index, module, "UnRegisterRibexClient");
        return pRibexNet != NULL ? RemoveClientAt(pRibexNet, index) : (DWORD)ERROR_INVALID_HANDLE;
    });
}

BOOL UndoRegisterRibexClient(const wchar_t *netName, DWORD high, DWORD low) {
    return AsUnRegisterRibexClient([&](TraceModule *module) -> DWORD {
        ReapEndedRibexNets(module, "UnRegisterRibexClient");
        RibexNet *pRibexNet = GetRibexNet(netName);
        if (pRibexNet == NULL) {
            TracePrint(
                module, TRACE_LEVEL_EVENT,
                "\tribex::UnRegisterRibexClient, (pRibexNet = GetRibexNet( ... )) == NULL\n");
            return ERROR_INVALID_HANDLE;
        }
        // The registration just made is the newest entry of this id here.
        const RibexEventTable *pEvents = pRibexNet->threadParam.pEvents;
        for (DWORD i = EventTableCount(pEvents); i-- > 0;)
            if (SameId(pEvents->pUniqueId[i], high, low)) return RemoveClientAt(pRibexNet, i);
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::UnRegisterRibexClient, uniqueId == %#x:%#x not in "
                   "pRibexNet->threadParam.pEvents\n",
                   high, low);
        return ERROR_INVALID_HANDLE;
    });
}

BOOL UnRegisterAllRibexClients(void) {
    TraceModule *module = TraceModuleOf(TM_UNREGISTER_ALL_RIBEX_CLIENTS);
    TraceEntry(module, "\nribex::UnRegisterAllRibexClients Entry\n");
    DWORD err = 0;
    // Always from the head of the list: a removal may free the net it
    // worked on (its last client), and a net whose thread ended is reaped.
    while (err == 0) {
        ReapEndedRibexNets(module, "UnRegisterAllRibexClients");
        RibexNet *pRibexNet = GetFirstRibexNet();
        if (pRibexNet == NULL) break;
        const RibexEventTable *pEvents = pRibexNet->threadParam.pEvents;
        if (pEvents == NULL || pEvents->noEvents == 0) {
            // Cannot stay in the list; without this the loop would not end.
            StopAndReleaseNet(pRibexNet);
            continue;
        }
        if (!UnRegisterEntry(pRibexNet, 0)) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::UnRegisterAllRibexClients, !UnRegisterRibexClient( ... )\n");
        }
    }
    return ExitWith(module, "ribex::UnRegisterAllRibexClients Exit (%s), errorCode == %lu\n\n",
                    err);
}

BOOL UnRegisterRibexClientOnNet(RibexNet *pRibexNet, DWORD high, DWORD low, DWORD *pRemoved) {
    *pRemoved = 0;
    for (;;) {
        // A removal may free the net: look at it only while it is listed.
        BOOL listed = FALSE;
        for (RibexNet *p = GetFirstRibexNet(); p != NULL && !listed; p = GetNextRibexNet(p))
            listed = p == pRibexNet;
        const RibexEventTable *pEvents = listed ? pRibexNet->threadParam.pEvents : NULL;
        if (pEvents == NULL) break;
        DWORD i = pEvents->noEvents;
        while (i > 0 && !SameId(pEvents->pUniqueId[i - 1], high, low)) --i;
        if (i == 0) break;
        --i;
        if (!UnRegisterEntry(pRibexNet, i)) return FALSE;
        ++*pRemoved;
    }
    SetLastError(0);
    return TRUE;
}
