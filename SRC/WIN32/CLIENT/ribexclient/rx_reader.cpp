// Reading the receive buffer without a lock. The writer stores a slot's
// contents, then the lap number (when a lap ended), then the marks of the
// next slots, then head; so a head read with acquire order makes the
// slots before it readable, and a slot whose lap mark is unchanged after
// the copy was not being overwritten during the copy.
#include "rx_reader.h"

#define LAP_COUNT 255u  // lap numbers run 1..255
#define RING_CYCLE (LAP_COUNT * RX_BUFFER_NO_ENTRIES)
#define MAX_RESYNCS_PER_READ 4

static DWORD NextLap(DWORD lap) { return lap == LAP_COUNT ? 1 : lap + 1; }
static DWORD PrevLap(DWORD lap) { return lap == 1 ? LAP_COUNT : lap - 1; }

// Position in the whole cycle of 255 laps of 256 slots.
static DWORD CyclePosition(DWORD pos, DWORD lap) { return (lap - 1) * RX_BUFFER_NO_ENTRIES + pos; }

static DWORD LoadAcquire(const volatile uint32_t *pValue) {
    return __atomic_load_n(pValue, __ATOMIC_ACQUIRE);
}

static BOOL HeaderIsSane(const RxBufferLayout *pBuffer) {
    const RxBuffer *pHeader = &pBuffer->header;
    return pHeader->noEntries == RX_BUFFER_NO_ENTRIES &&
           pHeader->seqNoOffset == offsetof(RxBufferLayout, seqNo) &&
           pHeader->errorCodeOffset == offsetof(RxBufferLayout, errorCode) &&
           pHeader->msgOffset == offsetof(RxBufferLayout, msg) &&
           pHeader->simCanUniqueIdOffset == offsetof(RxBufferLayout, simCanUniqueId);
}

// head and the lap number that slot head belongs to, as one consistent
// pair: the writer stores the lap number before head, so a lap number that
// reads the same before and after head belongs to that head.
static BOOL ReadWriterPosition(const RxBufferLayout *pBuffer, DWORD *pHead, DWORD *pLap) {
    for (;;) {
        DWORD lapBefore = LoadAcquire(&pBuffer->header.currSeqNo);
        DWORD head = LoadAcquire(&pBuffer->header.head);
        DWORD lapAfter = LoadAcquire(&pBuffer->header.currSeqNo);
        if (lapBefore != lapAfter) continue;
        if (head >= RX_BUFFER_NO_ENTRIES || lapAfter == 0 || lapAfter > LAP_COUNT) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        *pHead = head;
        *pLap = lapAfter;
        return TRUE;
    }
}

BOOL RxReaderStart(RxReader *pReader, const RxBufferLayout *pBuffer) {
    if (pReader == NULL || pBuffer == NULL || !HeaderIsSane(pBuffer)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (!ReadWriterPosition(pBuffer, &pReader->pos, &pReader->lap)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// After being lapped: continue at the oldest slot that still holds an
// unread frame of the previous lap (slots marked ahead of head already
// carry the new lap and may be in the writer's hands), or at head when
// there is none. *pSkipped gets the number of frames passed over.
static BOOL Resync(RxReader *pReader, const RxBufferLayout *pBuffer, DWORD *pSkipped) {
    DWORD head, lap;
    if (!ReadWriterPosition(pBuffer, &head, &lap)) return FALSE;
    DWORD newPos = head, newLap = lap;
    for (DWORD k = 0; k < RX_BUFFER_NO_ENTRIES; ++k) {
        DWORD slot = (head + k) % RX_BUFFER_NO_ENTRIES;
        DWORD slotLap = slot >= head ? PrevLap(lap) : lap;
        if (LoadAcquire(&pBuffer->seqNo[slot]) == slotLap) {
            newPos = slot;
            newLap = slotLap;
            break;
        }
    }
    DWORD from = CyclePosition(pReader->pos, pReader->lap);
    DWORD to = CyclePosition(newPos, newLap);
    pReader->pos = newPos;
    pReader->lap = newLap;
    *pSkipped = (to + RING_CYCLE - from) % RING_CYCLE;
    return TRUE;
}

BOOL RxReaderRead(RxReader *pReader, const RxBufferLayout *pBuffer, RibexFrame *frames,
                  DWORD maxFrames, DWORD *pNoFrames, DWORD *pLostFrames) {
    if (pNoFrames != NULL) *pNoFrames = 0;
    if (pLostFrames != NULL) *pLostFrames = 0;
    if (pReader == NULL || pBuffer == NULL || (frames == NULL && maxFrames != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD noFrames = 0, lostFrames = 0;
    for (int resyncs = 0;; ++resyncs) {
        DWORD head, writerLap;
        if (!ReadWriterPosition(pBuffer, &head, &writerLap)) return FALSE;
        BOOL lapped = FALSE;
        while (noFrames < maxFrames && pReader->pos != head) {
            DWORD pos = pReader->pos;
            if (LoadAcquire(&pBuffer->seqNo[pos]) != pReader->lap) {
                lapped = TRUE;
                break;
            }
            RibexFrame *pFrame = &frames[noFrames];
            pFrame->errorCode = pBuffer->errorCode[pos];
            pFrame->msg = pBuffer->msg[pos];
            pFrame->simUniqueId = pBuffer->simCanUniqueId[pos];
            // The copy counts only if the slot was not re-marked meanwhile.
            __atomic_thread_fence(__ATOMIC_ACQUIRE);
            if (LoadAcquire(&pBuffer->seqNo[pos]) != pReader->lap) {
                lapped = TRUE;
                break;
            }
            ++noFrames;
            if (++pReader->pos == RX_BUFFER_NO_ENTRIES) {
                pReader->pos = 0;
                pReader->lap = NextLap(pReader->lap);
            }
        }
        if (!lapped) break;
        if (resyncs == MAX_RESYNCS_PER_READ) {
            // A writer this far ahead: start over at its head.
            DWORD from = CyclePosition(pReader->pos, pReader->lap);
            pReader->pos = head;
            pReader->lap = writerLap;
            lostFrames += (CyclePosition(head, writerLap) + RING_CYCLE - from) % RING_CYCLE;
            break;
        }
        DWORD skipped = 0;
        if (!Resync(pReader, pBuffer, &skipped)) return FALSE;
        lostFrames += skipped;
    }
    if (pNoFrames != NULL) *pNoFrames = noFrames;
    if (pLostFrames != NULL) *pLostFrames = lostFrames;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
