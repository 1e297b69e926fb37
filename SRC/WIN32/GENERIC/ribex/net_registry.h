// The registry of open nets and their clients. Runs on the server's main
// thread only; it has no lock of its own. A net is in the list from its
// first client's registration until its last client leaves or a sweep finds
// its receive thread ended (ReapEndedRibexNets).
#pragma once

#include <windows.h>

#include "net_record.h"
#include "trace.h"

// Size of a net's shared receive buffer mapping.
#define RIBEX_RX_BUFFER_SPACE RX_BUFFER_SIZE

BOOL RegisterRibexClient(const wchar_t *netName, DWORD high, DWORD low);
BOOL UnRegisterRibexClient(DWORD high, DWORD low);
// Unregisters every client of every net (stops every receive thread).
BOOL UnRegisterAllRibexClients(void);

// Takes back the registration that RegisterRibexClient just made for this
// client on this net (its newest entry there), leaving an older
// registration of the same unique id on another net alone.
BOOL UndoRegisterRibexClient(const wchar_t *netName, DWORD high, DWORD low);

// Removes every registration of this unique id on this listed net, as a
// close request would (the last client stops the net). *pRemoved counts
// them. FALSE with the error of the removal that failed.
BOOL UnRegisterRibexClientOnNet(RibexNet *pRibexNet, DWORD high, DWORD low, DWORD *pRemoved);

RibexNet *GetRibexNet(const wchar_t *netName);

// The net of a client for an operation on it: sweeps ended nets, then
// GetRibexUniqueId. Null with the "\tribex::<callerName>, (pRibexNet =
// GetRibexUniqueId( ... )) == NULL" line written through module.
RibexNet *FindClientNet(DWORD high, DWORD low, DWORD *pIndex, TraceModule *module,
                        const char *callerName);
RibexNet *GetRibexUniqueId(DWORD high, DWORD low, DWORD *pIndex);

// Walks the list from the head: the first net, the one after pRibexNet,
// or null at the end.
RibexNet *GetFirstRibexNet(void);
RibexNet *GetNextRibexNet(RibexNet *pRibexNet);

// Removes every net whose receive thread has ended on its own, and with it
// the client table and clients' events such a thread leaves behind
// (net_record.h); nothing may wait for it or read its table any more.
// Callers run this before they walk the nets; module/callerName name the
// lines it writes. Returns the number of nets looked at (one kernel call
// each).
DWORD ReapEndedRibexNets(TraceModule *module, const char *callerName);

// After a failed handshake: if the net's thread has ended (or ends within
// waitMs), remove the net at once and return TRUE (the record is gone).
BOOL ReapIfThreadEnded(RibexNet *pRibexNet, DWORD waitMs, TraceModule *module,
                       const char *callerName);
