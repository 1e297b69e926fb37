// One frame from a simulated CAN peer: a 32-byte message on the queue
// named after the net.
#pragma once

#include "rx_buffer_layout.h"

#define SIM_CAN_MSG_SIZE 32u

typedef struct SimCanMsg {
    uint32_t uniqueIdHigh;  // the id the peer attaches to its frames
    uint32_t uniqueIdLow;
    RxMsg frame;  // timeStamp ignored: the server stamps on arrival
} SimCanMsg;

RIBEX_STATIC_ASSERT(sizeof(SimCanMsg) == SIM_CAN_MSG_SIZE, "SimCanMsg is 32 bytes");
RIBEX_STATIC_ASSERT(offsetof(SimCanMsg, uniqueIdLow) == 4, "unique id low at 4");
RIBEX_STATIC_ASSERT(offsetof(SimCanMsg, frame) == 8, "frame at 8");
