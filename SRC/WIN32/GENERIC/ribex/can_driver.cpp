#include "can_driver.h"

#include <string.h>
#include <wchar.h>

#include "last_error.h"
#include "ribex_names.h"

DWORD currentPriorityClass = 0;

namespace {

// Written once by whichever thread first needs it; every writer stores
// the same value.
volatile LONGLONG g_perfFrequency = 0;

constexpr DWORD kPriorityRanking[] = {IDLE_PRIORITY_CLASS,   BELOW_NORMAL_PRIORITY_CLASS,
                                      NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS,
                                      HIGH_PRIORITY_CLASS,   REALTIME_PRIORITY_CLASS};

// Queries a REG_DWORD value; FALSE when missing or of another type.
BOOL QueryDword(HKEY hKey, const wchar_t *name, DWORD *pValue) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(hKey, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) !=
        ERROR_SUCCESS)
        return FALSE;
    if (type != REG_DWORD || size != sizeof(value)) return FALSE;
    *pValue = value;
    return TRUE;
}

}  // namespace

HANDLE CanOpenDevice(const wchar_t *netName) {
    wchar_t *path = CreateDevicePath(netName);
    if (!path) return INVALID_HANDLE_VALUE;
    HANDLE hDevice = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    DWORD error = hDevice == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    HeapFree(GetProcessHeap(), 0, path);
    SetLastError(error);
    return hDevice;
}

CanDrvProperties *CanGetDriverProperties(HANDLE hDevice) {
    DWORD size = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(hDevice, IOCTL_CAN_GET_PROPERTIES_SIZE, nullptr, 0, &size, sizeof(size),
                         &returned, nullptr))
        return nullptr;
    // The fixed part and at least the terminating NUL of the name.
    if (returned != sizeof(size) || size < CAN_DRV_PROPERTIES_NAMES_OFFSET + sizeof(uint16_t)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    // Zeroed, so that bytes the driver leaves out never reach a reader.
    auto *pProperties =
        static_cast<CanDrvProperties *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!pProperties) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD error = 0;
    if (!DeviceIoControl(hDevice, IOCTL_CAN_GET_PROPERTIES, nullptr, 0, pProperties, size,
                         &returned, nullptr)) {
        error = LastErrorOr(ERROR_GEN_FAILURE);
    } else if (returned < CAN_DRV_PROPERTIES_NAMES_OFFSET) {
        error = ERROR_INVALID_DATA;
    } else {
        // The service key name must start and end inside the block.
        DWORD chars = (size - CAN_DRV_PROPERTIES_NAMES_OFFSET) / sizeof(uint16_t);
        DWORD index = pProperties->serviceNameIndex;
        const uint16_t *names = reinterpret_cast<const uint16_t *>(
            reinterpret_cast<const BYTE *>(pProperties) + CAN_DRV_PROPERTIES_NAMES_OFFSET);
        error = ERROR_INVALID_DATA;
        for (DWORD i = index; i < chars; i++) {
            if (names[i] == 0) {
                error = 0;
                break;
            }
        }
    }
    if (error != 0) {
        HeapFree(GetProcessHeap(), 0, pProperties);
        SetLastError(error);
        return nullptr;
    }
    SetLastError(0);
    return pProperties;
}

const wchar_t *CanDriverServiceName(const CanDrvProperties *pProperties) {
    return reinterpret_cast<const wchar_t *>(reinterpret_cast<const BYTE *>(pProperties) +
                                             CAN_DRV_PROPERTIES_NAMES_OFFSET) +
           pProperties->serviceNameIndex;
}

DWORD PriorityClassRank(DWORD priorityClass) {
    for (DWORD i = 0; i < sizeof(kPriorityRanking) / sizeof(kPriorityRanking[0]); i++)
        if (kPriorityRanking[i] == priorityClass) return i + 1;
    return 0;
}

void ApplyRxProcPrio(DWORD priorityClass) {
    DWORD rank = PriorityClassRank(priorityClass);
    if (rank == 0) return;
    if (currentPriorityClass != 0 && PriorityClassRank(currentPriorityClass) >= rank) return;
    if (SetPriorityClass(GetCurrentProcess(), priorityClass)) currentPriorityClass = priorityClass;
}

BOOL RibexGetConfig(const wchar_t *serviceName, DWORD *pNoMsgPerRead) {
    HKEY hServices = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0,
                                KEY_READ, &hServices);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return FALSE;
    }
    HKEY hService = nullptr;
    status = RegOpenKeyExW(hServices, serviceName, 0, KEY_READ, &hService);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(hServices);
        SetLastError(static_cast<DWORD>(status));
        return FALSE;
    }
    DWORD value = 0;
    if (QueryDword(hService, L"NoMsgPerRead", &value)) *pNoMsgPerRead = value;
    if (QueryDword(hService, L"RxProcPrio", &value)) ApplyRxProcPrio(value);
    RegCloseKey(hService);
    RegCloseKey(hServices);
    SetLastError(0);
    return TRUE;
}

DWORD CanReadMsgs(HANDLE hDevice, void *destination, DWORD n, DWORD *pBytes,
                  OVERLAPPED *pOverlapped, DWORD *pReadPending) {
    *pBytes = 0;
    if (ReadFile(hDevice, destination, n * sizeof(RxMsg), pBytes, pOverlapped)) {
        *pReadPending = 0;
        return 0;
    }
    DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
    *pReadPending = error == ERROR_IO_PENDING;
    return error == ERROR_IO_PENDING ? 0 : error;
}

BOOL CanDeviceGone(DWORD readError) {
    switch (readError) {
    case ERROR_DEVICE_REMOVED:        // our driver, stopped with the handle open
    case ERROR_ACCESS_DENIED:         // Wine: reads on a handle whose driver unloaded
    case ERROR_INVALID_HANDLE:        // the handle no longer names a device
    case ERROR_OPERATION_ABORTED:     // reads cut off by a surprise removal
    case ERROR_DEVICE_NOT_CONNECTED:  // an adapter unplugged
    case ERROR_BAD_COMMAND:
    case ERROR_NOT_READY:
    case ERROR_FILE_NOT_FOUND:
        return TRUE;
    default:
        return FALSE;
    }
}

uint64_t PerfCounterTo100ns(uint64_t counter, uint64_t frequency) {
    if (frequency == 0) frequency = 1;
    // Whole seconds and the remainder separately: exact for any
    // frequency, where splitting the counter into 32-bit halves drops the
    // fraction of the high half (hundreds of seconds off at 3.58 MHz).
    uint64_t seconds = counter / frequency;
    uint64_t rest = counter % frequency;
    uint64_t fraction;
    if (rest <= UINT64_MAX / 10000000u) {
        fraction = rest * 10000000u / frequency;
    } else {
        // Frequencies above 1.8e12 Hz: long division in 128 bits.
        unsigned __int128 wide = static_cast<unsigned __int128>(rest) * 10000000u;
        fraction = static_cast<uint64_t>(wide / frequency);
    }
    return seconds * 10000000u + fraction;
}

BOOL CanGetTimeStamp(HANDLE hDevice, uint64_t *pTimeStamp) {
    if (hDevice != INVALID_HANDLE_VALUE && hDevice != nullptr) {
        uint64_t stamp = 0;
        DWORD returned = 0;
        if (!DeviceIoControl(hDevice, IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, &stamp, sizeof(stamp),
                             &returned, nullptr)) {
            DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
            *pTimeStamp = 0;
            SetLastError(error);
            return FALSE;
        }
        if (returned != sizeof(stamp)) {
            *pTimeStamp = 0;
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        *pTimeStamp = stamp;
        SetLastError(0);
        return TRUE;
    }
    LONGLONG frequency = g_perfFrequency;
    if (frequency == 0) {
        LARGE_INTEGER f;
        frequency = (QueryPerformanceFrequency(&f) && f.QuadPart > 0) ? f.QuadPart : 1;
        g_perfFrequency = frequency;
    }
    LARGE_INTEGER counter;
    if (!QueryPerformanceCounter(&counter) || counter.QuadPart < 0) counter.QuadPart = 0;
    *pTimeStamp = PerfCounterTo100ns(static_cast<uint64_t>(counter.QuadPart),
                                     static_cast<uint64_t>(frequency));
    SetLastError(0);
    return TRUE;
}
