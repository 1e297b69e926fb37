// The client children (see stress_children.h).
#include "stress_children.h"

#include <string.h>

#include "ribex_names.h"
#include "stress_child.h"

namespace {

const DWORD REMOVAL_POLL_MS = 50;
const DWORD STUCK_AFTER_MS = 30000;  // a child past its life by this much is killed as stuck
const DWORD CHILD_EXIT_STUCK = 999;
const DWORD REM_FRAME_BASE_ID = 0x600;

std::wstring HeapName(wchar_t *pName) {
    std::wstring name = pName != nullptr ? pName : L"";
    if (pName != nullptr) HeapFree(GetProcessHeap(), 0, pName);
    return name;
}

BOOL NamedObjectExists(HANDLE hOpened) {
    if (hOpened != nullptr) {
        CloseHandle(hOpened);
        return TRUE;
    }
    // Anything but "no such name" counts as there: never report a removal
    // that did not happen.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

ChildFate ChooseFate(ChildPool *pPool) {
    uint32_t perMille =
        pPool->childrenPerMin == 0
            ? 0
            : (uint32_t)((uint64_t)pPool->killsPerMin * 1000 / pPool->childrenPerMin);
    if (RandomBelow(&pPool->random, 1000) >= perMille) return ChildFate::Leave;
    uint32_t kind = RandomBelow(&pPool->random, 10);
    if (kind < 4) return ChildFate::KillReading;
    if (kind < 7) return ChildFate::KillInOpen;
    return ChildFate::KillAnytime;
}

ChildArgs ChildArgsFor(ChildPool *pPool, const ChildRecord &record, DWORD slot) {
    const StressNet &net = pPool->nets[record.netIndex];
    ChildArgs args;
    args.blockName = pPool->blockName;
    args.slot = slot;
    args.netName = net.name;
    args.uniqueLow = record.childNo;
    args.serverQueue = pPool->serverQueue;
    args.streamCanId = net.canId;
    args.lifeMs = record.lifeMs;
    args.mode = record.fate == ChildFate::KillReading  ? ChildMode::Read
                : record.fate == ChildFate::KillInOpen ? ChildMode::StallInOpen
                                                       : ChildMode::Leave;
    // Half of them leave a remote-frame reply behind when they die.
    if (RandomBelow(&pPool->random, 2) == 0) args.remFrameId = REM_FRAME_BASE_ID + slot;
    return args;
}

BOOL StartChildProcess(ChildPool *pPool, const ChildArgs &args, ChildRecord *pRecord) {
    return StartQuietProcess(pPool->selfPath, BuildChildCommandLine(args), &pRecord->hProcess,
                             &pRecord->pid);
}

void SpawnChild(ChildPool *pPool, uint64_t nowMs) {
    DWORD slot = 0;
    while (slot < STRESS_MAX_CHILD_SLOTS && pPool->records[slot].used) ++slot;
    if (slot == STRESS_MAX_CHILD_SLOTS) return;
    ChildRecord &record = pPool->records[slot];
    record = ChildRecord();
    record.childNo = (DWORD)pPool->nextChildNo++;
    record.fate = ChooseFate(pPool);
    record.netIndex = RandomBelow(&pPool->random, (uint32_t)pPool->nets.size());
    record.lifeMs = record.fate == ChildFate::Leave ? RandomBetween(&pPool->random, 300, 2500)
                                                    : RandomBetween(&pPool->random, 200, 1200);
    record.startMs = nowMs;
    // From the process start on (which takes a few hundred ms): lands
    // before or in the open, while reading or closing, rarely after the end.
    if (record.fate == ChildFate::KillAnytime)
        record.killAtMs = nowMs + RandomBetween(&pPool->random, 1, 1200);
    memset(&pPool->pBlock->slots[slot], 0, sizeof(StressChildSlot));
    ChildArgs args = ChildArgsFor(pPool, record, slot);
    if (!StartChildProcess(pPool, args, &record)) {
        ++pPool->stats.startFailures;
        pPool->stats.lastStartError = GetLastError();
        pPool->stats.lastStartFailureMs = nowMs;
        return;
    }
    record.used = true;
    ++pPool->stats.started;
}

std::wstring NetOf(const ChildPool *pPool, const ChildRecord &record) {
    return pPool->nets[record.netIndex].name;
}

// Adds what the child counted; frees its record.
void Collect(ChildPool *pPool, DWORD slot) {
    ChildRecord &record = pPool->records[slot];
    const StressChildSlot &s = pPool->pBlock->slots[slot];
    if (s.state >= CHILD_JOINED) ++pPool->stats.joined;
    pPool->stats.frames += (uint64_t)s.frames;
    pPool->stats.lost += (uint64_t)s.lost;
    pPool->stats.duplicated += (uint64_t)s.duplicated;
    CloseHandle(record.hProcess);
    record = ChildRecord();
}

void EndedOnItsOwn(ChildPool *pPool, DWORD slot, DWORD exitCode) {
    if (exitCode == CHILD_EXIT_CLEAN) {
        ++pPool->stats.cleanLeaves;
    } else {
        ++pPool->stats.failures;
        pPool->stats.lastFailureCode = exitCode;
        pPool->stats.lastFailureError = pPool->pBlock->slots[slot].lastError;
    }
    Collect(pPool, slot);
}

void KillChild(ChildPool *pPool, DWORD slot, bool stuck) {
    ChildRecord &record = pPool->records[slot];
    LONG state = pPool->pBlock->slots[slot].state;
    BOOL terminated = TerminateProcess(record.hProcess, 9);
    WaitForSingleObject(record.hProcess, 10000);
    DWORD exitCode = 0;
    GetExitCodeProcess(record.hProcess, &exitCode);
    if (!terminated) {  // it ended just before
        EndedOnItsOwn(pPool, slot, exitCode);
        return;
    }
    if (stuck) {
        ++pPool->stats.failures;
        pPool->stats.lastFailureCode = CHILD_EXIT_STUCK;
        pPool->stats.lastFailureError = (DWORD)state;
    }
    ++pPool->stats.kills;
    if (state >= 0 && state <= CHILD_CLOSED) ++pPool->stats.killsByState[state];
    PendingRemoval removal;
    removal.childNo = record.childNo;
    removal.pid = record.pid;
    std::wstring net = NetOf(pPool, record);
    removal.eventName = HeapName(CreateUniqueName(net.c_str(), record.pid, record.childNo, L"EVT"));
    removal.queueMutexName =
        L"MsgQ" + HeapName(CreateUniqueName(net.c_str(), record.pid, record.childNo, L"")) + L"MTX";
    removal.deathMs = pPool->clockMs();
    removal.heldAtDeath = !ClientObjectsGone(removal);
    if (removal.heldAtDeath)
        pPool->pending.push_back(removal);
    else
        ++pPool->stats.removedAtOnce;
    Collect(pPool, slot);
}

bool KillDue(ChildPool *pPool, ChildRecord *pRecord, LONG state, uint64_t nowMs) {
    switch (pRecord->fate) {
        case ChildFate::KillInOpen: return state == CHILD_OPEN_SENT;
        case ChildFate::KillReading:
            if (pRecord->killAtMs == 0 && state >= CHILD_JOINED)
                pRecord->killAtMs = nowMs + RandomBetween(&pPool->random, 30, 1500);
            return pRecord->killAtMs != 0 && nowMs >= pRecord->killAtMs;
        case ChildFate::KillAnytime: return nowMs >= pRecord->killAtMs;
        case ChildFate::Leave: return false;
    }
    return false;
}

void WatchChild(ChildPool *pPool, DWORD slot, uint64_t nowMs) {
    ChildRecord &record = pPool->records[slot];
    if (WaitForSingleObject(record.hProcess, 0) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(record.hProcess, &exitCode);
        EndedOnItsOwn(pPool, slot, exitCode);
        return;
    }
    LONG state = pPool->pBlock->slots[slot].state;
    if (KillDue(pPool, &record, state, nowMs))
        KillChild(pPool, slot, false);
    else if (nowMs - record.startMs > record.lifeMs + STUCK_AFTER_MS)
        KillChild(pPool, slot, true);
}

void PollRemovals(ChildPool *pPool, uint64_t nowMs) {
    ChildStats &stats = pPool->stats;
    for (size_t i = 0; i < pPool->pending.size();) {
        PendingRemoval &removal = pPool->pending[i];
        uint64_t afterMs = nowMs - removal.deathMs;
        if (ClientObjectsGone(removal)) {
            ++stats.removedByServer;
            stats.removalSumMs += afterMs;
            if (afterMs > stats.removalMaxMs) stats.removalMaxMs = afterMs;
            if (afterMs > 3000) ++stats.removedOver3s;
        } else if (afterMs > pPool->removalLimitMs) {
            ++stats.notRemoved;
            stats.notRemovedPids.push_back(removal.pid);
        } else {
            ++i;
            continue;
        }
        pPool->pending.erase(pPool->pending.begin() + (ptrdiff_t)i);
    }
}

}  // namespace

void ChildPoolTick(ChildPool *pPool, bool spawning) {
    uint64_t nowMs = pPool->clockMs();
    if (spawning && pPool->childrenPerMin != 0) {
        uint64_t due = nowMs * pPool->childrenPerMin / 60000;
        // A debt from a pause or from the cap is not paid in one burst.
        if (due > pPool->spawnedOnSchedule + pPool->maxChildren)
            pPool->spawnedOnSchedule = due - pPool->maxChildren;
        while (pPool->spawnedOnSchedule < due && LiveChildren(pPool) < pPool->maxChildren) {
            SpawnChild(pPool, nowMs);
            ++pPool->spawnedOnSchedule;
        }
    }
    for (DWORD slot = 0; slot < STRESS_MAX_CHILD_SLOTS; ++slot)
        if (pPool->records[slot].used) WatchChild(pPool, slot, nowMs);
    if (nowMs - pPool->lastRemovalPollMs >= REMOVAL_POLL_MS) {
        pPool->lastRemovalPollMs = nowMs;
        PollRemovals(pPool, pPool->clockMs());
    }
}

BOOL StartQuietProcess(const std::wstring &path, const std::wstring &args, HANDLE *phProcess,
                       DWORD *pPid) {
    std::wstring commandLine = L"\"" + path + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // No console at all: a console of its own (CREATE_NO_WINDOW) has a host
    // process, and under Wine that host outlives a child killed before it
    // attached, holding our output open for ever.
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &info))
        return FALSE;
    CloseHandle(info.hThread);
    *phProcess = info.hProcess;
    *pPid = info.dwProcessId;
    return TRUE;
}

BOOL ClientObjectsGone(const PendingRemoval &removal) {
    if (NamedObjectExists(OpenEventW(SYNCHRONIZE, FALSE, removal.eventName.c_str()))) return FALSE;
    return !NamedObjectExists(OpenMutexW(SYNCHRONIZE, FALSE, removal.queueMutexName.c_str()));
}

BOOL CreateChildPool(ChildPool *pPool) {
    pPool->blockName = L"ribexstress-" + std::to_wstring(GetCurrentProcessId()) + L"-children";
    pPool->hBlockMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              sizeof(StressBlock), pPool->blockName.c_str());
    if (pPool->hBlockMapping == nullptr) return FALSE;
    pPool->pBlock = (StressBlock *)MapViewOfFile(pPool->hBlockMapping, FILE_MAP_WRITE, 0, 0,
                                                 sizeof(StressBlock));
    if (pPool->pBlock == nullptr) {
        DWORD errorCode = GetLastError();
        CloseHandle(pPool->hBlockMapping);
        pPool->hBlockMapping = nullptr;
        SetLastError(errorCode);
        return FALSE;
    }
    pPool->pBlock->slotCount = STRESS_MAX_CHILD_SLOTS;
    return TRUE;
}

void ReleaseChildPool(ChildPool *pPool) {
    for (DWORD slot = 0; slot < STRESS_MAX_CHILD_SLOTS; ++slot) {
        ChildRecord &record = pPool->records[slot];
        if (!record.used) continue;
        TerminateProcess(record.hProcess, 9);
        WaitForSingleObject(record.hProcess, 10000);
        CloseHandle(record.hProcess);
        record = ChildRecord();
    }
    if (pPool->pBlock != nullptr) UnmapViewOfFile(pPool->pBlock);
    if (pPool->hBlockMapping != nullptr) CloseHandle(pPool->hBlockMapping);
    pPool->pBlock = nullptr;
    pPool->hBlockMapping = nullptr;
}

DWORD LiveChildren(const ChildPool *pPool) {
    DWORD live = 0;
    for (const ChildRecord &record : pPool->records) live += record.used ? 1 : 0;
    return live;
}

void ChildPoolQuiesce(ChildPool *pPool, DWORD timeoutMs) {
    uint64_t start = pPool->clockMs();
    while ((LiveChildren(pPool) != 0 || !pPool->pending.empty()) &&
           pPool->clockMs() - start < timeoutMs) {
        ChildPoolTick(pPool, false);
        Sleep(10);
    }
}
