// Serial port output.
//
// A COM port opens only once, so the first module to open it shares its
// handle with every module registered after it. The handle is counted: it
// is closed when the last module holding it is released, and the remembered
// handle is forgotten at that moment so that no later module can write to
// a closed (or reused) handle value.
#include "trace_internal.h"

typedef struct TracePortHandle {
    HANDLE hPort;
    LONG users;   // port objects holding hPort; registration is single-threaded
} TracePortHandle;

struct TracePort {
    TracePortHandle *pShared;
};

namespace {

TracePortHandle *pRememberedPort = NULL;

constexpr DWORD BAUD_RATES[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                19200, 38400, 56000, 57600, 115200, 128000, 256000};

BOOL IsListedBaudRate(DWORD baud) {
    for (DWORD rate : BAUD_RATES)
        if (rate == baud) return TRUE;
    return FALSE;
}

BOOL ConfigurePort(HANDLE hPort, DWORD baud) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(hPort, &dcb)) return FALSE;
    if (!IsListedBaudRate(baud)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = TRUE;
    return SetCommState(hPort, &dcb);
}

// Opens "\\.\" + portName; *hPort is INVALID_HANDLE_VALUE when the device
// cannot be opened. FALSE when the path cannot be built.
BOOL OpenDevice(const wchar_t *portName, HANDLE *hPort) {
    constexpr wchar_t DEVICE_PREFIX[] = L"\\\\.\\";
    size_t nameLength = wcslen(portName);
    size_t prefixLength = sizeof DEVICE_PREFIX / sizeof(wchar_t) - 1;
    wchar_t *path = (wchar_t *)HeapAlloc(GetProcessHeap(), 0,
                                         (prefixLength + nameLength + 1) * sizeof(wchar_t));
    if (path == NULL) return FALSE;
    memcpy(path, DEVICE_PREFIX, prefixLength * sizeof(wchar_t));
    memcpy(path + prefixLength, portName, (nameLength + 1) * sizeof(wchar_t));
    *hPort = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    HeapFree(GetProcessHeap(), 0, path);
    return TRUE;
}

// A freshly opened port handle becomes the one later modules share.
BOOL RememberPort(HANDLE hPort) {
    TracePortHandle *shared =
        (TracePortHandle *)HeapAlloc(GetProcessHeap(), 0, sizeof(TracePortHandle));
    if (shared == NULL) return FALSE;
    shared->hPort = hPort;
    shared->users = 0;
    pRememberedPort = shared;
    return TRUE;
}

}  // namespace

TracePort *TracePortOpen(const wchar_t *portName, DWORD baud) {
    TracePort *port = (TracePort *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TracePort));
    if (port == NULL) return NULL;
    HANDLE hPort;
    if (!OpenDevice(portName, &hPort)) {
        HeapFree(GetProcessHeap(), 0, port);
        return NULL;
    }
    // A COM port opens only once: when this process holds it already, share it.
    BOOL fresh = hPort != INVALID_HANDLE_VALUE;
    if (!fresh && pRememberedPort != NULL) hPort = pRememberedPort->hPort;
    if (hPort == INVALID_HANDLE_VALUE || !ConfigurePort(hPort, baud) ||
        (fresh && !RememberPort(hPort))) {
        DWORD error = GetLastError();
        if (fresh) CloseHandle(hPort);
        HeapFree(GetProcessHeap(), 0, port);
        SetLastError(error);
        return NULL;
    }
    port->pShared = pRememberedPort;
    port->pShared->users++;
    return port;
}

void TracePortWrite(TracePort *port, const char *bytes, DWORD length) {
    DWORD written;
    WriteFile(port->pShared->hPort, bytes, length, &written, NULL);
}

void TracePortClose(TracePort *port) {
    TracePortHandle *shared = port->pShared;
    if (--shared->users == 0) {
        CloseHandle(shared->hPort);
        if (pRememberedPort == shared) pRememberedPort = NULL;
        HeapFree(GetProcessHeap(), 0, shared);
    }
    HeapFree(GetProcessHeap(), 0, port);
}
