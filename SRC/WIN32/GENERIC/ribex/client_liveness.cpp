// Client liveness: every second the main loop asks the kernel how many
// handles the objects of each client have. The server knows how many of
// them are its own (one event handle per registration, one reply-queue
// handle per watched reference); any handle beyond those belongs to some
// other process, and a client with such a handle on either object is
// alive. A client with none has gone and is removed.
#include "client_liveness.h"

#include <wchar.h>

#include "msgq_mapping.h"
#include "msgq_ref_table.h"
#include "net_registry.h"
#include "rem_frame_requests.h"
#include "ribex_messages.h"
#include "ribex_trace_modules.h"

namespace {

// Whose reply queue an issued reference stands for.
struct WatchedQueue {
    DWORD hMsgQRef;
    DWORD high, low;
    wchar_t netName[RIBEX_NET_NAME_MAX];
};

// A client found gone, to be removed once the walk is over.
struct GoneClient {
    wchar_t netName[RIBEX_NET_NAME_MAX];
    DWORD high, low;
};

const DWORD kWatchGrowth = 16;
const DWORD kMaxGonePerCheck = 16;  // per walk; a check walks again while it fills up

WatchedQueue *g_pWatched = NULL;
DWORD g_noWatched = 0, g_maxWatched = 0;
DWORD g_lastCheck = 0;
BOOL g_checkedOnce = FALSE;

struct CheckState {
    DWORD kernelCalls;
    DWORD noClients;
    DWORD noGone;
    GoneClient gone[kMaxGonePerCheck];
};

// The layout NtQueryObject fills for ObjectBasicInformation (class 0).
struct ObjectBasicInformation {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG handleCount;
    ULONG pointerCount;
    ULONG reserved[10];
};
typedef LONG(NTAPI *NtQueryObjectFn)(HANDLE, int, PVOID, ULONG, PULONG);

NtQueryObjectFn LoadNtQueryObject(void) {
    static NtQueryObjectFn fn = NULL;
    static BOOL looked = FALSE;
    if (!looked) {
        HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
        if (hNtdll != NULL) fn = (NtQueryObjectFn)(void *)GetProcAddress(hNtdll, "NtQueryObject");
        looked = TRUE;
    }
    return fn;
}

BOOL SameClient(const WatchedQueue *w, const wchar_t *netName, DWORD high, DWORD low) {
    return w->high == high && w->low == low && wcscmp(w->netName, netName) == 0;
}

// Whether h has handles beyond the server's own. When the count cannot be
// read the client is taken for alive.
BOOL HeldElsewhere(CheckState *pCheck, HANDLE h, DWORD ownHandles) {
    DWORD count = 0;
    ++pCheck->kernelCalls;
    if (!GetObjectHandleCount(h, &count)) return TRUE;
    return count > ownHandles;
}

// The client's reply queue: one server handle per watched reference.
BOOL QueueHeldElsewhere(CheckState *pCheck, const wchar_t *netName, DWORD high, DWORD low) {
    DWORD own = 0;
    HANDLE hMapping = NULL;
    for (DWORD i = 0; i < g_noWatched; ++i) {
        if (!SameClient(&g_pWatched[i], netName, high, low)) continue;
        ++own;
        if (hMapping != NULL) continue;
        MsgQHandle hMsgQ = LookupMsgQRef(g_pWatched[i].hMsgQRef);
        hMapping = hMsgQ != NULL ? MsgQGetMappingHandle(hMsgQ) : NULL;
        // A queue we cannot look into (process-local) is never judged.
        if (hMapping == NULL) return TRUE;
    }
    return own != 0 && HeldElsewhere(pCheck, hMapping, own);
}

// The client's wake-up event on one net: one server handle per entry.
BOOL EventHeldElsewhere(CheckState *pCheck, const RibexEventTable *pEvents, DWORD first) {
    const RxUniqueId id = pEvents->pUniqueId[first];
    DWORD own = 0;
    for (DWORD i = first; i < pEvents->noEvents; ++i)
        if (pEvents->pUniqueId[i].high == id.high && pEvents->pUniqueId[i].low == id.low) ++own;
    return HeldElsewhere(pCheck, pEvents->pEventHandle[first], own);
}

RibexNet *FindNet(const wchar_t *netName) {
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = GetNextRibexNet(p))
        if (wcscmp(p->name, netName) == 0) return p;
    return NULL;
}

// Index of the first entry with this id, or noEvents.
DWORD FindEntry(const RibexEventTable *pEvents, DWORD high, DWORD low) {
    DWORD i = 0;
    while (i < pEvents->noEvents &&
           !(pEvents->pUniqueId[i].high == high && pEvents->pUniqueId[i].low == low))
        ++i;
    return i;
}

BOOL IsRegistered(const wchar_t *netName, DWORD high, DWORD low) {
    RibexNet *p = FindNet(netName);
    const RibexEventTable *pEvents = p != NULL ? p->threadParam.pEvents : NULL;
    return pEvents != NULL && FindEntry(pEvents, high, low) < pEvents->noEvents;
}

void NoteGone(CheckState *pCheck, const wchar_t *netName, DWORD high, DWORD low) {
    if (pCheck->noGone == kMaxGonePerCheck) return;
    GoneClient *g = &pCheck->gone[pCheck->noGone++];
    wcsncpy(g->netName, netName, RIBEX_NET_NAME_MAX - 1);
    g->netName[RIBEX_NET_NAME_MAX - 1] = L'\0';
    g->high = high;
    g->low = low;
}

// Registered clients: the event first, as a live client's event answers
// with one query.
void FindGoneRegisteredClients(CheckState *pCheck) {
    for (RibexNet *p = GetFirstRibexNet(); p != NULL; p = GetNextRibexNet(p)) {
        const RibexEventTable *pEvents = p->threadParam.pEvents;
        if (pEvents == NULL) continue;
        for (DWORD i = 0; i < pEvents->noEvents; ++i) {
            const RxUniqueId id = pEvents->pUniqueId[i];
            if (FindEntry(pEvents, id.high, id.low) != i) continue;  // judged with its first entry
            ++pCheck->noClients;
            if (EventHeldElsewhere(pCheck, pEvents, i)) continue;
            if (QueueHeldElsewhere(pCheck, p->name, id.high, id.low)) continue;
            NoteGone(pCheck, p->name, id.high, id.low);
        }
    }
}

// Reply queues held for no registration: an open refused or given up.
void FindGoneUnregisteredQueues(CheckState *pCheck) {
    for (DWORD i = 0; i < g_noWatched; ++i) {
        const WatchedQueue *w = &g_pWatched[i];
        BOOL judged = FALSE;
        for (DWORD j = 0; j < i && !judged; ++j)
            judged = SameClient(&g_pWatched[j], w->netName, w->high, w->low);
        if (judged || IsRegistered(w->netName, w->high, w->low)) continue;
        ++pCheck->noClients;
        if (!QueueHeldElsewhere(pCheck, w->netName, w->high, w->low))
            NoteGone(pCheck, w->netName, w->high, w->low);
    }
}

// Another client of the same process part stays on the net: its
// remote-frame replies (owned by the process part) stay too.
BOOL ProcessPartStaysOnNet(const RibexNet *p, DWORD high, DWORD low) {
    const RibexEventTable *pEvents = p->threadParam.pEvents;
    if (pEvents == NULL) return FALSE;
    for (DWORD i = 0; i < pEvents->noEvents; ++i)
        if (pEvents->pUniqueId[i].high == high && pEvents->pUniqueId[i].low != low) return TRUE;
    return FALSE;
}

// Retires and closes every reply queue watched for this client.
DWORD ReleaseReplyQueues(const GoneClient *g, DWORD *pErr) {
    DWORD released = 0;
    for (DWORD i = g_noWatched; i-- > 0;) {
        if (!SameClient(&g_pWatched[i], g->netName, g->high, g->low)) continue;
        MsgQHandle hMsgQ = LookupMsgQRef(g_pWatched[i].hMsgQRef);
        RetireMsgQRef(g_pWatched[i].hMsgQRef);
        g_pWatched[i] = g_pWatched[--g_noWatched];
        if (hMsgQ == NULL) continue;
        ++released;
        if (!MsgQClose(hMsgQ) && *pErr == 0) *pErr = GetLastError();
    }
    return released;
}

// As the client's own close would: remote-frame replies (the driver's
// too), registrations, reply queues.
void RemoveGoneClient(const GoneClient *g) {
    DWORD err = 0, registrations = 0;
    RibexNet *p = FindNet(g->netName);
    if (p != NULL && !ProcessPartStaysOnNet(p, g->high, g->low)) {
        BOOL netGone = FALSE;
        if (!DisableRemFramesOnNet(p, g->high, g_ribexTrace[TM_DISABLE_ALL_REM_FRAMES],
                                   "CheckClientLiveness", &netGone))
            err = GetLastError();
        if (netGone) p = NULL;
    }
    if (p != NULL && !UnRegisterRibexClientOnNet(p, g->high, g->low, &registrations) && err == 0)
        err = GetLastError();
    DWORD queues = ReleaseReplyQueues(g, &err);
    TracePrint(g_ribexTrace[TM_MAIN], TRACE_LEVEL_EVENT,
               "ribex::CheckClientLiveness, CLIENT GONE uniqueId == %#x:%#x, netName == %hs, "
               "noRegistrations == %lu, noReplyQueues == %lu, errorCode == %lu\n",
               g->high, g->low, g->netName, registrations, queues, err);
}

}  // namespace

BOOL GetObjectHandleCount(HANDLE h, DWORD *pHandleCount) {
    NtQueryObjectFn query = LoadNtQueryObject();
    if (query == NULL) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    ObjectBasicInformation info = {};
    ULONG returned = 0;
    LONG status = query(h, 0, &info, sizeof(info), &returned);
    if (status < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *pHandleCount = info.handleCount;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WatchReplyQueue(DWORD hMsgQRef, const wchar_t *netName, DWORD high, DWORD low) {
    if (g_noWatched == g_maxWatched) {
        DWORD newMax = g_maxWatched + kWatchGrowth;
        WatchedQueue *pNew =
            (WatchedQueue *)HeapAlloc(GetProcessHeap(), 0, newMax * sizeof(WatchedQueue));
        if (pNew == NULL) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        for (DWORD i = 0; i < g_noWatched; ++i) pNew[i] = g_pWatched[i];
        if (g_pWatched != NULL) HeapFree(GetProcessHeap(), 0, g_pWatched);
        g_pWatched = pNew;
        g_maxWatched = newMax;
    }
    WatchedQueue *w = &g_pWatched[g_noWatched++];
    w->hMsgQRef = hMsgQRef;
    w->high = high;
    w->low = low;
    wcsncpy(w->netName, netName, RIBEX_NET_NAME_MAX - 1);
    w->netName[RIBEX_NET_NAME_MAX - 1] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void ForgetReplyQueue(DWORD hMsgQRef) {
    for (DWORD i = 0; i < g_noWatched; ++i) {
        if (g_pWatched[i].hMsgQRef != hMsgQRef) continue;
        g_pWatched[i] = g_pWatched[--g_noWatched];
        return;
    }
}

DWORD ClientLivenessDueInMs(void) {
    if (!g_checkedOnce) return 0;
    DWORD elapsed = GetTickCount() - g_lastCheck;
    return elapsed >= CLIENT_LIVENESS_PERIOD_MS ? 0 : CLIENT_LIVENESS_PERIOD_MS - elapsed;
}

static ClientLivenessFigures g_lastFigures;

void CheckClientLiveness(void) {
    if (ClientLivenessDueInMs() != 0) return;
    g_lastCheck = GetTickCount();
    g_checkedOnce = TRUE;

    CheckState check = {};
    DWORD noClients = 0, noGone = 0;
    // Nets whose thread ended on their own go first: their tables are no
    // longer served.
    check.kernelCalls += ReapEndedRibexNets(g_ribexTrace[TM_MAIN], "CheckClientLiveness");
    do {
        // A full list may have left some out: walk again after removing.
        check.noClients = check.noGone = 0;
        FindGoneRegisteredClients(&check);
        FindGoneUnregisteredQueues(&check);
        for (DWORD i = 0; i < check.noGone; ++i) RemoveGoneClient(&check.gone[i]);
        if (noGone == 0) noClients = check.noClients;
        noGone += check.noGone;
    } while (check.noGone == kMaxGonePerCheck);
    // A pass that removes nobody writes no line: an idle server stays silent,
    // and its figures are the benchmark's to print.
    g_lastFigures.noClients = noClients;
    g_lastFigures.noGone = noGone;
    g_lastFigures.kernelCalls = check.kernelCalls;
}

void GetClientLivenessFigures(ClientLivenessFigures *pFigures) {
    if (pFigures != NULL) *pFigures = g_lastFigures;
}
