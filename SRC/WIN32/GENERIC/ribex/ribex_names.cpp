// Names of the kernel objects that belong to a net or to one client of a
// net, and the wrappers that open and create a client's reply queue under
// such a name. Server and clients derive these names independently, so the
// format here is part of the contract with every client.
#include "ribex_names.h"

#include <wchar.h>

static const wchar_t kHexDigits[] = L"0123456789abcdef";

// Exactly eight lowercase digits, leading zeros kept.
static wchar_t *AppendHex8(wchar_t *pOut, DWORD value) {
    for (int shift = 28; shift >= 0; shift -= 4) *pOut++ = kHexDigits[(value >> shift) & 0xF];
    return pOut;
}

wchar_t *CreateUniqueName(const wchar_t *prefix, DWORD high, DWORD low, const wchar_t *suffix) {
    if (prefix == NULL || suffix == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    size_t prefixChars = wcslen(prefix);
    size_t suffixChars = wcslen(suffix);
    // Prefix, 16 digits, suffix and the NUL, with one byte to spare.
    size_t bytes = 2 * (prefixChars + suffixChars) + 35;
    wchar_t *pName = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, bytes);
    if (pName == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    wchar_t *pOut = pName;
    wmemcpy(pOut, prefix, prefixChars);
    pOut = AppendHex8(pOut + prefixChars, high);
    pOut = AppendHex8(pOut, low);
    wmemcpy(pOut, suffix, suffixChars);
    pOut[suffixChars] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return pName;
}

wchar_t *CreateDevicePath(const wchar_t *name) {
    if (name == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    static const wchar_t kDevicePrefix[] = L"\\\\.\\";
    size_t nameChars = wcslen(name);
    wchar_t *pPath = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, 2 * nameChars + 10);
    if (pPath == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    wmemcpy(pPath, kDevicePrefix, 4);
    wmemcpy(pPath + 4, name, nameChars);
    pPath[4 + nameChars] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return pPath;
}

// Returns hMsgQ when the queue call left no error behind; otherwise closes
// what it returned and passes the error on (the close would clear it).
static MsgQHandle KeepIfClean(MsgQHandle hMsgQ, DWORD errorCode) {
    if (errorCode == ERROR_SUCCESS && hMsgQ != NULL) {
        SetLastError(ERROR_SUCCESS);
        return hMsgQ;
    }
    if (hMsgQ != NULL) MsgQClose(hMsgQ);
    // A null handle must never look like success to the caller.
    SetLastError(errorCode != ERROR_SUCCESS ? errorCode : ERROR_INVALID_FUNCTION);
    return NULL;
}

MsgQHandle OpenMsgQ(const wchar_t *baseName, DWORD high, DWORD low) {
    wchar_t *pName = CreateUniqueName(baseName, high, low, L"");
    if (pName == NULL) return NULL;
    MsgQHandle hMsgQ = MsgQOpen(pName, 0);
    DWORD errorCode = GetLastError();
    HeapFree(GetProcessHeap(), 0, pName);
    return KeepIfClean(hMsgQ, errorCode);
}

MsgQHandle CreateMsgQ(const wchar_t *baseName, DWORD high, DWORD low, DWORD maxMessageSize) {
    wchar_t *pName = CreateUniqueName(baseName, high, low, L"");
    if (pName == NULL) return NULL;
    MsgQHandle hMsgQ = MsgQCreate(pName, 1, maxMessageSize, MSGQ_NAMED);
    // ERROR_ALREADY_EXISTS counts as failure: someone else's queue of that
    // name must not become this client's reply queue.
    DWORD errorCode = GetLastError();
    HeapFree(GetProcessHeap(), 0, pName);
    return KeepIfClean(hMsgQ, errorCode);
}
