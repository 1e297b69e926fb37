// The net list, client registration and removal.
#include "net_registry.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "ribex_names.h"
#include "ribex_trace_modules.h"
#include "rx_buffer.h"

namespace {

// The sentinel: holds only the two links; allocated on the first
// registration and never freed.
RibexNet *pRoot = NULL;

// Table dumps show at most this many entries.
const DWORD kMaxDumpEntries = 10;

#define TM(index) g_ribexTrace[index]

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

BOOL SameId(const RxUniqueId &id, DWORD high, DWORD low) { return id.high == high && id.low == low; }

unsigned TraceValue(const void *p) { return (unsigned)(ULONG_PTR)p; }

// One level-8 line: the count, then id and handle of up to ten entries. The
// format grows with the entries shown; surplus arguments are never read.
void DumpEventTable(TraceModule *module, const char *functionName, const RibexEventTable *pEvents) {
    if (module == NULL || (module->levelMask & TRACE_LEVEL_DETAIL) == 0) return;
    DWORD noEvents = pEvents->noEvents;
    DWORD shown = noEvents < kMaxDumpEntries ? noEvents : kMaxDumpEntries;
    char format[512];
    int used = snprintf(format, sizeof(format), "%s, pRibexNet->threadParam.pEvents->\n\tnoEvents == %%lu\n",
                        functionName);
    for (DWORD i = 0; i < shown && used > 0 && (size_t)used < sizeof(format); ++i)
        used += snprintf(format + used, sizeof(format) - used, "\t\t%%#x:%%#x\n\t\t%%#x\n");
    unsigned v[3 * kMaxDumpEntries] = {};
    for (DWORD i = 0; i < shown; ++i) {
        v[3 * i] = pEvents->pUniqueId[i].high;
        v[3 * i + 1] = pEvents->pUniqueId[i].low;
        v[3 * i + 2] = TraceValue(pEvents->pEventHandle[i]);
    }
    TracePrint(module, TRACE_LEVEL_DETAIL, format, noEvents, v[0], v[1], v[2], v[3], v[4], v[5], v[6],
               v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14], v[15], v[16], v[17], v[18], v[19],
               v[20], v[21], v[22], v[23], v[24], v[25], v[26], v[27], v[28], v[29]);
}

// A thread that ended on its own leaves its client table and the clients'
// events to us; one that was told to exit has released them itself.
void ReleaseLeftEventTable(RibexThreadParam *tp) {
    RibexEventTable *pEvents = tp->pEvents;
    if (pEvents == NULL) return;
    DWORD noEvents = pEvents->noEvents;
    if (noEvents > pEvents->maxNoEvents) noEvents = pEvents->maxNoEvents;
    for (DWORD i = 0; i < noEvents; ++i) CloseHandle(pEvents->pEventHandle[i]);
    tp->pEvents = NULL;
    HeapFree(GetProcessHeap(), 0, pEvents);
}

BOOL ThreadHasEnded(const RibexNet *pRibexNet, DWORD waitMs) {
    return pRibexNet->hThread == NULL || WaitForSingleObject(pRibexNet->hThread, waitMs) == WAIT_OBJECT_0;
}

// Releases whatever a net still holds once its thread is gone (or was never
// started). Best effort: every piece is released even if one fails.
void ReleaseNetPieces(RibexNet *pRibexNet) {
    RibexThreadParam *tp = &pRibexNet->threadParam;
    if (pRibexNet->hThread != NULL) {
        ReleaseLeftEventTable(tp);
        CloseHandle(pRibexNet->hThread);
        pRibexNet->hThread = NULL;
    }
    if (tp->hEventReq != NULL) CloseHandle(tp->hEventReq);
    if (tp->hEventCfm != NULL) CloseHandle(tp->hEventCfm);
    tp->hEventReq = tp->hEventCfm = NULL;
    if (tp->pRxBuffer != NULL) UnmapViewOfFile(tp->pRxBuffer);
    tp->pRxBuffer = NULL;
    if (pRibexNet->hFileMappingObject != NULL) CloseHandle(pRibexNet->hFileMappingObject);
    pRibexNet->hFileMappingObject = NULL;
    // The thread never frees the reply table; it goes with the net.
    if (tp->pRemote != NULL) HeapFree(GetProcessHeap(), 0, tp->pRemote);
    tp->pRemote = NULL;
    if (IsLinked(pRibexNet)) Unlink(pRibexNet);
    HeapFree(GetProcessHeap(), 0, pRibexNet);
}

// A net that never got a client (its registration failed after the thread
// started): ask the thread to end, wait for it, release the net.
void StopAndReleaseNet(RibexNet *pRibexNet) {
    if (pRibexNet->hThread != NULL && !ThreadHasEnded(pRibexNet, 0)) {
        pRibexNet->threadParam.req = CAN_THREAD_EXIT;
        SetEvent(pRibexNet->threadParam.hEventReq);
        WaitForSingleObject(pRibexNet->hThread, INFINITE);
    }
    ReleaseNetPieces(pRibexNet);
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
    ReleaseNetPieces(pRibexNet);
}

// Removes entry index of a registered net: the last client stops the
// thread and releases the net, any other is taken out of the table and its
// event handed to the thread for closing. Uses UnRegisterRibexClient's lines.
DWORD RemoveClientAt(RibexNet *pRibexNet, DWORD index) {
    TraceModule *module = TM(TM_UNREGISTER_RIBEX_CLIENT);
    RibexThreadParam *tp = &pRibexNet->threadParam;
    RibexEventTable *pEvents = tp->pEvents;

    if (pEvents->noEvents == 1) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->noEvents == 1\n");
        tp->req = CAN_THREAD_EXIT;
        if (!SetEvent(tp->hEventReq)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::UnRegisterRibexClient, !SetEvent( ... )\n");
            return err;
        }
        DWORD result = WaitForSingleObject(pRibexNet->hThread, INFINITE);
        if (result != WAIT_OBJECT_0) {
            DWORD err = result == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::UnRegisterRibexClient, (result = WaitForSingleObject( ... )) != WAIT_OBJECT_0\n");
            return err;
        }
        // From here on the thread is gone: its table is freed, its client
        // events closed. Each released piece is cleared so that a later
        // sweep of ended nets does not release it twice.
        if (!CloseHandle(tp->hEventReq)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->threadParam.hEventReq )\n");
            return err;
        }
        tp->hEventReq = NULL;
        if (!CloseHandle(tp->hEventCfm)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->threadParam.hEventCfm )\n");
            return err;
        }
        tp->hEventCfm = NULL;
        // The thread may have ended on its own before it saw the request.
        ReleaseLeftEventTable(tp);
        if (!CloseHandle(pRibexNet->hThread)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->hThread )\n");
            return err;
        }
        pRibexNet->hThread = NULL;
        if (!UnmapViewOfFile(tp->pRxBuffer)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::UnRegisterRibexClient, !UnmapViewOfFile( ... )\n");
            return err;
        }
        tp->pRxBuffer = NULL;
        if (!CloseHandle(pRibexNet->hFileMappingObject)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::UnRegisterRibexClient, !CloseHandle( pRibexNet->hFileMappingObject )\n");
            return err;
        }
        pRibexNet->hFileMappingObject = NULL;
        if (tp->pRemote != NULL) HeapFree(GetProcessHeap(), 0, tp->pRemote);
        tp->pRemote = NULL;
        Unlink(pRibexNet);
        if (!HeapFree(GetProcessHeap(), 0, pRibexNet)) {
            DWORD err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::UnRegisterRibexClient, !HeapFree( ..., pRibexNet )\n");
            return err;
        }
        return 0;
    }

    TracePrint(module, TRACE_LEVEL_EVENT,
               "\tribex::UnRegisterRibexClient, pRibexNet->threadParam.pEvents->noEvents != 1\n");
    DWORD last = pEvents->noEvents - 1;
    HANDLE hEvent = pEvents->pEventHandle[index];
    pEvents->pUniqueId[index] = pEvents->pUniqueId[last];
    pEvents->pEventHandle[index] = pEvents->pEventHandle[last];
    pEvents->noEvents = last;
    DumpEventTable(module, "ribex::UnRegisterRibexClient", pEvents);
    // A wake pass still running may have read this handle: it is closed
    // once that pass is over, at once otherwise.
    if (!CloseRemovedClientEvent(pRibexNet, hEvent)) {
        DWORD err = GetLastError();
        TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::UnRegisterRibexClient, !CloseHandle( hEvent )\n");
        return err;
    }
    return 0;
}

// Removes entry index of a listed net under UnRegisterRibexClient's
// entry and exit lines.
BOOL UnRegisterEntry(RibexNet *pRibexNet, DWORD index) {
    TraceModule *module = TM(TM_UNREGISTER_RIBEX_CLIENT);
    TraceEntry(module, "\nribex::UnRegisterRibexClient Entry\n");
    DWORD err = RemoveClientAt(pRibexNet, index);
    TraceExit(module, "ribex::UnRegisterRibexClient Exit (%s), errorCode == %lu\n\n",
              err == 0 ? "TRUE" : "FALSE", err);
    SetLastError(err);
    return err == 0;
}

}  // namespace

RibexNet *GetFirstRibexNet(void) {
    if (pRoot == NULL || pRoot->next == pRoot) return NULL;
    return pRoot->next;
}

RibexNet *GetNextRibexNet(RibexNet *pRibexNet) {
    return pRibexNet->next == pRoot ? NULL : pRibexNet->next;
}

DWORD CountRibexNets(void) {
    DWORD n = 0;
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = GetNextRibexNet(p)) ++n;
    return n;
}

void ReapEndedRibexNets(TraceModule *module, const char *callerName) {
    RibexNet *p = GetFirstRibexNet();
    while (p != NULL) {
        RibexNet *next = GetNextRibexNet(p);
        if (ThreadHasEnded(p, 0)) ReapOne(p, module, callerName);
        p = next;
    }
}

BOOL ReapIfThreadEnded(RibexNet *pRibexNet, DWORD waitMs, TraceModule *module, const char *callerName) {
    if (!ThreadHasEnded(pRibexNet, waitMs)) return FALSE;
    ReapOne(pRibexNet, module, callerName);
    return TRUE;
}

RibexNet *GetRibexNet(const wchar_t *netName) {
    TraceModule *module = TM(TM_GET_RIBEX_NET);
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
    TraceModule *module = TM(TM_GET_RIBEX_UNIQUE_ID);
    TraceEntry(module, "\nribex::GetRibexUniqueId Entry\n");
    TracePrint(module, TRACE_LEVEL_DETAIL, "\tribex::GetRibexUniqueId, uniqueId == %#x:%#x\n", high, low);
    RibexNet *found = NULL;
    for (RibexNet *p = GetFirstRibexNet(); p != NULL && found == NULL; p = GetNextRibexNet(p)) {
        const RibexEventTable *pEvents = p->threadParam.pEvents;
        if (pEvents == NULL) continue;
        for (DWORD i = 0; i < pEvents->noEvents; ++i) {
            TracePrint(module, TRACE_LEVEL_DETAIL, "\tribex::GetRibexUniqueId, pEvents->pUniqueId[%d] == %#x:%#x\n",
                       i, pEvents->pUniqueId[i].high, pEvents->pUniqueId[i].low);
            if (pEvents->pUniqueId[i].high == high && pEvents->pUniqueId[i].low == low) {
                *pIndex = i;
                found = p;
                break;
            }
        }
    }
    TraceExit(module, "ribex::GetRibexUniqueId Exit (%x)\n\n", TraceValue(found));
    return found;
}

BOOL RegisterRibexClient(const wchar_t *netName, DWORD high, DWORD low) {
    TraceModule *module = TM(TM_REGISTER_RIBEX_CLIENT);
    TraceEntry(module, "\nribex::RegisterRibexClient Entry\n");
    DWORD err = 0;
    RibexNet *pRibexNet = NULL;
    BOOL newNet = FALSE;
    BOOL growthFailed = FALSE;
    wchar_t *pName = NULL;
    HANDLE hEvent = NULL;

    if (pRoot == NULL) {
        pRoot = (RibexNet *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RibexNet));
        if (pRoot == NULL) {
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::RegisterRibexClient, pRoot == NULL\n");
            err = ERROR_NOT_ENOUGH_MEMORY;
            goto done;
        }
        pRoot->next = pRoot->prev = pRoot;
    }
    ReapEndedRibexNets(module, "RegisterRibexClient");

    pRibexNet = GetRibexNet(netName);
    if (pRibexNet == NULL) {
        newNet = TRUE;
        size_t nameChars = wcslen(netName) + 1;
        pRibexNet = (RibexNet *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                          offsetof(RibexNet, name) + nameChars * sizeof(wchar_t));
        if (pRibexNet == NULL) {
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pRibexNet = HeapAlloc( ... )) == NULL\n");
            err = ERROR_NOT_ENOUGH_MEMORY;
            goto done;
        }
        pRibexNet->next = pRibexNet->prev = pRibexNet;
        memcpy(pRibexNet->name, netName, nameChars * sizeof(wchar_t));

        RibexThreadParam *tp = &pRibexNet->threadParam;
        tp->hEventReq = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (tp->hEventReq == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pRibexNet->threadParam.hEventReq = CreateEvent( ... )) == NULL\n");
            goto done;
        }
        tp->hEventCfm = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (tp->hEventCfm == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pRibexNet->threadParam.hEventCfm = CreateEvent( ... )) == NULL\n");
            goto done;
        }
        pName = CreateUniqueName(netName, 0, 0, L"FMO");
        if (pName == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pName = CreateUniqueName( ..., L\"FMO\" )) == NULL\n");
            goto done;
        }
        TracePrint(module, TRACE_LEVEL_DETAIL, "\tribex::RegisterRibexClient, Rx buffer space == %lu\n",
                   (DWORD)RIBEX_RX_BUFFER_SPACE);
        // A mapping left by an earlier server and still held by a client is
        // taken over as it is; its header is reset below.
        pRibexNet->hFileMappingObject = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE | SEC_COMMIT,
                                                           0, RIBEX_RX_BUFFER_SPACE, pName);
        DWORD mappingErr = GetLastError();
        if (!HeapFree(GetProcessHeap(), 0, pName))
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::RegisterRibexClient, !HeapFree( ... )\n");
        pName = NULL;
        if (pRibexNet->hFileMappingObject != NULL && mappingErr == ERROR_ALREADY_EXISTS &&
            CaseTwinIsOpen(netName)) {
            // Where object names ignore case, a net spelled like an open one
            // but for case gets that net's buffer (and its device and peer
            // queue): two receive threads would write one ring.
            err = ERROR_ALREADY_EXISTS;
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, pRibexNet->hFileMappingObject belongs to an open net, errorCode == %lu\n",
                       err);
            goto done;
        }
        if (pRibexNet->hFileMappingObject == NULL) {
            err = mappingErr;
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, pRibexNet->hFileMappingObject == NULL errorCode == %lu\n", err);
            goto done;
        }
        tp->pRxBuffer = (RxBufferLayout *)MapViewOfFile(pRibexNet->hFileMappingObject, FILE_MAP_WRITE, 0, 0, 0);
        if (tp->pRxBuffer == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pRibexNet->threadParam.pRxBuffer = MapViewOfFile( ... )) == NULL\n");
            goto done;
        }
        RibexBufferInit(tp->pRxBuffer);
        const RxBuffer *h = &tp->pRxBuffer->header;
        TracePrint(module, TRACE_LEVEL_DETAIL,
                   "\tribex::RegisterRibexClient, pRibexNet->threadParam.pRxBuffer->\n\t\t%s == %lu\n\t\t%s == %lu\n"
                   "\t\t%s == %lu\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n",
                   "currSeqNo", h->currSeqNo, "head", h->head, "noEntries", h->noEntries, "seqNoOffset",
                   h->seqNoOffset, "errorCodeOffset", h->errorCodeOffset, "msgOffset", h->msgOffset,
                   "simCanUniqueIdOffset", h->simCanUniqueIdOffset);

        pRibexNet->hThread = CreateThread(NULL, 0, CanReadThread, pRibexNet, 0, NULL);
        if (pRibexNet->hThread == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pRibexNet->hThread = CreateThread( ... )) == NULL\n");
            goto done;
        }
        // Waiting on the thread handle too: a thread that dies before its
        // confirm must not leave the server waiting for ever.
        HANDLE startHandles[2] = {tp->hEventCfm, pRibexNet->hThread};
        DWORD result = WaitForMultipleObjects(2, startHandles, FALSE, INFINITE);
        if (result != WAIT_OBJECT_0) {
            if (result == WAIT_OBJECT_0 + 1) {
                DWORD exitCode = 0;
                GetExitCodeThread(pRibexNet->hThread, &exitCode);
                err = exitCode != 0 ? exitCode : ERROR_INVALID_FUNCTION;
            } else {
                err = result == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
            }
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (result = WaitForSingleObject( ... )) != WAIT_OBJECT_0\n");
            goto done;
        }
        if (tp->errorCodeCfm != 0) {
            err = tp->errorCodeCfm;
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, pRibexNet->threadParam.errorCodeCfm == %lu\n", err);
            goto done;
        }
        LinkAtTail(pRibexNet);
        TracePrint(module, TRACE_LEVEL_DETAIL,
                   "\tribex::RegisterRibexClient, pRibexNet->\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n"
                   "\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %#x\n\t\t%s == %hs\n",
                   "hFileMappingObject", TraceValue(pRibexNet->hFileMappingObject), "hThread",
                   TraceValue(pRibexNet->hThread), "threadParam.hEventReq", TraceValue(tp->hEventReq),
                   "threadParam.hEventCfm", TraceValue(tp->hEventCfm), "threadParam.pRxBuffer",
                   TraceValue(tp->pRxBuffer), "threadParam.pEvents", TraceValue(tp->pEvents), "name",
                   pRibexNet->name);
    }

    {
        RibexThreadParam *tp = &pRibexNet->threadParam;
        pName = CreateUniqueName(netName, high, low, L"EVT");
        if (pName == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, (pName = CreateUniqueName( ..., L\"EVT\" )) == NULL\n");
            goto done;
        }
        hEvent = OpenEventW(EVENT_ALL_ACCESS, FALSE, pName);
        if (hEvent == NULL) {
            err = GetLastError();
            TracePrint(module, TRACE_LEVEL_EVENT, "\tribex::RegisterRibexClient, (hEvent = OpenEvent( ... )) == NULL\n");
            goto done;
        }
        if (tp->pEvents == NULL) {
            // Only a thread that has ended leaves a listed net without one.
            err = ERROR_INVALID_HANDLE;
            TracePrint(module, TRACE_LEVEL_EVENT,
                       "\tribex::RegisterRibexClient, pRibexNet->threadParam.pEvents == NULL\n");
            goto done;
        }
        if (tp->pEvents->noEvents == tp->pEvents->maxNoEvents) {
            if (!RequestNetThread(pRibexNet, CAN_THREAD_REALLOC_EVENTS, 0, module, "RegisterRibexClient")) {
                err = GetLastError();
                growthFailed = TRUE;
                goto done;
            }
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
        hEvent = NULL;
        DumpEventTable(module, "ribex::RegisterRibexClient", pEvents);
    }

done:
    if (pName != NULL) HeapFree(GetProcessHeap(), 0, pName);
    if (err != 0) {
        // The failed client never entered the table.
        if (hEvent != NULL) CloseHandle(hEvent);
        if (newNet && pRibexNet != NULL) {
            // A net built by this call has no client: it must not stay.
            StopAndReleaseNet(pRibexNet);
        } else if (growthFailed) {
            // An existing net keeps its clients, unless the failed table
            // growth has ended its thread: a thread that confirmed such a
            // failure ends right after its confirm, give it a moment.
            ReapIfThreadEnded(pRibexNet, 1000, module, "RegisterRibexClient");
        }
    }
    TraceExit(module, "ribex::RegisterRibexClient Exit (%s), errorCode == %lu\n\n", err == 0 ? "TRUE" : "FALSE",
              err);
    SetLastError(err);
    return err == 0;
}

BOOL UnRegisterRibexClient(DWORD high, DWORD low) {
    TraceModule *module = TM(TM_UNREGISTER_RIBEX_CLIENT);
    TraceEntry(module, "\nribex::UnRegisterRibexClient Entry\n");
    DWORD err = 0;
    ReapEndedRibexNets(module, "UnRegisterRibexClient");
    DWORD index = 0;
    RibexNet *pRibexNet = GetRibexUniqueId(high, low, &index);
    if (pRibexNet == NULL) {
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::UnRegisterRibexClient, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n");
        err = ERROR_INVALID_HANDLE;
    } else {
        err = RemoveClientAt(pRibexNet, index);
    }
    TraceExit(module, "ribex::UnRegisterRibexClient Exit (%s), errorCode == %lu\n\n", err == 0 ? "TRUE" : "FALSE",
              err);
    SetLastError(err);
    return err == 0;
}

BOOL UndoRegisterRibexClient(const wchar_t *netName, DWORD high, DWORD low) {
    TraceModule *module = TM(TM_UNREGISTER_RIBEX_CLIENT);
    TraceEntry(module, "\nribex::UnRegisterRibexClient Entry\n");
    DWORD err = ERROR_INVALID_HANDLE;
    ReapEndedRibexNets(module, "UnRegisterRibexClient");
    RibexNet *pRibexNet = GetRibexNet(netName);
    if (pRibexNet != NULL) {
        // The registration just made is the newest entry of this id here.
        const RibexEventTable *pEvents = pRibexNet->threadParam.pEvents;
        for (DWORD i = pEvents != NULL ? pEvents->noEvents : 0; i-- > 0;) {
            if (pEvents->pUniqueId[i].high == high && pEvents->pUniqueId[i].low == low) {
                err = RemoveClientAt(pRibexNet, i);
                break;
            }
        }
    }
    if (err == ERROR_INVALID_HANDLE)
        TracePrint(module, TRACE_LEVEL_EVENT,
                   "\tribex::UnRegisterRibexClient, (pRibexNet = GetRibexUniqueId( ... )) == NULL\n");
    TraceExit(module, "ribex::UnRegisterRibexClient Exit (%s), errorCode == %lu\n\n", err == 0 ? "TRUE" : "FALSE",
              err);
    SetLastError(err);
    return err == 0;
}

BOOL UnRegisterAllRibexClients(void) {
    TraceModule *module = TM(TM_UNREGISTER_ALL_RIBEX_CLIENTS);
    TraceEntry(module, "\nribex::UnRegisterAllRibexClients Entry\n");
    DWORD err = 0;
    // Always from the head of the list: a removal may free the net it
    // worked on (its last client), and a net whose thread ended is reaped.
    while (err == 0 && pRoot != NULL) {
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
    TraceExit(module, "ribex::UnRegisterAllRibexClients Exit (%s), errorCode == %lu\n\n",
              err == 0 ? "TRUE" : "FALSE", err);
    SetLastError(err);
    return err == 0;
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
