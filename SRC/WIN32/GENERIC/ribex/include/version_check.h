// The interface version check between the server and the other side of
// an interface (a client library, the CAN device driver).
#pragma once

#include <windows.h>

// TRUE when major is one of accepted[0..count-1]; otherwise shows the
// "Version incompatibility" box and fails with ERROR_REVISION_MISMATCH.
BOOL CheckVersion(HMODULE hModule, const wchar_t *otherName, DWORD count, const DWORD *accepted,
                  DWORD major, DWORD minor);
