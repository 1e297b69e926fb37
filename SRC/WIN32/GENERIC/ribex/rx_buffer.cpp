#include "rx_buffer.h"

#include <string.h>

#include "can_driver.h"
#include "ribex_trace_modules.h"

namespace {

// The lap numbers run 1 .. 255: 0 stays reserved for "never written".
constexpr DWORD kLastSeqNo = RX_BUFFER_NO_ENTRIES - 1;

TraceModule *ThreadTrace() { return g_ribexTrace[TM_CAN_READ_THREAD]; }

DWORD CurrentSeqNo(const RxBufferLayout *pRxBuffer) {
    DWORD seqNo = pRxBuffer->header.currSeqNo;
    return (seqNo == 0 || seqNo > kLastSeqNo) ? 1 : seqNo;
}

void TraceSlot(const RxBufferLayout *pRxBuffer, DWORD i) {
    const RxMsg &msg = pRxBuffer->msg[i];
    TracePrint(ThreadTrace(), TRACE_LEVEL_EVENT,
               "ribex::RibexBufferAdvance, \n\tpSimCanUniqueId[%lu] == %#x:%#x \n\tpSeqNo[%lu] == "
               "%lu\n\tpErrorCode[%lu] == %lu\n\tpMsg[%lu].can.id == %#x pMsg[%lu].length == %lu "
               "pMsg[%lu].can.data == %#2x %#2x %#2x %#2x %#2x %#2x %#2x %#2x\n",
               i, pRxBuffer->simCanUniqueId[i].high, pRxBuffer->simCanUniqueId[i].low, i,
               pRxBuffer->seqNo[i], i, pRxBuffer->errorCode[i], i, msg.can.id, i, msg.length, i,
               msg.can.data[0], msg.can.data[1], msg.can.data[2], msg.can.data[3], msg.can.data[4],
               msg.can.data[5], msg.can.data[6], msg.can.data[7]);
}

}  // namespace

// Clients may map the buffer writable; the writer never lets a value
// from the shared header steer it out of the ring.
DWORD RibexBufferHead(const RxBufferLayout *pRxBuffer) {
    return pRxBuffer->header.head % RX_BUFFER_NO_ENTRIES;
}

void RibexBufferInit(RxBufferLayout *pRxBuffer) {
    RxBuffer *h = &pRxBuffer->header;
    memset(h, 0, offsetof(RxBuffer, currSeqNo));
    h->currSeqNo = 1;
    h->head = 0;
    h->noEntries = RX_BUFFER_NO_ENTRIES;
    h->seqNoOffset = offsetof(RxBufferLayout, seqNo);
    h->errorCodeOffset = offsetof(RxBufferLayout, errorCode);
    h->msgOffset = offsetof(RxBufferLayout, msg);
    h->simCanUniqueIdOffset = offsetof(RxBufferLayout, simCanUniqueId);
    pRxBuffer->seqNo[0] = h->currSeqNo;
}

BOOL RibexBufferTakeOver(RxBufferLayout *pRxBuffer) {
    RxBuffer *h = &pRxBuffer->header;
    if (h->noEntries != RX_BUFFER_NO_ENTRIES || h->seqNoOffset != offsetof(RxBufferLayout, seqNo) ||
        h->errorCodeOffset != offsetof(RxBufferLayout, errorCode) ||
        h->msgOffset != offsetof(RxBufferLayout, msg) ||
        h->simCanUniqueIdOffset != offsetof(RxBufferLayout, simCanUniqueId) ||
        h->head >= RX_BUFFER_NO_ENTRIES || h->currSeqNo == 0 || h->currSeqNo > kLastSeqNo)
        return FALSE;
    // The old writer may have died between publishing and marking the
    // next slot: mark it, as every publication does.
    pRxBuffer->seqNo[h->head] = h->currSeqNo;
    return TRUE;
}

void RibexBufferMark(RxBufferLayout *pRxBuffer, DWORD first, DWORD count) {
    DWORD seqNo = CurrentSeqNo(pRxBuffer);
    for (DWORD i = first; i < first + count && i < RX_BUFFER_NO_ENTRIES; i++) {
        pRxBuffer->seqNo[i] = seqNo;
        pRxBuffer->errorCode[i] = 0;
    }
}

void RibexBufferAdvance(RxBufferLayout *pRxBuffer, DWORD n, DWORD NoMsgPerRead,
                        DWORD *pNoMsgToRead) {
    RxBuffer *h = &pRxBuffer->header;
    DWORD head = RibexBufferHead(pRxBuffer);
    TracePrint(ThreadTrace(), TRACE_LEVEL_EVENT,
               "ribex::RibexBufferAdvance, NEW MESSAGES\n\t%s == %lu\n\t%s == %lu\n\t%s == %lu\n",
               "pRxBuffer->currSeqNo", h->currSeqNo, "pRxBuffer->head", h->head,
               "pRxBuffer->noEntries", h->noEntries);
    if (n > RX_BUFFER_NO_ENTRIES - head) n = RX_BUFFER_NO_ENTRIES - head;
    for (DWORD i = head; i < head + n; i++) TraceSlot(pRxBuffer, i);

    DWORD newHead = (head + n) % RX_BUFFER_NO_ENTRIES;
    DWORD seqNo = CurrentSeqNo(pRxBuffer);
    if (newHead < head) {
        seqNo = (seqNo == kLastSeqNo) ? 1 : seqNo + 1;
        h->currSeqNo = seqNo;
    }
    DWORD room = RX_BUFFER_NO_ENTRIES - newHead;
    DWORD noMsgToRead = NoMsgPerRead < room ? NoMsgPerRead : room;
    if (noMsgToRead == 0) noMsgToRead = 1;
    *pNoMsgToRead = noMsgToRead;
    // The next slots carry the new lap before anything overwrites them, so
    // a reader still behind us sees it was lapped rather than reading a
    // half-written slot as old data.
    RibexBufferMark(pRxBuffer, newHead, noMsgToRead);
    // Everything above must be visible to other processes before head.
    __atomic_store_n(&h->head, newHead, __ATOMIC_RELEASE);
}

void SimRibexBufferStore(HANDLE hDevice, RxBufferLayout *pRxBuffer, DWORD slot, const RxCan *can,
                         DWORD length, DWORD uniqueIdHigh, DWORD uniqueIdLow, DWORD errorCode) {
    slot %= RX_BUFFER_NO_ENTRIES;
    RxMsg *msg = &pRxBuffer->msg[slot];
    uint64_t timeStamp = 0;
    if (!CanGetTimeStamp(hDevice, &timeStamp)) {
        DWORD stampError = GetLastError();
        timeStamp = 0;
        if (errorCode == 0) errorCode = stampError;
        TracePrint(ThreadTrace(), TRACE_LEVEL_EVENT,
                   "ribex::SimRibexBufferStore, !CanGetTimeStamp( ... ), errorCode == %lu\n",
                   stampError);
    }
    msg->timeStamp = timeStamp;
    pRxBuffer->errorCode[slot] = errorCode;
    pRxBuffer->simCanUniqueId[slot].high = uniqueIdHigh;
    pRxBuffer->simCanUniqueId[slot].low = uniqueIdLow;
    msg->can = *can;
    msg->length = length;
    TracePrint(ThreadTrace(), TRACE_LEVEL_EVENT,
               "ribex::SimRibexBufferStore \n\tid == %#x\t head == %#x \n", can->id, slot);
    RxBuffer *h = &pRxBuffer->header;
    h->noRxBytes2 += length;
    h->noRxMsgs2 += 1;
    h->noRxBytes += length;
    h->noRxMsgs += 1;
}

void RibexBufferStoreDevice(RxBufferLayout *pRxBuffer, DWORD count, const RxMsg *frames,
                            DWORD errorCode) {
    DWORD head = RibexBufferHead(pRxBuffer);
    if (count > RX_BUFFER_NO_ENTRIES - head) count = RX_BUFFER_NO_ENTRIES - head;
    for (DWORD k = 0; k < count; k++) {
        DWORD i = head + k;
        pRxBuffer->errorCode[i] = errorCode;
        pRxBuffer->simCanUniqueId[i].high = 0;
        pRxBuffer->simCanUniqueId[i].low = 0;
        if (errorCode != 0)
            memset(&pRxBuffer->msg[i], 0, sizeof(RxMsg));
        else if (frames)
            pRxBuffer->msg[i] = frames[k];
    }
}
