// The fuzzer (see stress_fuzz.h): random lengths 0..200, every id, forged
// hMsgQRef values, unique ids no client uses, names without terminator.
#include "stress_fuzz.h"

#include <stddef.h>
#include <string.h>

#include "ribex_messages.h"

namespace {

// Our clients' unique ids have a process id as high word; process ids
// never have bit 31 set, so a high word with it names nobody.
const uint32_t FOREIGN_HIGH_BIT = 0x80000000u;
// hMsgQRef is a slot number + 1 in the low 16 bits and a generation
// 1..0xFFFF in the high 16 bits; generation 0 and slot numbers from
// 0xF000 on are never handed out.
const uint32_t REF_SLOT_MASK = 0xFFFFu;
const uint32_t REF_FIRST_UNUSED_SLOT = 0xF000u;
const DWORD SEND_TIMEOUT_MS = 1000;
const DWORD CLIENT_CHECK_EVERY_MS = 2000;

struct WireFields {
    uint32_t id;
    int refOffset;   // -1: none
    int highOffset;  // where the unique id's high word (or uniqueIdHigh) lies
};

const WireFields WIRE_FIELDS[] = {
    {RIBEX_REQ_IF_OPEN, -1, (int)offsetof(canIfOpenReqMsg, uniqueId)},
    {RIBEX_REQ_IF_CLOSE, (int)offsetof(canIfCloseReqMsg, hMsgQRef),
     (int)offsetof(canIfCloseReqMsg, uniqueId)},
    {RIBEX_REQ_DISABLE_ALL_REM_FRAME, -1, (int)offsetof(canDisableAllRemFrameReqMsg, uniqueIdHigh)},
    {RIBEX_REQ_ENUM_REM_FRAME, (int)offsetof(canEnumRemFrameReqMsg, hMsgQRef),
     (int)offsetof(canEnumRemFrameReqMsg, uniqueId)},
    {RIBEX_REQ_ENABLE_REM_FRAME, (int)offsetof(canEnableRemFrameReqMsg, hMsgQRef),
     (int)offsetof(canEnableRemFrameReqMsg, uniqueId)},
    {RIBEX_REQ_DISABLE_REM_FRAME, (int)offsetof(canDisableRemFrameReqMsg, hMsgQRef),
     (int)offsetof(canDisableRemFrameReqMsg, uniqueId)},
};

uint32_t Get32(const uint8_t *p) {
    uint32_t value;
    memcpy(&value, p, 4);
    return value;
}

void Put32(uint8_t *p, uint32_t value) {
    memcpy(p, &value, 4);
}

uint32_t ForgeMsgQRef(StressRandom *pRandom) {
    switch (RandomBelow(pRandom, 4)) {
        case 0: return 0;
        case 1: return 0xFFFFFFFFu;
        case 2: return RandomBetween(pRandom, 1, REF_SLOT_MASK);  // generation 0
        default:
            return (NextRandom(pRandom) & ~REF_SLOT_MASK) |
                   RandomBetween(pRandom, REF_FIRST_UNUSED_SLOT, REF_SLOT_MASK);
    }
}

uint32_t ChooseId(StressRandom *pRandom, bool allowClientCheck) {
    uint32_t choice = RandomBelow(pRandom, 100);
    uint32_t id;
    if (choice < 60) {
        id = RandomBelow(pRandom, 16);
    } else if (choice < 85) {
        id = WIRE_FIELDS[RandomBelow(pRandom, sizeof(WIRE_FIELDS) / sizeof(WIRE_FIELDS[0]))].id;
    } else if (choice < 90) {
        const uint32_t confirmIds[] = {RIBEX_CFM_IF_OPEN, RIBEX_CFM_ENUM_REM_FRAME,
                                       RIBEX_CFM_STATUS};
        id = confirmIds[RandomBelow(pRandom, 3)];
    } else {
        id = NextRandom(pRandom);
    }
    if (id == RIBEX_REQ_CLIENT_CHECK && !allowClientCheck) id = 0;
    return id;
}

// The net name of an open request: a real net's, an empty one, or code
// units up to the end of the request with no terminator among them.
void FillNetName(StressRandom *pRandom, const std::vector<std::wstring> &netNames,
                 FuzzRequest *pRequest) {
    uint8_t *pName = pRequest->bytes + offsetof(canIfOpenReqMsg, netName);
    size_t room = FUZZ_MAX_LENGTH - offsetof(canIfOpenReqMsg, netName);
    uint32_t choice = RandomBelow(pRandom, 3);
    if (choice == 0 && !netNames.empty()) {
        const std::wstring &name = netNames[RandomBelow(pRandom, (uint32_t)netNames.size())];
        memset(pName, 0, room);
        memcpy(pName, name.c_str(), name.size() * sizeof(wchar_t));
    } else if (choice == 1) {
        memset(pName, 0, room);
    } else {
        for (size_t i = 0; i + 1 < room; i += 2) {
            pName[i] = (uint8_t)RandomBetween(pRandom, 'A', 'Z');
            pName[i + 1] = 0;
        }
    }
}

// Applies the rules that keep a request away from the run's clients.
void Sanitise(StressRandom *pRandom, const std::vector<std::wstring> &netNames, uint32_t id,
              FuzzRequest *pRequest) {
    for (const WireFields &f : WIRE_FIELDS) {
        if (f.id != id) continue;
        uint8_t *pHigh = pRequest->bytes + f.highOffset;
        Put32(pHigh, Get32(pHigh) | FOREIGN_HIGH_BIT);
        if (f.refOffset >= 0) Put32(pRequest->bytes + f.refOffset, ForgeMsgQRef(pRandom));
        if (id == RIBEX_REQ_IF_OPEN) {
            if (RandomBelow(pRandom, 4) != 0)
                Put32(pRequest->bytes + offsetof(canIfOpenReqMsg, majorVersion),
                      RIBEX_CLIENT_MAJOR_VERSION);
            FillNetName(pRandom, netNames, pRequest);
        }
    }
}

}  // namespace

BOOL IsForgedMsgQRef(uint32_t ref) {
    uint32_t slot = ref & REF_SLOT_MASK;
    return slot == 0 || slot >= REF_FIRST_UNUSED_SLOT || (ref >> 16) == 0;
}

uint32_t FuzzRequestId(const FuzzRequest &request) {
    return request.length >= 4 ? Get32(request.bytes) : 0;
}

void BuildFuzzRequest(StressRandom *pRandom, const std::vector<std::wstring> &netNames,
                      bool allowClientCheck, FuzzRequest *pRequest) {
    for (DWORD i = 0; i < FUZZ_MAX_LENGTH; ++i) pRequest->bytes[i] = (uint8_t)NextRandom(pRandom);
    uint32_t id = ChooseId(pRandom, allowClientCheck);
    Put32(pRequest->bytes, id);
    Sanitise(pRandom, netNames, id, pRequest);
    // Mostly lengths around the real layouts, sometimes anything up to 200.
    pRequest->length = RandomBelow(pRandom, 2) == 0 ? RandomBelow(pRandom, FUZZ_MAX_LENGTH + 1)
                                                    : RandomBelow(pRandom, 33);
}

namespace {

void CountSent(FuzzStats *pStats, const FuzzRequest &request) {
    InterlockedIncrement64(&pStats->sent);
    uint32_t id = FuzzRequestId(request);
    if (id < 16)
        InterlockedIncrement64(&pStats->byId[id]);
    else
        InterlockedIncrement64(&pStats->otherIds);
    if (id == RIBEX_REQ_IF_OPEN && request.length > offsetof(canIfOpenReqMsg, netName)) {
        const uint8_t *pName = request.bytes + offsetof(canIfOpenReqMsg, netName);
        DWORD units = (request.length - (DWORD)offsetof(canIfOpenReqMsg, netName)) / 2;
        bool terminated = false;
        for (DWORD i = 0; i < units && !terminated; ++i)
            terminated = pName[2 * i] == 0 && pName[2 * i + 1] == 0;
        if (!terminated) InterlockedIncrement64(&pStats->unterminatedNames);
    }
}

DWORD WINAPI FuzzThread(void *pParam) {
    Fuzzer *pFuzzer = (Fuzzer *)pParam;
    StressRandom random;
    SeedRandom(&random, pFuzzer->seed);
    DWORD start = GetTickCount(), lastCheck = start;
    uint64_t done = 0;
    FuzzRequest request;
    while (!pFuzzer->stop) {
        DWORD elapsed = GetTickCount() - start;
        uint64_t due = (uint64_t)elapsed * pFuzzer->perSecond / 1000;
        if (done >= due) {
            Sleep(5);
            continue;
        }
        bool allowCheck = GetTickCount() - lastCheck >= CLIENT_CHECK_EVERY_MS;
        BuildFuzzRequest(&random, pFuzzer->netNames, allowCheck, &request);
        if (FuzzRequestId(request) == RIBEX_REQ_CLIENT_CHECK) lastCheck = GetTickCount();
        ++done;
        if (MsgQSend(pFuzzer->hServerQueue, request.bytes, request.length, SEND_TIMEOUT_MS))
            CountSent(&pFuzzer->stats, request);
        else if (GetLastError() == ERROR_BAD_LENGTH)
            InterlockedIncrement64(&pFuzzer->stats.refusedByQueue);
        else
            InterlockedIncrement64(&pFuzzer->stats.sendFailed);
    }
    return 0;
}

}  // namespace

BOOL StartFuzzer(Fuzzer *pFuzzer) {
    if (pFuzzer->perSecond == 0) return TRUE;
    pFuzzer->hThread = CreateThread(nullptr, 0, FuzzThread, pFuzzer, 0, nullptr);
    return pFuzzer->hThread != nullptr;
}

void StopFuzzer(Fuzzer *pFuzzer) {
    InterlockedExchange(&pFuzzer->stop, 1);
    if (pFuzzer->hThread == nullptr) return;
    WaitForSingleObject(pFuzzer->hThread, INFINITE);
    CloseHandle(pFuzzer->hThread);
    pFuzzer->hThread = nullptr;
}
