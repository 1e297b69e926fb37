// A writer of the receive buffer for tests, following the server's rules:
// a slot's contents first, then the lap number when a lap ends, then the
// marks of the next slots, then head. Each frame carries a serial number
// in its time stamp and data, so a reader can tell order, gaps and torn
// copies.
#pragma once

#include <string.h>

#include "rx_buffer_layout.h"

namespace rx_test {

inline void Advance(RxBufferLayout *p, uint32_t n, uint32_t noMsgPerRead) {
    uint32_t head = p->header.head;
    uint32_t newHead = (head + n) % RX_BUFFER_NO_ENTRIES;
    if (newHead < head)
        p->header.currSeqNo = p->header.currSeqNo == RX_BUFFER_NO_ENTRIES - 1 ? 1 : p->header.currSeqNo + 1;
    uint32_t toMark = RX_BUFFER_NO_ENTRIES - newHead;
    if (toMark > noMsgPerRead) toMark = noMsgPerRead;
    for (uint32_t i = newHead; i < newHead + toMark; ++i) {
        __atomic_store_n(&p->seqNo[i], p->header.currSeqNo, __ATOMIC_RELEASE);
        p->errorCode[i] = 0;
    }
    __atomic_store_n(&p->header.head, newHead, __ATOMIC_RELEASE);
}

// The state after creation and after the receive thread's start-up marks.
inline void Init(RxBufferLayout *p, uint32_t noMsgPerRead) {
    memset(p, 0, sizeof(*p));
    p->header.currSeqNo = 1;
    p->header.noEntries = RX_BUFFER_NO_ENTRIES;
    p->header.seqNoOffset = 64;
    p->header.errorCodeOffset = 1088;
    p->header.msgOffset = 2112;
    p->header.simCanUniqueIdOffset = 8256;
    for (uint32_t i = 0; i < noMsgPerRead && i < RX_BUFFER_NO_ENTRIES; ++i) p->seqNo[i] = 1;
}

inline uint8_t DataByte(uint64_t serial, int k) { return (uint8_t)(serial * 7 + k); }

inline void WriteFrame(RxBufferLayout *p, uint64_t serial, uint32_t noMsgPerRead,
                       uint32_t errorCode = 0) {
    uint32_t slot = p->header.head;
    RxMsg *pMsg = &p->msg[slot];
    pMsg->timeStamp = serial;
    pMsg->length = 8;
    pMsg->can.id = (uint32_t)(serial & 0x7FF);
    for (int k = 0; k < 8; ++k) pMsg->can.data[k] = DataByte(serial, k);
    p->errorCode[slot] = errorCode;
    p->simCanUniqueId[slot].high = 0xAB;
    p->simCanUniqueId[slot].low = (uint32_t)serial;
    Advance(p, 1, noMsgPerRead);
}

}  // namespace rx_test
