// What the controller and its client children share: the block of child
// slots (a named mapping the controller creates) and the frames that the
// peers send, which carry a sequence number in their data bytes.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "rx_buffer_layout.h"

#define STRESS_MAX_CHILD_SLOTS 64u
#define STRESS_FRAME_MAGIC 0x54535852u  // "RXST" in data bytes 4..7
#define STRESS_SIM_CAN_ID 0x100u
#define STRESS_DEVICE_CAN_ID 0x200u

// Where a child is in its life; the controller kills on some of these.
enum StressChildState : LONG {
    CHILD_STARTED = 0,
    CHILD_OPENING = 1,    // about to call the library's open
    CHILD_OPEN_SENT = 2,  // its own open request is on the server queue
    CHILD_JOINED = 3,     // open confirmed, reading
    CHILD_CLOSING = 4,
    CHILD_CLOSED = 5,
};

// Why a child ended with a non-zero exit code.
enum StressChildExit : DWORD {
    CHILD_EXIT_CLEAN = 0,
    CHILD_EXIT_BAD_ARGS = 20,
    CHILD_EXIT_OPEN_FAILED = 21,
    CHILD_EXIT_READ_FAILED = 22,
    CHILD_EXIT_CLOSE_FAILED = 23,
    CHILD_EXIT_NO_BLOCK = 24,
};

struct StressChildSlot {
    volatile LONG state;     // StressChildState
    DWORD lastError;         // the failure behind a non-zero exit code
    volatile LONG64 frames;  // stress frames read
    volatile LONG64 lost;    // gaps in their sequence numbers
    volatile LONG64 duplicated;
};

struct StressBlock {
    DWORD slotCount;
    DWORD reserved;
    StressChildSlot slots[STRESS_MAX_CHILD_SLOTS];
};

static_assert(offsetof(StressChildSlot, state) == 0, "state at 0");
static_assert(offsetof(StressChildSlot, lastError) == 4, "lastError at 4");
static_assert(offsetof(StressChildSlot, frames) == 8, "frames at 8");
static_assert(offsetof(StressChildSlot, lost) == 16, "lost at 16");
static_assert(offsetof(StressChildSlot, duplicated) == 24, "duplicated at 24");
static_assert(sizeof(StressChildSlot) == 32, "a child slot is 32 bytes");
static_assert(offsetof(StressBlock, slots) == 8, "slots at 8");
static_assert(sizeof(StressBlock) == 8 + 32 * STRESS_MAX_CHILD_SLOTS, "block size");

// A stress frame: canId, length 8, the sequence number in bytes 0..3 and
// the magic in bytes 4..7 (both little-endian).
RxMsg MakeStressFrame(uint32_t canId, uint32_t seq);
// TRUE and *pSeq for a stress frame of canId; FALSE for anything else.
BOOL ReadStressFrame(const RxMsg &msg, uint32_t canId, uint32_t *pSeq);

// Sequence numbers of one stream as one reader sees them. A reader that
// was there before the first frame expects 0 first; one that joined later
// takes its first frame as the start.
struct SeqTrack {
    bool started = false;
    uint32_t next = 0;
    uint64_t seen = 0;
    uint64_t lost = 0;
    uint64_t duplicated = 0;
};

void SeqTrackExpectFromZero(SeqTrack *pTrack);
void SeqTrackFrame(SeqTrack *pTrack, uint32_t seq);
// Frames sent after the last one seen count as lost (the stream's end).
void SeqTrackFinish(SeqTrack *pTrack, uint32_t totalSent);
