// The request handlers that the request loop dispatches to, and the
// registry's teardown that the loop calls once no client is left.
#pragma once

#include <windows.h>

#include "ribex_messages.h"

// Each gets the request and the number of bytes actually received (the
// rest of the 124-byte buffer holds older contents).
void HandleIfOpenReq(const msgReq *pMsgReq, DWORD receivedLength);
void HandleIfCloseReq(const msgReq *pMsgReq, DWORD receivedLength);
void HandleDisableAllRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength);
void HandleEnumRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength);
void HandleEnableRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength);
void HandleDisableRemFrameReq(const msgReq *pMsgReq, DWORD receivedLength);

// Unregisters every client of every net (stops every receive thread).
BOOL UnRegisterAllRibexClients(void);
