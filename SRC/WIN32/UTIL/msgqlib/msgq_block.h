// The queue block: the one layout every process that uses a queue shares,
// whether it lives in a named file mapping or in a process-local heap block.
// A peer written independently must agree with it byte for byte.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct MsgQBlock {
    DWORD maxMsgs;                // capacity M; maximum of both semaphores
    DWORD msgSlotSize;            // bytes per slot S, a multiple of 8
    volatile DWORD writeOffset;   // next slot to fill; changed only under the sender mutex
    volatile DWORD readOffset;    // next slot to read; atomic changes only; R means 0
    // M + 1 slots of S bytes follow.
};

static_assert(sizeof(MsgQBlock) == 16, "queue block header is 16 bytes");
static_assert(offsetof(MsgQBlock, maxMsgs) == 0, "maxMsgs at 0");
static_assert(offsetof(MsgQBlock, msgSlotSize) == 4, "msgSlotSize at 4");
static_assert(offsetof(MsgQBlock, writeOffset) == 8, "writeOffset at 8");
static_assert(offsetof(MsgQBlock, readOffset) == 12, "readOffset at 12");

// One slot: the message length, then the payload (S - 4 bytes at most).
struct MsgQSlotHeader {
    DWORD length;
};

static_assert(sizeof(MsgQSlotHeader) == 4, "slot length field is 4 bytes");
static_assert(offsetof(MsgQSlotHeader, length) == 0, "slot length at 0");

constexpr DWORD MSGQ_BLOCK_HEADER_SIZE = sizeof(MsgQBlock);
constexpr DWORD MSGQ_SLOT_PAYLOAD_OFFSET = sizeof(MsgQSlotHeader);

// Slot size for a largest message: the length word plus the payload, raised
// to a multiple of 8. Computed in 64 bits so that no size wraps.
inline uint64_t MsgQSlotSizeFor(DWORD maxMessageSize) {
    return ((uint64_t)maxMessageSize + 11) & ~(uint64_t)7;
}

// Bytes of the whole block (header and M + 1 slots), in 64 bits; callers
// refuse anything above 32 bits.
inline uint64_t MsgQBlockSizeFor(DWORD maxMsgs, uint64_t slotSize) {
    return slotSize * ((uint64_t)maxMsgs + 1) + MSGQ_BLOCK_HEADER_SIZE;
}

inline BYTE *MsgQSlotAt(MsgQBlock *block, DWORD offset) {
    return reinterpret_cast<BYTE *>(block) + MSGQ_BLOCK_HEADER_SIZE + offset;
}

// Messages queued between a read offset (R already taken as 0) and a write
// offset, both inside the ring.
inline DWORD MsgQQueuedCount(DWORD readOffset, DWORD writeOffset, DWORD maxMsgs, DWORD slotSize) {
    if (writeOffset >= readOffset) return (writeOffset - readOffset) / slotSize;
    return maxMsgs + 1 - (readOffset - writeOffset) / slotSize;
}
