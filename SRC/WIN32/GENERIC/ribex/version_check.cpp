// The interface version check between the server and the other side of an
// interface (a client library, the CAN device driver), with the operator
// notice on a mismatch.
#include "version_check.h"

#include <wchar.h>

#define VERSION_MESSAGE_CHARS 780u
#define MODULE_PATH_CHARS 260u

// A text being built into a fixed buffer. Each step either fits into the
// room left or writes what fits and ends the building: no later step runs.
struct MessageText {
    wchar_t *pText;
    DWORD used;
    DWORD room;  // characters that may still be written, the NUL not counted
    bool full;
};

static void Put(MessageText *pMsg, const wchar_t *pPiece) {
    for (; *pPiece != L'\0' && !pMsg->full; ++pPiece) {
        if (pMsg->room == 0) {
            pMsg->full = true;
            break;
        }
        pMsg->pText[pMsg->used++] = *pPiece;
        --pMsg->room;
    }
}

static void PutNumber(MessageText *pMsg, DWORD value) {
    wchar_t digits[11];
    int i = 10;
    digits[i] = L'\0';
    do {
        digits[--i] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    Put(pMsg, digits + i);
}

// Declared for tests (server_test_access.h); the check below is its one
// caller here.
void BuildVersionMessage(HMODULE hModule, const wchar_t *otherName, DWORD count,
                         const DWORD *accepted, DWORD major, DWORD minor, wchar_t *text,
                         DWORD textChars) {
    if (text == NULL || textChars == 0) return;
    if (otherName == NULL) otherName = L"";
    if (accepted == NULL) count = 0;

    wchar_t path[MODULE_PATH_CHARS];
    DWORD pathChars = GetModuleFileNameW(hModule, path, MODULE_PATH_CHARS);
    if (pathChars == 0) path[0] = L'\0';
    path[MODULE_PATH_CHARS - 1] = L'\0';  // a cut path is not always terminated

    MessageText msg = {text, 0, textChars - 1, false};
    Put(&msg, L"Version incompatibility\n");
    Put(&msg, path);
    Put(&msg, L" expects versions:\n");
    bool listed = false;
    for (DWORD i = 0; i < count && !msg.full; ++i) {
        PutNumber(&msg, accepted[i]);
        Put(&msg, L".x, ");
        listed = true;
    }
    if (!msg.full) {
        // Take back the ", " behind the last version (and only that).
        if (listed) {
            msg.used -= 2;
            msg.room += 2;
        }
        Put(&msg, L".\nBut ");
        Put(&msg, otherName);
        Put(&msg, L" is of version ");
        PutNumber(&msg, major);
        Put(&msg, L".");
        PutNumber(&msg, minor);
    }
    text[msg.used] = L'\0';
}

BOOL CheckVersion(HMODULE hModule, const wchar_t *otherName, DWORD count, const DWORD *accepted,
                  DWORD major, DWORD minor) {
    for (DWORD i = 0; accepted != NULL && i < count; ++i) {
        if (accepted[i] == major) {
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    wchar_t text[VERSION_MESSAGE_CHARS];
    BuildVersionMessage(hModule, otherName, count, accepted, major, minor, text,
                        VERSION_MESSAGE_CHARS);
    // Waits until the operator has acknowledged the notice.
    MessageBoxW(NULL, text, L"Error", MB_SYSTEMMODAL | MB_ICONERROR);
    SetLastError(ERROR_REVISION_MISMATCH);
    return FALSE;
}
