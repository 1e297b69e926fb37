// The adapter's COM port: opened overlapped, raw 8N1 at the given baud
// rate, reads that return what has arrived (or nothing after a short
// wait), writes with a time-out. Writes from several threads are kept whole
// by a lock. Results: TRUE, or FALSE with the last error set.
#pragma once

#include <windows.h>

struct SlcanPort {
    HANDLE hPort;  // INVALID_HANDLE_VALUE while closed
    HANDLE hReadEvent;
    HANDLE hWriteEvent;
    CRITICAL_SECTION writeLock;
    BOOL readPending;
    OVERLAPPED readOv;
};

void SlcanPortInit(SlcanPort *port);
void SlcanPortDelete(SlcanPort *port);

// "COM5" or "\\.\COM5".
BOOL SlcanPortOpen(SlcanPort *port, const wchar_t *name, DWORD baud);
// Cancels what is pending and closes the handle; the port can be opened again.
void SlcanPortClose(SlcanPort *port);
BOOL SlcanPortIsOpen(const SlcanPort *port);

// Starts a read if none is pending, then waits for it or for hStop.
// TRUE with *received bytes (0 when the wait timed out or hStop fired:
// *stopped tells). FALSE when the port failed.
BOOL SlcanPortRead(SlcanPort *port, char *buffer, DWORD size, DWORD *received, HANDLE hStop,
                   DWORD waitMs, BOOL *stopped);

// Writes all bytes or fails (ERROR_TIMEOUT after timeoutMs). Safe from any
// thread; FALSE with ERROR_NOT_READY while the port is closed.
BOOL SlcanPortWrite(SlcanPort *port, const char *data, DWORD length, DWORD timeoutMs);
