// Malformed and random requests on the server queue. None carries the
// unique id or the hMsgQRef of a real client, so the clients of the run
// are not disturbed by them.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "msgq.h"
#include "stress_random.h"

#define FUZZ_MAX_LENGTH 200u

struct FuzzRequest {
    uint8_t bytes[FUZZ_MAX_LENGTH];
    DWORD length;  // 0 .. FUZZ_MAX_LENGTH
};

// allowClientCheck: id 1 may be chosen (the server pauses ~100 ms for it).
void BuildFuzzRequest(StressRandom *pRandom, const std::vector<std::wstring> &netNames,
                      bool allowClientCheck, FuzzRequest *pRequest);

// The id field as the server reads it (0 when the request is shorter).
uint32_t FuzzRequestId(const FuzzRequest &request);

// TRUE for a value the server never hands out as hMsgQRef.
BOOL IsForgedMsgQRef(uint32_t ref);

struct FuzzStats {
    volatile LONG64 sent;
    volatile LONG64 refusedByQueue;  // longer than a request can be: the queue refuses it
    volatile LONG64 sendFailed;      // queue full for a second, or another failure
    volatile LONG64 byId[16];        // sent with ids 0..15
    volatile LONG64 otherIds;
    volatile LONG64 unterminatedNames;
};

struct Fuzzer {
    MsgQHandle hServerQueue = nullptr;
    std::vector<std::wstring> netNames;
    DWORD perSecond = 0;
    uint32_t seed = 0;
    volatile LONG stop = 0;
    HANDLE hThread = nullptr;
    FuzzStats stats = {};
};

BOOL StartFuzzer(Fuzzer *pFuzzer);
void StopFuzzer(Fuzzer *pFuzzer);
