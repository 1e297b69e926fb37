// The request handlers that the request loop dispatches to.
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
