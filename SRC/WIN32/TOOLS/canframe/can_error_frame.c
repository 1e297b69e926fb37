// Error entries as Linux CAN error frames (see can_error_frame.h).
#include "can_error_frame.h"

#include <string.h>

void CanErrorFrameEncode(uint32_t errorCode, RxMsg *frame)
{
    memset(&frame->can, 0, sizeof(frame->can));
    frame->can.id = CAN_ERR_FLAG | CAN_ERR_BUSERROR | CAN_ERR_CRTL;
    frame->length = CAN_ERR_DLC;
    frame->can.data[1] = (uint8_t)(errorCode == CAN_DRIVER_OVERFLOW_ERROR ? CAN_ERR_CRTL_RX_OVERFLOW
                                                                          : CAN_ERR_CRTL_UNSPEC);
    frame->can.data[2] = (uint8_t)(errorCode >> 24);
    frame->can.data[3] = (uint8_t)(errorCode >> 16);
    frame->can.data[6] = (uint8_t)(errorCode >> 8);
    frame->can.data[7] = (uint8_t)errorCode;
}

uint32_t CanErrorFrameCode(const RxMsg *frame)
{
    if (frame->length < CAN_ERR_DLC) return 0;
    const uint8_t *d = frame->can.data;
    return (uint32_t)d[2] << 24 | (uint32_t)d[3] << 16 | (uint32_t)d[6] << 8 | d[7];
}

const char *CanErrorCodeText(uint32_t errorCode)
{
    switch (errorCode) {
        case 0: return "error frame without a Windows error code";
        case 23: return "the driver reports a CRC error";
        case 995: return "the read was aborted";
        case CAN_DRIVER_OVERFLOW_ERROR:
            return "the driver's queue overflowed: frames were lost before they reached the ring";
        case 1617: return "the device was removed (its driver stopped)";
        default: return "the read of the net failed";
    }
}
