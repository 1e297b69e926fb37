// The client child (see stress_child.h). It reports its state and counts
// in its slot of the controller's block, so the controller knows when to
// kill it and what it read.
#include "stress_child.h"

#include <cwchar>

#include "msgq.h"
#include "ribex_client.h"
#include "ribex_messages.h"
#include "ribex_names.h"
#include "server_start.h"
#include "stress_shared.h"
#include "tool_number.h"

namespace {

const DWORD READ_BATCH = 64;
const DWORD OPEN_TRIES = 3;  // an open caught by a server kill is tried again

}  // namespace

bool ParseChildArgs(int argc, wchar_t **argv, ChildArgs *a) {
    if (argc != 11 || std::wcscmp(argv[1], STRESS_CHILD_ROLE) != 0) return false;
    a->blockName = argv[2];
    a->netName = argv[4];
    a->mode = (ChildMode)argv[6][0];
    a->serverQueue = argv[8];
    if (!ParseArgDword(argv[3], 10, STRESS_MAX_CHILD_SLOTS - 1, &a->slot) ||
        !ParseArgDword(argv[5], 16, 0xFFFFFFFF, &a->uniqueLow) ||
        !ParseArgDword(argv[7], 10, 0xFFFFFFFF, &a->lifeMs) ||
        !ParseArgDword(argv[9], 16, 0xFFFFFFFF, &a->remFrameId) ||
        !ParseArgDword(argv[10], 16, 0xFFFFFFFF, &a->streamCanId))
        return false;
    return !a->netName.empty() && argv[6][1] == L'\0' &&
           (a->mode == ChildMode::Leave || a->mode == ChildMode::Read ||
            a->mode == ChildMode::StallInOpen);
}

namespace {

StressChildSlot *MapSlot(const ChildArgs &a) {
    HANDLE hMapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, a.blockName.c_str());
    if (hMapping == nullptr) return nullptr;
    // The view stays for the child's life; the handle is not needed.
    auto *pBlock =
        (StressBlock *)MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, sizeof(StressBlock));
    CloseHandle(hMapping);
    return pBlock != nullptr ? &pBlock->slots[a.slot] : nullptr;
}

void SetState(StressChildSlot *pSlot, StressChildState state) {
    InterlockedExchange(&pSlot->state, state);
}

int Fail(StressChildSlot *pSlot, StressChildExit code) {
    pSlot->lastError = GetLastError();
    return (int)code;
}

// The open request of the client library, sent by hand so that the
// child can stop between the request and its confirm. The reply queue and
// the wake-up event exist, as the server expects them.
int StallInOpen(const ChildArgs &a, StressChildSlot *pSlot) {
    DWORD high = GetCurrentProcessId();
    RibexOpenFailure failure = {};
    MsgQHandle hServerQueue = ConnectRibexServer(a.serverQueue.c_str(), nullptr, &failure);
    if (hServerQueue == nullptr) return Fail(pSlot, CHILD_EXIT_OPEN_FAILED);
    MsgQHandle hReply = CreateMsgQ(a.netName.c_str(), high, a.uniqueLow, RIBEX_IF_OPEN_CFM_SIZE);
    wchar_t *pEventName = CreateUniqueName(a.netName.c_str(), high, a.uniqueLow, L"EVT");
    HANDLE hEvent =
        pEventName != nullptr ? CreateEventW(nullptr, FALSE, FALSE, pEventName) : nullptr;
    if (hReply == nullptr || hEvent == nullptr) return Fail(pSlot, CHILD_EXIT_OPEN_FAILED);

    canIfOpenReqMsg request = {};
    request.id = RIBEX_REQ_IF_OPEN;
    request.majorVersion = RIBEX_CLIENT_MAJOR_VERSION;
    request.uniqueId.high = high;
    request.uniqueId.low = a.uniqueLow;
    wcsncpy(request.netName, a.netName.c_str(), RIBEX_NET_NAME_MAX - 1);
    if (!MsgQSend(hServerQueue, &request, sizeof(request), 10000))
        return Fail(pSlot, CHILD_EXIT_OPEN_FAILED);
    SetState(pSlot, CHILD_OPEN_SENT);
    Sleep(INFINITE);
    return 0;
}

void CountFrames(const ChildArgs &a, StressChildSlot *pSlot, SeqTrack *pTrack,
                 const RibexFrame *frames, DWORD noFrames, DWORD lostFrames) {
    uint64_t lostBefore = pTrack->lost, duplicatedBefore = pTrack->duplicated;
    uint64_t seenBefore = pTrack->seen;
    for (DWORD i = 0; i < noFrames; ++i) {
        uint32_t seq;
        if (frames[i].errorCode == 0 && ReadStressFrame(frames[i].msg, a.streamCanId, &seq))
            SeqTrackFrame(pTrack, seq);
    }
    InterlockedAdd64(&pSlot->frames, (LONG64)(pTrack->seen - seenBefore));
    InterlockedAdd64(&pSlot->lost, (LONG64)(pTrack->lost - lostBefore));
    InterlockedAdd64(&pSlot->duplicated, (LONG64)(pTrack->duplicated - duplicatedBefore));
    (void)lostFrames;  // overwritten entries show up as gaps in the numbers
}

// A server that dies while it holds our open request never answers it:
// the open times out, and a new server (the library starts one) takes
// the next try.
BOOL OpenNet(const ChildArgs &a, RibexClientNet **ppNet) {
    RibexClientOptions options = {};
    options.serverQueueName = a.serverQueue.c_str();
    options.haveUniqueId = TRUE;
    options.uniqueIdHigh = GetCurrentProcessId();
    options.uniqueIdLow = a.uniqueLow;
    for (DWORD attempt = 1;; ++attempt) {
        if (RibexOpenNet(a.netName.c_str(), &options, ppNet)) return TRUE;
        DWORD errorCode = GetLastError();
        if (attempt == OPEN_TRIES ||
            (errorCode != ERROR_TIMEOUT && errorCode != RIBEX_ERROR_SERVER_GONE))
            return FALSE;
    }
}

// The server died and a new one serves the net: the numbers start again
// from the next frame, the gap is not this child's loss.
bool ServerSign(DWORD errorCode, SeqTrack *pTrack) {
    if (errorCode != RIBEX_ERROR_SERVER_GONE && errorCode != RIBEX_ERROR_NET_REOPENED)
        return false;
    if (errorCode == RIBEX_ERROR_NET_REOPENED) pTrack->started = false;
    return true;
}

int ReadAndLeave(const ChildArgs &a, StressChildSlot *pSlot) {
    SetState(pSlot, CHILD_OPENING);
    RibexClientNet *pNet = nullptr;
    if (!OpenNet(a, &pNet)) return Fail(pSlot, CHILD_EXIT_OPEN_FAILED);
    SetState(pSlot, CHILD_JOINED);
    // Refusals (another client holds the identifier) do not matter here;
    // the reply only has to be there when the child dies.
    if (a.remFrameId != 0) RibexEnableRemFrame(pNet, a.remFrameId, 8);

    static RibexFrame frames[READ_BATCH];
    SeqTrack track;
    DWORD start = GetTickCount();
    while (a.mode == ChildMode::Read || GetTickCount() - start < a.lifeMs) {
        DWORD noFrames = 0, lostFrames = 0;
        if (!RibexReadFrames(pNet, frames, READ_BATCH, &noFrames, &lostFrames, 50)) {
            if (ServerSign(GetLastError(), &track)) continue;
            return Fail(pSlot, CHILD_EXIT_READ_FAILED);
        }
        CountFrames(a, pSlot, &track, frames, noFrames, lostFrames);
    }
    SetState(pSlot, CHILD_CLOSING);
    if (!RibexCloseNet(pNet)) return Fail(pSlot, CHILD_EXIT_CLOSE_FAILED);
    SetState(pSlot, CHILD_CLOSED);
    return CHILD_EXIT_CLEAN;
}

}  // namespace

std::wstring BuildChildCommandLine(const ChildArgs &a) {
    wchar_t numbers[128];
    _snwprintf(numbers, 128, L"%lu \"%ls\" %lx %lc %lu", (unsigned long)a.slot, a.netName.c_str(),
               (unsigned long)a.uniqueLow, (wint_t)a.mode, (unsigned long)a.lifeMs);
    numbers[127] = L'\0';
    wchar_t tail[32];
    _snwprintf(tail, 32, L" %lx %lx", (unsigned long)a.remFrameId, (unsigned long)a.streamCanId);
    tail[31] = L'\0';
    return std::wstring(STRESS_CHILD_ROLE) + L" \"" + a.blockName + L"\" " + numbers + L" \"" +
           a.serverQueue + L"\"" + tail;
}

int RunChildRole(int argc, wchar_t **argv) {
    ChildArgs a;
    if (!ParseChildArgs(argc, argv, &a)) return CHILD_EXIT_BAD_ARGS;
    StressChildSlot *pSlot = MapSlot(a);
    if (pSlot == nullptr) return CHILD_EXIT_NO_BLOCK;
    if (a.mode == ChildMode::StallInOpen) return StallInOpen(a, pSlot);
    return ReadAndLeave(a, pSlot);
}
