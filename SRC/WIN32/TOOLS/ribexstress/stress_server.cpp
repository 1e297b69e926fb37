// The server process from outside (see stress_server.h).
#include "stress_server.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <stddef.h>
#include <wchar.h>

#include <algorithm>

#include "server_start.h"

namespace {

const wchar_t SERVER_FILE_NAME[] = L"ribex.exe";

// Every ribex.exe in the process list, ended ones that someone still
// holds included.
std::vector<DWORD> ServerPids(void) {
    std::vector<DWORD> pids;
    for (const PROCESSENTRY32W &entry : ProcessList())
        if (_wcsicmp(entry.szExeFile, SERVER_FILE_NAME) == 0) pids.push_back(entry.th32ProcessID);
    return pids;
}

BOOL MarkerExists(void) {
    HANDLE hMarker = OpenMutexW(SYNCHRONIZE, FALSE, RIBEX_INSTANCE_MARKER_NAME);
    if (hMarker == nullptr) return FALSE;
    CloseHandle(hMarker);
    return TRUE;
}

// The running ribex.exe that is not among the known ones, when there is
// exactly one; 0 when there is none or more than one.
DWORD OnlyNewServerPid(const std::vector<DWORD> &known, HANDLE *phProcess) {
    DWORD foundPid = 0;
    HANDLE hFound = nullptr;
    for (DWORD pid : ServerPids()) {
        if (std::find(known.begin(), known.end(), pid) != known.end()) continue;
        HANDLE hProcess =
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
        if (hProcess == nullptr) continue;
        if (WaitForSingleObject(hProcess, 0) != WAIT_TIMEOUT) {
            CloseHandle(hProcess);
            continue;
        }
        if (hFound != nullptr) {  // a second one: a loser of the race has yet to end
            CloseHandle(hProcess);
            CloseHandle(hFound);
            return 0;
        }
        foundPid = pid;
        hFound = hProcess;
    }
    *phProcess = hFound;
    return foundPid;
}

// The system's handle list, filtered by owner: Wine answers
// GetProcessHandleCount for other processes with 0, but lists every
// handle of the machine here (class 64, the extended handle list).
const ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
const LONG STATUS_INFO_LENGTH_MISMATCH = (LONG)0xC0000004;

struct HandleEntry {
    void *object;
    ULONG_PTR uniqueProcessId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
static_assert(sizeof(HandleEntry) == 40, "extended handle entry is 40 bytes");

struct HandleList {
    ULONG_PTR numberOfHandles;
    ULONG_PTR reserved;
    HandleEntry handles[1];
};

typedef LONG(NTAPI *QuerySystemInformation)(ULONG, void *, ULONG, ULONG *);

BOOL CountHandlesInSystemList(DWORD pid, DWORD *pCount) {
    static QuerySystemInformation query = (QuerySystemInformation)(void *)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (query == nullptr) return FALSE;
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    for (;;) {
        ULONG needed = 0;
        status =
            query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(), (ULONG)buffer.size(), &needed);
        if (status != STATUS_INFO_LENGTH_MISMATCH || buffer.size() >= (64u << 20)) break;
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const HandleList *pList = (const HandleList *)buffer.data();
    size_t room = (buffer.size() - offsetof(HandleList, handles)) / sizeof(HandleEntry);
    size_t entries = pList->numberOfHandles < room ? pList->numberOfHandles : room;
    DWORD count = 0;
    for (size_t i = 0; i < entries; ++i) count += pList->handles[i].uniqueProcessId == pid ? 1 : 0;
    *pCount = count;
    return TRUE;
}

BOOL CountServerHandles(const ServerWatch *pWatch, DWORD *pCount) {
    if (GetProcessHandleCount(pWatch->hProcess, pCount) && *pCount != 0) return TRUE;
    return CountHandlesInSystemList(pWatch->pid, pCount);
}

double Percent(double spread, double base) {
    return base > 0 ? 100.0 * spread / base : 0.0;
}

}  // namespace

std::vector<PROCESSENTRY32W> ProcessList(void) {
    std::vector<PROCESSENTRY32W> list;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE) return list;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(hSnapshot, &entry); more;
         more = Process32NextW(hSnapshot, &entry))
        list.push_back(entry);
    CloseHandle(hSnapshot);
    return list;
}

void NoteServersBefore(ServerWatch *pWatch) {
    pWatch->knownPids = ServerPids();
}

// Clients that connect before the first server holds the instance marker
// start servers of their own; all but one of them find the marker taken
// and end at once. So the server is the one left once the marker exists.
BOOL TryFindServer(ServerWatch *pWatch) {
    if (pWatch->hProcess != nullptr) return TRUE;
    if (!MarkerExists()) return FALSE;
    pWatch->pid = OnlyNewServerPid(pWatch->knownPids, &pWatch->hProcess);
    return pWatch->pid != 0;
}

BOOL KillServer(ServerWatch *pWatch, DWORD timeoutMs) {
    if (pWatch->hProcess == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    HANDLE hKill = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pWatch->pid);
    BOOL killed = hKill != nullptr && TerminateProcess(hKill, 9);
    DWORD errorCode = killed ? ERROR_SUCCESS : GetLastError();
    if (hKill != nullptr) CloseHandle(hKill);
    if (killed && WaitForSingleObject(pWatch->hProcess, timeoutMs) != WAIT_OBJECT_0) {
        killed = FALSE;
        errorCode = ERROR_TIMEOUT;
    }
    if (!killed) {
        SetLastError(errorCode);
        return FALSE;
    }
    pWatch->knownPids.push_back(pWatch->pid);
    CloseHandle(pWatch->hProcess);
    pWatch->hProcess = nullptr;
    pWatch->pid = 0;
    ++pWatch->life;
    return TRUE;
}

BOOL FindServer(ServerWatch *pWatch, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (TryFindServer(pWatch)) return TRUE;
        if (GetTickCount() - start >= timeoutMs) {
            SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        Sleep(50);
    }
}

BOOL SampleServer(ServerWatch *pWatch, DWORD atS) {
    ServerSample sample = {};
    sample.atS = atS;
    sample.life = pWatch->life;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (pWatch->hProcess == nullptr) {  // killed, the next one not found yet
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    // An ended process still answers, with nothing: no figures from it.
    if (WaitForSingleObject(pWatch->hProcess, 0) != WAIT_TIMEOUT) {
        SetLastError(ERROR_PROCESS_ABORTED);
        return FALSE;
    }
    if (!CountServerHandles(pWatch, &sample.handles)) return FALSE;
    if (!GetProcessMemoryInfo(pWatch->hProcess, (PROCESS_MEMORY_COUNTERS *)&counters,
                              sizeof(counters)))
        return FALSE;
    sample.workingSet = counters.WorkingSetSize;
    // Wine leaves PrivateUsage 0; the commit charge is the same figure.
    sample.privateBytes =
        counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    pWatch->samples.push_back(sample);
    return TRUE;
}

BOOL WaitServerExit(ServerWatch *pWatch, DWORD timeoutMs, DWORD *pExitCode) {
    if (WaitForSingleObject(pWatch->hProcess, timeoutMs) != WAIT_OBJECT_0) return FALSE;
    return GetExitCodeProcess(pWatch->hProcess, pExitCode);
}

void ReleaseServerWatch(ServerWatch *pWatch) {
    if (pWatch->hProcess != nullptr) CloseHandle(pWatch->hProcess);
    pWatch->hProcess = nullptr;
}

BOOL ComputeServerDrift(const std::vector<ServerSample> &samples, DWORD fromS,
                        ServerDrift *pDrift) {
    return ComputeLifeDrift(samples, 0, fromS, pDrift);
}

// life 0: every life.
BOOL ComputeLifeDrift(const std::vector<ServerSample> &samples, DWORD life, DWORD fromS,
                      ServerDrift *pDrift) {
    *pDrift = {};
    for (const ServerSample &s : samples) {
        if (s.atS < fromS || (life != 0 && s.life != life)) continue;
        if (pDrift->samples++ == 0) {
            pDrift->first = pDrift->minimum = pDrift->maximum = s;
            continue;
        }
        pDrift->minimum.handles = std::min(pDrift->minimum.handles, s.handles);
        pDrift->maximum.handles = std::max(pDrift->maximum.handles, s.handles);
        pDrift->minimum.workingSet = std::min(pDrift->minimum.workingSet, s.workingSet);
        pDrift->maximum.workingSet = std::max(pDrift->maximum.workingSet, s.workingSet);
        pDrift->minimum.privateBytes = std::min(pDrift->minimum.privateBytes, s.privateBytes);
        pDrift->maximum.privateBytes = std::max(pDrift->maximum.privateBytes, s.privateBytes);
    }
    if (pDrift->samples == 0) return FALSE;
    for (const ServerSample &s : samples)
        if (s.atS >= fromS && (life == 0 || s.life == life)) pDrift->last = s;
    pDrift->handlesPercent =
        Percent((double)pDrift->maximum.handles - pDrift->minimum.handles, pDrift->first.handles);
    pDrift->workingSetPercent = Percent(
        (double)pDrift->maximum.workingSet - pDrift->minimum.workingSet, pDrift->first.workingSet);
    pDrift->privatePercent =
        Percent((double)pDrift->maximum.privateBytes - pDrift->minimum.privateBytes,
                pDrift->first.privateBytes);
    return TRUE;
}
