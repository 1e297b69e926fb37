// The client children of a run: started at a pace, each given a fate
// (leave cleanly, or be killed while reading, between its open request
// and the confirm, or at any moment), watched through their slots, and
// after a kill watched until the server let go of what the child had.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "stress_random.h"
#include "stress_shared.h"

enum class ChildFate { Leave, KillReading, KillInOpen, KillAnytime };

struct StressNet {
    std::wstring name;
    uint32_t canId;  // of the stream on it
    bool isDevice;
};

struct ChildRecord {
    bool used = false;
    DWORD childNo = 0;
    ChildFate fate = ChildFate::Leave;
    HANDLE hProcess = nullptr;
    DWORD pid = 0;
    size_t netIndex = 0;
    DWORD lifeMs = 0;
    uint64_t startMs = 0;
    uint64_t killAtMs = 0;  // 0: not scheduled yet
};

// A killed child whose wake-up event or reply queue may still be held.
struct PendingRemoval {
    DWORD childNo;
    DWORD pid;
    std::wstring eventName;       // net + unique id + "EVT"
    std::wstring queueMutexName;  // "MsgQ" + net + unique id + "MTX"
    uint64_t deathMs;
    bool heldAtDeath;  // still there at the first look
};

struct ChildStats {
    uint64_t started = 0, joined = 0, cleanLeaves = 0;
    uint64_t kills = 0, killsByState[CHILD_CLOSED + 1] = {};
    uint64_t failures = 0;  // ended on their own with a non-zero exit code
    DWORD lastFailureCode = 0, lastFailureError = 0;
    // CreateProcess refused: no client ran (Wine fails a start now and then)
    uint64_t startFailures = 0, lastStartFailureMs = 0;
    DWORD lastStartError = 0;
    uint64_t removedAtOnce = 0;  // gone with the process: the server held nothing
    uint64_t removedByServer = 0;
    uint64_t removalMaxMs = 0, removalSumMs = 0, removedOver3s = 0;
    uint64_t notRemoved = 0;
    std::vector<DWORD> notRemovedPids;
    uint64_t frames = 0, lost = 0, duplicated = 0;
};

struct ChildPool {
    // Set up by the caller.
    std::wstring selfPath;
    std::wstring serverQueue;
    std::vector<StressNet> nets;
    DWORD childrenPerMin = 0, killsPerMin = 0, maxChildren = 1, removalLimitMs = 0;
    StressRandom random = {};
    uint64_t (*clockMs)(void) = nullptr;  // the run's clock
    // Kept by the pool.
    HANDLE hBlockMapping = nullptr;
    StressBlock *pBlock = nullptr;
    std::wstring blockName;
    ChildRecord records[STRESS_MAX_CHILD_SLOTS];
    std::vector<PendingRemoval> pending;
    uint64_t nextChildNo = 1;
    uint64_t spawnedOnSchedule = 0;
    uint64_t lastRemovalPollMs = 0;
    ChildStats stats;
};

BOOL CreateChildPool(ChildPool *pPool);
void ReleaseChildPool(ChildPool *pPool);

// One pass: starts what the pace asks (while spawning), kills what is due,
// collects children that ended, looks for removals.
void ChildPoolTick(ChildPool *pPool, bool spawning);
DWORD LiveChildren(const ChildPool *pPool);
// Winds down: no new children, the waiting ones killed, until none is
// alive and no removal is pending, or timeoutMs has passed.
void ChildPoolQuiesce(ChildPool *pPool, DWORD timeoutMs);

// TRUE when neither the event nor the reply queue exists any more.
BOOL ClientObjectsGone(const PendingRemoval &removal);

// Starts "path" args with no console and no inherited handles.
BOOL StartQuietProcess(const std::wstring &path, const std::wstring &args, HANDLE *phProcess,
                       DWORD *pPid);
