// The server checks for clients and decides to stop under the same global
// lock that is held here while the queue is created and the instance
// marker is looked for: so either the running server still sees our queue
// at its next check, or it has already closed its marker and we start a
// new one.
#include "server_start.h"

#include <wchar.h>

#define SERVER_FILE_NAME L"ribex.exe"

// The program's own folder + ribex.exe, in a heap block.
static wchar_t *DefaultServerPath(void) {
    DWORD room = MAX_PATH;
    for (;;) {
        wchar_t *pPath = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, (room + 16) * sizeof(wchar_t));
        if (pPath == NULL) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        DWORD chars = GetModuleFileNameW(NULL, pPath, room);
        if (chars == 0) {
            DWORD errorCode = GetLastError();
            HeapFree(GetProcessHeap(), 0, pPath);
            SetLastError(errorCode);
            return NULL;
        }
        if (chars < room) {
            wchar_t *pSlash = wcsrchr(pPath, L'\\');
            wchar_t *pName = pSlash != NULL ? pSlash + 1 : pPath;
            wcscpy(pName, SERVER_FILE_NAME);
            return pPath;
        }
        HeapFree(GetProcessHeap(), 0, pPath);
        room *= 2;  // cut: try again with more room
        if (room > 32768) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return NULL;
        }
    }
}

static BOOL StartServerProcess(const wchar_t *serverPath, const wchar_t *queueName,
                               RibexOpenFailure *pFailure) {
    wchar_t *pDefaultPath = NULL;
    if (serverPath == NULL) {
        pDefaultPath = DefaultServerPath();
        if (pDefaultPath == NULL) return FALSE;
        serverPath = pDefaultPath;
    }
    lstrcpynW(pFailure->serverPath, serverPath, MAX_PATH);
    // "path" "queue": the server takes its queue from the last argument.
    size_t chars = wcslen(serverPath) + wcslen(queueName) + 8;
    wchar_t *pCommandLine = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, chars * sizeof(wchar_t));
    if (pCommandLine == NULL) {
        if (pDefaultPath != NULL) HeapFree(GetProcessHeap(), 0, pDefaultPath);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    _snwprintf(pCommandLine, chars, L"\"%ls\" \"%ls\"", serverPath, queueName);
    pCommandLine[chars - 1] = L'\0';

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    // No handles inherited: the server outlives this client and must not
    // keep its pipes or files open.
    BOOL started = CreateProcessW(serverPath, pCommandLine, NULL, NULL, FALSE,
                                  CREATE_NO_WINDOW, NULL, NULL, &startupInfo, &processInfo);
    DWORD errorCode = started ? ERROR_SUCCESS : GetLastError();
    if (started) {
        CloseHandle(processInfo.hThread);
        CloseHandle(processInfo.hProcess);
    }
    HeapFree(GetProcessHeap(), 0, pCommandLine);
    if (pDefaultPath != NULL) HeapFree(GetProcessHeap(), 0, pDefaultPath);
    SetLastError(errorCode);
    return started;
}

MsgQHandle ConnectRibexServer(const wchar_t *queueName, const wchar_t *serverPath,
                              RibexOpenFailure *pFailure) {
    pFailure->step = RIBEX_OPEN_SERVER_QUEUE;
    if (queueName == NULL || queueName[0] == L'\0' || wcschr(queueName, L'"') != NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HANDLE hGlobalLock = CreateMutexW(NULL, FALSE, RIBEX_GLOBAL_LOCK_NAME);
    if (hGlobalLock == NULL) return NULL;
    // An abandoned lock (its holder died) is ours all the same.
    if (WaitForSingleObject(hGlobalLock, INFINITE) == WAIT_FAILED) {
        DWORD errorCode = GetLastError();
        CloseHandle(hGlobalLock);
        SetLastError(errorCode);
        return NULL;
    }

    DWORD errorCode = ERROR_SUCCESS;
    MsgQHandle hServerQueue = MsgQCreate(queueName, RIBEX_SERVER_QUEUE_MSGS,
                                         RIBEX_SERVER_QUEUE_MSG_SIZE, MSGQ_NAMED);
    if (hServerQueue == NULL) {
        errorCode = GetLastError();
    } else {
        HANDLE hMarker = OpenMutexW(SYNCHRONIZE, FALSE, RIBEX_INSTANCE_MARKER_NAME);
        if (hMarker != NULL) {
            CloseHandle(hMarker);
        } else if (!StartServerProcess(serverPath, queueName, pFailure)) {
            errorCode = GetLastError();
            pFailure->step = RIBEX_OPEN_SERVER_START;
            MsgQClose(hServerQueue);
            hServerQueue = NULL;
        }
    }
    ReleaseMutex(hGlobalLock);
    CloseHandle(hGlobalLock);
    SetLastError(errorCode);
    return hServerQueue;
}
