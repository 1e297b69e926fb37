// User-mode helpers of the virtual CAN driver (see vcan_control.h).
#include "vcan_control.h"

#include <string>

namespace {

const wchar_t SERVICES_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\";

// Completes an overlapped request: waits for it, or for timeoutMs and then
// cancels it, so that the OVERLAPPED never outlives the call.
BOOL FinishOverlapped(HANDLE hDevice, OVERLAPPED *ov, BOOL started, DWORD *transferred, DWORD timeoutMs)
{
    if (started) return GetOverlappedResult(hDevice, ov, transferred, FALSE);
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(hDevice, ov);
        GetOverlappedResult(hDevice, ov, transferred, TRUE);
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return GetOverlappedResult(hDevice, ov, transferred, FALSE);
}

BOOL Control(HANDLE hDevice, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize, DWORD *returned)
{
    DWORD n = 0;
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return FALSE;
    BOOL ok = DeviceIoControl(hDevice, code, const_cast<void *>(in), inSize, out, outSize, &n, &ov);
    ok = FinishOverlapped(hDevice, &ov, ok, &n, INFINITE);
    DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    if (returned) *returned = n;
    SetLastError(ok ? 0 : error);
    return ok;
}

std::wstring ServiceKeyPath(const wchar_t *service)
{
    return std::wstring(SERVICES_KEY) + service;
}

std::wstring DriverFilePath(const wchar_t *service)
{
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    return std::wstring(system) + L"\\drivers\\" + service + L".sys";
}

std::wstring ImageNextToProgram()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    return dir.substr(0, slash + 1) + L"vcan.sys";
}

struct ScHandle {
    SC_HANDLE h = nullptr;
    ~ScHandle() { Reset(nullptr); }
    void Reset(SC_HANDLE next)
    {
        if (h) CloseServiceHandle(h);
        h = next;
    }
};

BOOL OpenService(const wchar_t *service, DWORD access, ScHandle *manager, ScHandle *svc)
{
    manager->Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager->h) return FALSE;
    svc->Reset(OpenServiceW(manager->h, service, access));
    return svc->h != nullptr;
}

BOOL WaitForState(SC_HANDLE svc, DWORD state, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS status;
        if (!QueryServiceStatus(svc, &status)) return FALSE;
        if (status.dwCurrentState == state) return TRUE;
        if (GetTickCount() - start > timeoutMs) {
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return FALSE;
        }
        Sleep(20);
    }
}

BOOL SetValue(const wchar_t *service, const wchar_t *valueName, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(service).c_str(), 0, KEY_SET_VALUE, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key, valueName, 0, type, static_cast<const BYTE *>(data), size);
        RegCloseKey(key);
    }
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

}  // namespace

HANDLE VcanOpenDevice(const wchar_t *deviceName)
{
    std::wstring path = std::wstring(L"\\\\.\\") + deviceName;
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

namespace {

// One overlapped read or write of whole frames, waited for up to timeoutMs.
BOOL TransferFrames(HANDLE hDevice, bool write, RxMsg *frames, DWORD n, DWORD *bytes,
                    DWORD timeoutMs)
{
    *bytes = 0;
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return FALSE;
    DWORD size = n * (DWORD)sizeof(RxMsg);
    BOOL ok = write ? WriteFile(hDevice, frames, size, bytes, &ov)
                    : ReadFile(hDevice, frames, size, bytes, &ov);
    ok = FinishOverlapped(hDevice, &ov, ok, bytes, timeoutMs);
    DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(ok ? 0 : error);
    return ok;
}

}  // namespace

BOOL VcanWriteFrames(HANDLE hDevice, const RxMsg *frames, DWORD n)
{
    DWORD written = 0;
    if (!TransferFrames(hDevice, true, const_cast<RxMsg *>(frames), n, &written, INFINITE))
        return FALSE;
    if (written != n * sizeof(RxMsg)) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

BOOL VcanReadFrames(HANDLE hDevice, RxMsg *frames, DWORD maxFrames, DWORD *noFrames, DWORD timeoutMs)
{
    DWORD bytes = 0;
    BOOL ok = TransferFrames(hDevice, false, frames, maxFrames, &bytes, timeoutMs);
    *noFrames = ok ? bytes / (DWORD)sizeof(RxMsg) : 0;
    return ok;
}

BOOL VcanGetCounters(HANDLE hDevice, VcanCounters *counters)
{
    return Control(hDevice, IOCTL_VCAN_GET_COUNTERS, nullptr, 0, counters, sizeof(*counters), nullptr);
}

BOOL VcanFailNextRead(HANDLE hDevice, DWORD errorCode)
{
    uint32_t code = errorCode;
    return Control(hDevice, IOCTL_VCAN_FAIL_NEXT_READ, &code, sizeof(code), nullptr, 0, nullptr);
}

BOOL VcanGetEnabledIds(HANDLE hDevice, DWORD *ids, DWORD maxIds, DWORD *count)
{
    DWORD size = (DWORD)offsetof(VcanEnabledIds, ids) + maxIds * (DWORD)sizeof(uint32_t);
    VcanEnabledIds *block = static_cast<VcanEnabledIds *>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    DWORD returned = 0;
    BOOL ok = Control(hDevice, IOCTL_VCAN_GET_ENABLED_IDS, nullptr, 0, block, size, &returned);
    DWORD error = GetLastError();
    if (ok) {
        *count = block->count;
        DWORD n = (returned - (DWORD)offsetof(VcanEnabledIds, ids)) / (DWORD)sizeof(uint32_t);
        for (DWORD i = 0; i < n && i < maxIds; i++) ids[i] = block->ids[i];
    }
    HeapFree(GetProcessHeap(), 0, block);
    SetLastError(ok ? 0 : error);
    return ok;
}

BOOL VcanInstallService(const wchar_t *service, const wchar_t *devicePrefix, DWORD deviceCount,
                        const wchar_t *imagePath)
{
    std::wstring image = imagePath ? std::wstring(imagePath) : ImageNextToProgram();
    std::wstring target = DriverFilePath(service);
    if (image.empty() || target.empty()) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (!CopyFileW(image.c_str(), target.c_str(), FALSE)) return FALSE;

    ScHandle manager;
    manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.h) return FALSE;
    ScHandle svc;
    svc.Reset(CreateServiceW(manager.h, service, service, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, target.c_str(), nullptr, nullptr, nullptr,
                           nullptr, nullptr));
    if (!svc.h && GetLastError() != ERROR_SERVICE_EXISTS) return FALSE;
    if (!VcanSetServiceValue(service, L"DeviceCount", deviceCount)) return FALSE;
    return VcanSetServiceString(service, L"DevicePrefix", devicePrefix);
}

BOOL VcanStartService(const wchar_t *service)
{
    ScHandle manager, svc;
    if (!OpenService(service, SERVICE_START | SERVICE_QUERY_STATUS, &manager, &svc)) return FALSE;
    if (!StartServiceW(svc.h, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return FALSE;
    return WaitForState(svc.h, SERVICE_RUNNING, 10000);
}

BOOL VcanStopService(const wchar_t *service)
{
    ScHandle manager, svc;
    if (!OpenService(service, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager, &svc)) return FALSE;
    SERVICE_STATUS status;
    if (!ControlService(svc.h, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        return FALSE;
    }
    return WaitForState(svc.h, SERVICE_STOPPED, 10000);
}

BOOL VcanUninstallService(const wchar_t *service)
{
    {
        ScHandle manager, svc;
        if (!OpenService(service, SERVICE_ALL_ACCESS, &manager, &svc)) return FALSE;
        SERVICE_STATUS status;
        if (ControlService(svc.h, SERVICE_CONTROL_STOP, &status)) WaitForState(svc.h, SERVICE_STOPPED, 10000);
        if (!DeleteService(svc.h)) return FALSE;
    }
    std::wstring file = DriverFilePath(service);
    if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return FALSE;
    SetLastError(0);
    return TRUE;
}

BOOL VcanSetServiceValue(const wchar_t *service, const wchar_t *valueName, DWORD value)
{
    return SetValue(service, valueName, REG_DWORD, &value, sizeof(value));
}

BOOL VcanSetServiceString(const wchar_t *service, const wchar_t *valueName, const wchar_t *value)
{
    DWORD size = (DWORD)((wcslen(value) + 1) * sizeof(wchar_t));
    return SetValue(service, valueName, REG_SZ, value, size);
}

BOOL VcanDeleteServiceValue(const wchar_t *service, const wchar_t *valueName)
{
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(service).c_str(), 0, KEY_SET_VALUE, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteValueW(key, valueName);
        RegCloseKey(key);
    }
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}
