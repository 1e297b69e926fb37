// The shared receive buffer of a net: a 10304-byte named mapping (net name
// + sixteen "0" + "FMO") that the server writes and every client of the
// net reads without a lock. Also the frame record RxMsg, which is the
// record format of device reads and the frame part of a simulated message.
//
// Readers: slots from their own position up to (not including) head are
// published. pSeqNo[i] holds the lap number 1..255 of slot i; a slot is
// re-marked with the next lap before it is overwritten, so a reader that
// sees another lap number than it expects has been lapped.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ribex_static_assert.h"

#define RX_BUFFER_NO_ENTRIES 256u
#define RX_BUFFER_SIZE 10304u
#define RX_REMOTE_FRAME_FLAG 0x80000000u

// The error code of the entry that says a net's device is back after it
// went away (ERROR_BUS_RESET, "The I/O bus was reset."): the receive
// thread has opened it again and reads on; frames sent on the bus while it
// was away are lost. The entry before it carries the read error with which
// the device went (e.g. ERROR_DEVICE_REMOVED, 1617).
#define RX_ERROR_DEVICE_BACK 1111u

typedef struct RxCan {
    uint32_t id;  // bit 31 set: remote frame
    uint8_t data[8];
} RxCan;

typedef struct RxMsg {
    uint64_t timeStamp;  // 100 ns units
    uint32_t length;     // valid bytes in can.data, at most 8
    RxCan can;
} RxMsg;

typedef struct RxUniqueId {
    uint32_t high;
    uint32_t low;
} RxUniqueId;

typedef struct RxBuffer {
    uint32_t noRxMsgs;   // simulated frames stored
    uint32_t noRxBytes;  // their summed lengths
    uint32_t noRxMsgs2;
    uint32_t noRxBytes2;
    uint32_t reserved[5];
    uint32_t currSeqNo;      // lap number being written, 1..255
    volatile uint32_t head;  // next slot to be written
    uint32_t noEntries;
    uint32_t seqNoOffset;
    uint32_t errorCodeOffset;
    uint32_t msgOffset;
    uint32_t simCanUniqueIdOffset;
} RxBuffer;

// The whole mapping as the creation values lay it out.
typedef struct RxBufferLayout {
    RxBuffer header;
    uint32_t seqNo[RX_BUFFER_NO_ENTRIES];
    uint32_t errorCode[RX_BUFFER_NO_ENTRIES];
    RxMsg msg[RX_BUFFER_NO_ENTRIES];
    RxUniqueId simCanUniqueId[RX_BUFFER_NO_ENTRIES];
} RxBufferLayout;

RIBEX_STATIC_ASSERT(sizeof(RxCan) == 12, "RxCan is 12 bytes");
RIBEX_STATIC_ASSERT(offsetof(RxCan, data) == 4, "RxCan.data at 4");
RIBEX_STATIC_ASSERT(sizeof(RxMsg) == 24, "RxMsg is 24 bytes");
RIBEX_STATIC_ASSERT(offsetof(RxMsg, timeStamp) == 0, "RxMsg.timeStamp at 0");
RIBEX_STATIC_ASSERT(offsetof(RxMsg, length) == 8, "RxMsg.length at 8");
RIBEX_STATIC_ASSERT(offsetof(RxMsg, can) == 12, "RxMsg.can.id at 12");
RIBEX_STATIC_ASSERT(offsetof(RxMsg, can) + offsetof(RxCan, data) == 16, "RxMsg.can.data at 16");
RIBEX_STATIC_ASSERT(sizeof(RxUniqueId) == 8, "RxUniqueId is 8 bytes");
RIBEX_STATIC_ASSERT(sizeof(RxBuffer) == 64, "RxBuffer header is 64 bytes");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, noRxBytes) == 4, "noRxBytes at 4");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, noRxMsgs2) == 8, "noRxMsgs2 at 8");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, noRxBytes2) == 12, "noRxBytes2 at 12");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, reserved) == 16, "reserved at 16");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, currSeqNo) == 36, "currSeqNo at 36");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, head) == 40, "head at 40");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, noEntries) == 44, "noEntries at 44");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, seqNoOffset) == 48, "seqNoOffset at 48");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, errorCodeOffset) == 52, "errorCodeOffset at 52");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, msgOffset) == 56, "msgOffset at 56");
RIBEX_STATIC_ASSERT(offsetof(RxBuffer, simCanUniqueIdOffset) == 60, "simCanUniqueIdOffset at 60");
RIBEX_STATIC_ASSERT(offsetof(RxBufferLayout, seqNo) == 64, "pSeqNo at 64");
RIBEX_STATIC_ASSERT(offsetof(RxBufferLayout, errorCode) == 1088, "pErrorCode at 1088");
RIBEX_STATIC_ASSERT(offsetof(RxBufferLayout, msg) == 2112, "pMsg at 2112");
RIBEX_STATIC_ASSERT(offsetof(RxBufferLayout, simCanUniqueId) == 8256, "pSimCanUniqueId at 8256");
RIBEX_STATIC_ASSERT(sizeof(RxBufferLayout) == RX_BUFFER_SIZE, "receive buffer is 10304 bytes");
