// Stress frames and the sequence-number check of every reader.
#include "stress_shared.h"

#include <string.h>

RxMsg MakeStressFrame(uint32_t canId, uint32_t seq) {
    RxMsg msg;
    memset(&msg, 0, sizeof(msg));
    msg.length = 8;
    msg.can.id = canId;
    for (int i = 0; i < 4; ++i) {
        msg.can.data[i] = (uint8_t)(seq >> (8 * i));
        msg.can.data[4 + i] = (uint8_t)(STRESS_FRAME_MAGIC >> (8 * i));
    }
    return msg;
}

static uint32_t LittleEndian32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

BOOL ReadStressFrame(const RxMsg &msg, uint32_t canId, uint32_t *pSeq) {
    if (msg.can.id != canId || msg.length != 8) return FALSE;
    if (LittleEndian32(msg.can.data + 4) != STRESS_FRAME_MAGIC) return FALSE;
    *pSeq = LittleEndian32(msg.can.data);
    return TRUE;
}

void SeqTrackExpectFromZero(SeqTrack *pTrack) {
    pTrack->started = true;
    pTrack->next = 0;
}

void SeqTrackFrame(SeqTrack *pTrack, uint32_t seq) {
    if (!pTrack->started) {
        pTrack->started = true;
        pTrack->next = seq;
    }
    // Unsigned distance: a number behind the expected one is a repeat.
    uint32_t ahead = seq - pTrack->next;
    if (ahead >= 0x80000000u) {
        ++pTrack->duplicated;
        return;
    }
    pTrack->lost += ahead;
    pTrack->next = seq + 1;
    ++pTrack->seen;
}

void SeqTrackFinish(SeqTrack *pTrack, uint32_t totalSent) {
    if (!pTrack->started) SeqTrackExpectFromZero(pTrack);
    uint32_t missing = totalSent - pTrack->next;
    if (missing < 0x80000000u) pTrack->lost += missing;
    pTrack->next = totalSent;
}
