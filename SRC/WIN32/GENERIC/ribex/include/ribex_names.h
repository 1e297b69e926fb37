// Object names built from a net name and a client's unique id, the
// reply-queue wrappers, and the interface version check.
//
// Names are heap strings from the process heap; the caller frees them with
// HeapFree(GetProcessHeap(), 0, name).
#pragma once

#include <windows.h>

#include "msgq.h"

// prefix + high and low as 8 lowercase hex digits each + suffix.
wchar_t *CreateUniqueName(const wchar_t *prefix, DWORD high, DWORD low, const wchar_t *suffix);

// "\\.\" + name.
wchar_t *CreateDevicePath(const wchar_t *name);

// The client's reply queue: baseName + high + low. OpenMsgQ makes one
// attempt; CreateMsgQ succeeds only for a queue it created new (room for
// one message).
MsgQHandle OpenMsgQ(const wchar_t *baseName, DWORD high, DWORD low);
MsgQHandle CreateMsgQ(const wchar_t *baseName, DWORD high, DWORD low, DWORD maxMessageSize);

// TRUE when major is one of accepted[0..count-1]; otherwise shows the
// "Version incompatibility" box and fails with ERROR_REVISION_MISMATCH.
BOOL CheckVersion(HMODULE hModule, const wchar_t *otherName, DWORD count, const DWORD *accepted,
                  DWORD major, DWORD minor);

// The text of that box, built into text (room for textChars characters,
// the server uses 780). Exposed so that tests can check it.
void BuildVersionMessage(HMODULE hModule, const wchar_t *otherName, DWORD count,
                         const DWORD *accepted, DWORD major, DWORD minor, wchar_t *text,
                         DWORD textChars);
