// The adapter's COM port (see slcan_port.h).
#include "slcan_port.h"

#include <string>

namespace {

BOOL Configure(HANDLE hPort, DWORD baud)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb)) return FALSE;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(hPort, &dcb)) return FALSE;
    // A read returns 1 ms after the last byte of a burst, or empty after
    // 100 ms. (Wine never completes the MAXDWORD/MAXDWORD/constant form
    // and ends an empty read with ERROR_TIMEOUT.)
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = 1;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 100;
    t.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(hPort, &t);
}

// Waits for an overlapped request; cancels it when hStop fires or waitMs
// passes. Returns WAIT_OBJECT_0 (done), WAIT_TIMEOUT or WAIT_OBJECT_0 + 1.
DWORD WaitOverlapped(OVERLAPPED *ov, HANDLE hStop, DWORD waitMs)
{
    HANDLE handles[2] = {ov->hEvent, hStop};
    DWORD n = hStop ? 2 : 1;
    return WaitForMultipleObjects(n, handles, FALSE, waitMs);
}

}  // namespace

void SlcanPortInit(SlcanPort *port)
{
    port->hPort = INVALID_HANDLE_VALUE;
    port->hReadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    port->hWriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    InitializeCriticalSection(&port->writeLock);
    port->readPending = FALSE;
    ZeroMemory(&port->readOv, sizeof(port->readOv));
}

void SlcanPortDelete(SlcanPort *port)
{
    SlcanPortClose(port);
    if (port->hReadEvent) CloseHandle(port->hReadEvent);
    if (port->hWriteEvent) CloseHandle(port->hWriteEvent);
    DeleteCriticalSection(&port->writeLock);
}

BOOL SlcanPortIsOpen(const SlcanPort *port)
{
    return port->hPort != INVALID_HANDLE_VALUE;
}

BOOL SlcanPortOpen(SlcanPort *port, const wchar_t *name, DWORD baud)
{
    if (!port->hReadEvent || !port->hWriteEvent) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::wstring path = name;
    if (path.rfind(L"\\\\.\\", 0) != 0) path = L"\\\\.\\" + path;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    if (!Configure(h, baud)) {
        DWORD error = GetLastError();
        CloseHandle(h);
        SetLastError(error);
        return FALSE;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    EnterCriticalSection(&port->writeLock);
    port->hPort = h;
    port->readPending = FALSE;
    LeaveCriticalSection(&port->writeLock);
    return TRUE;
}

void SlcanPortClose(SlcanPort *port)
{
    EnterCriticalSection(&port->writeLock);
    HANDLE h = port->hPort;
    port->hPort = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&port->writeLock);
    if (h == INVALID_HANDLE_VALUE) return;
    if (port->readPending) {
        DWORD n;
        CancelIoEx(h, &port->readOv);
        GetOverlappedResult(h, &port->readOv, &n, TRUE);
        port->readPending = FALSE;
    }
    CloseHandle(h);
}

BOOL SlcanPortRead(SlcanPort *port, char *buffer, DWORD size, DWORD *received, HANDLE hStop,
                   DWORD waitMs, BOOL *stopped)
{
    *received = 0;
    *stopped = FALSE;
    if (!port->readPending) {
        ZeroMemory(&port->readOv, sizeof(port->readOv));
        port->readOv.hEvent = port->hReadEvent;
        ResetEvent(port->hReadEvent);
        if (ReadFile(port->hPort, buffer, size, received, &port->readOv)) return TRUE;
        if (GetLastError() == ERROR_TIMEOUT) return TRUE;
        if (GetLastError() != ERROR_IO_PENDING) return FALSE;
        port->readPending = TRUE;
    }
    // The buffer stays the same for the pending read: callers pass one buffer.
    DWORD w = WaitOverlapped(&port->readOv, hStop, waitMs);
    if (w == WAIT_OBJECT_0 + 1) *stopped = TRUE;
    if (w != WAIT_OBJECT_0) return TRUE;
    port->readPending = FALSE;
    if (GetOverlappedResult(port->hPort, &port->readOv, received, FALSE)) return TRUE;
    return GetLastError() == ERROR_TIMEOUT;
}

BOOL SlcanPortWrite(SlcanPort *port, const char *data, DWORD length, DWORD timeoutMs)
{
    EnterCriticalSection(&port->writeLock);
    BOOL ok = FALSE;
    DWORD error = 0;
    if (port->hPort == INVALID_HANDLE_VALUE) {
        error = ERROR_NOT_READY;
    } else {
        OVERLAPPED ov = {};
        ov.hEvent = port->hWriteEvent;
        DWORD written = 0;
        ok = WriteFile(port->hPort, data, length, &written, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitOverlapped(&ov, nullptr, timeoutMs) != WAIT_OBJECT_0) {
                CancelIoEx(port->hPort, &ov);
                GetOverlappedResult(port->hPort, &ov, &written, TRUE);
                SetLastError(ERROR_TIMEOUT);
            } else {
                ok = GetOverlappedResult(port->hPort, &ov, &written, FALSE);
            }
        }
        error = ok ? (written == length ? 0 : ERROR_WRITE_FAULT) : GetLastError();
        ok = error == 0;
    }
    LeaveCriticalSection(&port->writeLock);
    SetLastError(error);
    return ok;
}
