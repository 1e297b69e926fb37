// Sending and receiving: the hot path of the library, included by msgq.cpp
// alone.
//
// Kernel calls per operation, when nothing went wrong: a send waits for the
// mutex and a free slot and releases the message count and the mutex; a
// receive waits for the message count and releases the free slot. Nothing
// else on these paths enters the kernel, allocates or takes a lock.
//
// Caller memory (the message, the buffer, the received-length destination)
// is touched only under the fault guard: a bad pointer fails the call with
// ERROR_INVALID_PARAMETER and leaves the queue as it was, mutex released and
// counts intact.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "fault_guard.h"
#include "msgq.h"
#include "msgq_block.h"
#include "msgq_handles.h"
#include "msgq_record.h"

#ifdef MSGQ_TEST_HOOKS
#include "msgq_testhooks.h"
#define MSGQ_TEST_POINT(point) MsgQRunTestHook(point)
#else
#define MSGQ_TEST_POINT(point) ((void)0)
#endif

namespace {

// Sizes of a queue as its block states them now, checked against the memory
// we hold, so that a block a peer scribbled on cannot send us past its end.
struct MsgQRing {
    MsgQBlock *block;
    DWORD maxMsgs;   // M
    DWORD slotSize;  // S
    DWORD ringSize;  // R = (M + 1) * S
};

BOOL MsgQReadRing(const MsgQHandleRecord *record, MsgQRing *ring) {
    MsgQBlock *block = record->pShared;
    if (!block) return FALSE;
    DWORD maxMsgs = block->maxMsgs, slotSize = block->msgSlotSize;
    if (maxMsgs == 0 || slotSize < 8 || slotSize % 8 != 0) return FALSE;
    uint64_t blockSize = MsgQBlockSizeFor(maxMsgs, slotSize);
    if (blockSize > record->viewSize) return FALSE;
    ring->block = block;
    ring->maxMsgs = maxMsgs;
    ring->slotSize = slotSize;
    ring->ringSize = (DWORD)(blockSize - MSGQ_BLOCK_HEADER_SIZE);
    return TRUE;
}

BOOL MsgQOffsetInRing(const MsgQRing &ring, DWORD offset) {
    return offset < ring.ringSize && offset % ring.slotSize == 0;
}

volatile LONG *MsgQReadOffsetWord(const MsgQRing &ring) {
    return reinterpret_cast<volatile LONG *>(&ring.block->readOffset);
}

// readOffset with R (or anything past it, left by a peer's failed claim)
// read as 0.
DWORD MsgQCurrentReadOffset(const MsgQRing &ring) {
    DWORD r = ring.block->readOffset;
    return r >= ring.ringSize ? 0 : r;
}

BOOL MsgQFail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

void MsgQShowRecoveryMessage(DWORD error) {
    wchar_t title[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(nullptr, title, MAX_PATH);
    title[length < MAX_PATH ? length : MAX_PATH] = L'\0';
    wchar_t text[260];
    swprintf(text, 260,
             L"Failed to recover message queue.Avoid using TerminateProcess/TerminateThread."
             L"(ReleaseSemaphore returned %lu).",
             error);
    text[259] = L'\0';
    MessageBoxW(nullptr, text, title, MB_ICONERROR | MB_OK);
}

// The previous mutex owner died inside a send: it may have taken a free
// slot it never filled. Sets the free count to M minus the queued messages.
DWORD MsgQRepairSender(const MsgQHandleRecord *record, const MsgQRing &ring) {
    LONG previous = 0;
    DWORD freeCount;
    if (ReleaseSemaphore(record->hFreeSem, 1, &previous)) {
        freeCount = (DWORD)previous + 1;
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_TOO_MANY_POSTS) {
            MsgQShowRecoveryMessage(error);
            return error;
        }
        freeCount = ring.maxMsgs;
    }
    DWORD w = ring.block->writeOffset;
    DWORD r = MsgQCurrentReadOffset(ring);
    if (!MsgQOffsetInRing(ring, w) || r % ring.slotSize != 0) return ERROR_INVALID_PARAMETER;
    DWORD wanted = ring.maxMsgs - MsgQQueuedCount(r, w, ring.maxMsgs, ring.slotSize);
    while (freeCount > wanted) {
        DWORD result = WaitForSingleObject(record->hFreeSem, 0);
        if (result == WAIT_FAILED) return GetLastError();
        // Only senders take free counts, and we hold the mutex: an empty
        // semaphore means the count was lower than it looked.
        if (result != WAIT_OBJECT_0) freeCount = 0;
        else freeCount--;
    }
    if (freeCount < wanted && !ReleaseSemaphore(record->hFreeSem, (LONG)(wanted - freeCount), nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_TOO_MANY_POSTS) return error;
    }
    return ERROR_SUCCESS;
}

// Waits for a free slot and fills it; the caller holds the mutex.
DWORD MsgQPutMessage(const MsgQHandleRecord *record, const MsgQRing &ring, const void *message,
                     DWORD length, DWORD timeout) {
    for (;;) {
        DWORD result = WaitForSingleObject(record->hFreeSem, timeout);
        if (result == WAIT_FAILED) return GetLastError();
        if (result == WAIT_TIMEOUT) return ERROR_TIMEOUT;
        MSGQ_TEST_POINT(MSGQ_POINT_SEND_SLOT_TAKEN);

        DWORD w = ring.block->writeOffset;
        if (!MsgQOffsetInRing(ring, w)) return ERROR_INVALID_PARAMETER;
        DWORD next = w + ring.slotSize == ring.ringSize ? 0 : w + ring.slotSize;
        // M messages queued already: the count we took was one too many (a
        // repair raced a receiver). Filling the slot would make the ring look
        // empty and lose every message in it, so drop the count and wait on.
        if (next == MsgQCurrentReadOffset(ring)) continue;

        BYTE *slot = MsgQSlotAt(ring.block, w);
        if (length && !FaultGuardCopy(slot + MSGQ_SLOT_PAYLOAD_OFFSET, message, length)) {
            // The message cannot be read: the slot stays free, its count
            // goes back.
            ReleaseSemaphore(record->hFreeSem, 1, nullptr);
            return ERROR_INVALID_PARAMETER;
        }
        reinterpret_cast<MsgQSlotHeader *>(slot)->length = length;
        // The slot must be complete before a receiver can see it queued.
        std::atomic_thread_fence(std::memory_order_release);
        ring.block->writeOffset = next;
        MSGQ_TEST_POINT(MSGQ_POINT_SEND_WRITTEN);

        // A count at its maximum already covers this message.
        if (!ReleaseSemaphore(record->hMsgSem, 1, nullptr) && GetLastError() != ERROR_TOO_MANY_POSTS)
            return GetLastError();
        return ERROR_SUCCESS;
    }
}

// A receive timed out: a sender may have died after queuing a message but
// before counting it. Sets the message count to the queued messages minus
// one and reports ERROR_SUCCESS when this caller may take one, ERROR_TIMEOUT
// when the ring is empty.
DWORD MsgQRepairReceiver(const MsgQHandleRecord *record, const MsgQRing &ring) {
    DWORD lastW = ring.ringSize, lastR = 0;  // a pair the ring never shows
    DWORD result = ERROR_SUCCESS;
    volatile LONG *readWord = MsgQReadOffsetWord(ring);
    for (;;) {
        DWORD seen = (DWORD)*readWord;
        if (seen >= ring.ringSize) InterlockedCompareExchange(readWord, 0, (LONG)seen);
        DWORD r = (DWORD)*readWord;
        DWORD w = ring.block->writeOffset;
        if (w == lastW && r == lastR) break;  // two readings in a row agree
        lastR = r;
        lastW = w;
        if (r >= ring.ringSize) continue;
        if (!MsgQOffsetInRing(ring, w) || r % ring.slotSize != 0) return ERROR_INVALID_PARAMETER;
        DWORD queued = MsgQQueuedCount(r, w, ring.maxMsgs, ring.slotSize);
        if (queued == 0) {
            result = ERROR_TIMEOUT;
            continue;
        }
        result = ERROR_SUCCESS;
        for (;;) {
            DWORD taken = WaitForSingleObject(record->hMsgSem, 0);
            if (taken == WAIT_FAILED) return GetLastError();
            if (taken != WAIT_OBJECT_0) break;
        }
        if (queued > 1 && !ReleaseSemaphore(record->hMsgSem, (LONG)(queued - 1), nullptr) &&
            GetLastError() != ERROR_TOO_MANY_POSTS)
            return GetLastError();
    }
    return result;
}

// Claims the slot at readOffset and moves readOffset one slot on, in one
// compare-exchange, so that concurrent receivers never carry it past R.
// FALSE with ERROR_SUCCESS in *error when the ring is empty (the count we
// took was stale, or another receiver's repair took our message).
BOOL MsgQClaimSlot(const MsgQRing &ring, DWORD *slotOffset, DWORD *error) {
    volatile LONG *readWord = MsgQReadOffsetWord(ring);
    *error = ERROR_SUCCESS;
    for (;;) {
        DWORD seen = (DWORD)*readWord;
        DWORD at = seen >= ring.ringSize ? 0 : seen;
        if (at % ring.slotSize != 0) {
            *error = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        if (at == ring.block->writeOffset) return FALSE;
        MSGQ_TEST_POINT(MSGQ_POINT_RECV_BEFORE_CLAIM);
        if ((DWORD)InterlockedCompareExchange(readWord, (LONG)(at + ring.slotSize), (LONG)seen) == seen) {
            *slotOffset = at;
            return TRUE;
        }
    }
}

// Where a receive puts what it takes: the caller's buffer (as much of it as
// a message can fill) and the received-length destination.
struct MsgQReceiveTargets {
    BYTE *buffer;
    DWORD bytes;
    DWORD *receivedLength;
    const BYTE *payload;  // set for the delivery
};

// Reads and writes back one byte of every page of the targets, so that a
// bad pointer is found before a message is taken.
void MsgQProbeTargets(void *context) {
    const MsgQReceiveTargets *targets = static_cast<const MsgQReceiveTargets *>(context);
    const DWORD pageStride = 4096;
    for (DWORD offset = 0; offset < targets->bytes; offset += pageStride) {
        volatile BYTE *b = targets->buffer + offset;
        *b = *b;
    }
    if (targets->bytes) {
        volatile BYTE *last = targets->buffer + targets->bytes - 1;
        *last = *last;
    }
    volatile DWORD *length = targets->receivedLength;
    *length = *length;
}

void MsgQDeliver(void *context) {
    const MsgQReceiveTargets *targets = static_cast<const MsgQReceiveTargets *>(context);
    if (targets->bytes) memcpy(targets->buffer, targets->payload, targets->bytes);
    *targets->receivedLength = targets->bytes;
}

}  // namespace

extern "C" BOOL MsgQSend(MsgQHandle hMsgQ, const void *message, DWORD length, DWORD timeout) {
    MsgQHandleRecord *record = hMsgQ;
    MsgQRing ring;
    if (!MsgQIsLiveHandle(record) || !MsgQReadRing(record, &ring) || (length && !message))
        return MsgQFail(ERROR_INVALID_PARAMETER);
    if (length > ring.slotSize - MSGQ_SLOT_PAYLOAD_OFFSET) return MsgQFail(ERROR_BAD_LENGTH);

    // The caller's time-out is for a free slot; the mutex is held only for
    // short stretches (or by a sender that waits for a slot itself).
    DWORD locked = WaitForSingleObject(record->hMutex, INFINITE);
    if (locked == WAIT_FAILED) return MsgQFail(GetLastError());
    MSGQ_TEST_POINT(MSGQ_POINT_SEND_LOCKED);

    DWORD error = ERROR_SUCCESS;
    if (locked == WAIT_ABANDONED) error = MsgQRepairSender(record, ring);
    if (error == ERROR_SUCCESS) error = MsgQPutMessage(record, ring, message, length, timeout);
    if (!ReleaseMutex(record->hMutex) && error == ERROR_SUCCESS) error = GetLastError();
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

extern "C" BOOL MsgQReceive(MsgQHandle hMsgQ, void *buffer, DWORD bufferSize, DWORD *receivedLength,
                            DWORD timeout) {
    MsgQHandleRecord *record = hMsgQ;
    MsgQRing ring;
    if (!MsgQIsLiveHandle(record) || !MsgQReadRing(record, &ring) || !receivedLength ||
        (bufferSize && !buffer))
        return MsgQFail(ERROR_INVALID_PARAMETER);
    DWORD payloadRoom = ring.slotSize - MSGQ_SLOT_PAYLOAD_OFFSET;
    MsgQReceiveTargets targets = {static_cast<BYTE *>(buffer),
                                  bufferSize < payloadRoom ? bufferSize : payloadRoom,
                                  receivedLength, nullptr};
    if (!FaultGuardRun(MsgQProbeTargets, &targets)) return MsgQFail(ERROR_INVALID_PARAMETER);

    DWORD slotOffset = 0;
    for (;;) {
        DWORD result = WaitForSingleObject(record->hMsgSem, timeout);
        if (result == WAIT_FAILED) return MsgQFail(GetLastError());
        if (result == WAIT_TIMEOUT) {
            DWORD repaired = MsgQRepairReceiver(record, ring);
            if (repaired != ERROR_SUCCESS) return MsgQFail(repaired);
        }
        DWORD error;
        if (MsgQClaimSlot(ring, &slotOffset, &error)) break;
        if (error != ERROR_SUCCESS) return MsgQFail(error);
        // A stale count: wait again, with the whole time-out.
    }

    const BYTE *slot = MsgQSlotAt(ring.block, slotOffset);
    DWORD length = reinterpret_cast<const MsgQSlotHeader *>(slot)->length;
    // A length beyond the slot can only come from a damaged block; never
    // copy more than the slot holds.
    if (length > ring.slotSize - MSGQ_SLOT_PAYLOAD_OFFSET) length = ring.slotSize - MSGQ_SLOT_PAYLOAD_OFFSET;
    DWORD error = ERROR_SUCCESS;
    if (length > bufferSize) {
        length = bufferSize;
        error = ERROR_BAD_LENGTH;  // the message is consumed all the same
    }
    targets.bytes = length;
    targets.payload = slot + MSGQ_SLOT_PAYLOAD_OFFSET;
    // The message is taken either way; a fault here (the caller's memory
    // went away since the probe) fails the receive, the count still goes back.
    if (!FaultGuardRun(MsgQDeliver, &targets)) error = ERROR_INVALID_PARAMETER;
    MSGQ_TEST_POINT(MSGQ_POINT_RECV_COPIED);

    // Only now may a sender reuse the slot.
    if (!ReleaseSemaphore(record->hFreeSem, 1, nullptr)) {
        DWORD released = GetLastError();
        if (released != ERROR_TOO_MANY_POSTS && error == ERROR_SUCCESS) error = released;
    }
    SetLastError(error);
    return error == ERROR_SUCCESS;
}
