// Error entries of a receive buffer written as Linux CAN error frames, the
// form that can-utils and python-can know:
//
//     (1436509052.249713) CAN1 20000084#000100000000045D
//
// Identifier: CAN_ERR_FLAG and the error class. Every entry carries
// CAN_ERR_BUSERROR, because python-can 4.1 takes a log line for an error
// frame only when that bit is set (and writes every error frame with it);
// CAN_ERR_CRTL adds what the controller side reports in data[1]:
// CAN_ERR_CRTL_RX_OVERFLOW for the driver's overflow (1117, the driver's
// queue was full and frames were lost before they reached the ring),
// CAN_ERR_CRTL_UNSPEC for any other read error.
//
// The Windows error code is kept, nothing lost, in bytes that the error-frame
// layout gives a meaning only under class bits these frames never set:
// data[2..3] (protocol violation, CAN_ERR_PROT) hold its high 16 bits and
// data[6..7] (error counters, CAN_ERR_CNT) its low 16 bits, each most
// significant byte first, so a code below 10000 hex reads as the last four
// digits of the line. data[0] (arbitration, CAN_ERR_LOSTARB), data[4]
// (transceiver, CAN_ERR_TRX) and data[5] (reserved) are 0.
#pragma once

#include <stdint.h>

#include "rx_buffer_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CAN_ERR_FLAG 0x20000000u
#define CAN_ERR_CRTL 0x00000004u
#define CAN_ERR_BUSERROR 0x00000080u
#define CAN_ERR_DLC 8u
#define CAN_ERR_CRTL_UNSPEC 0x00u
#define CAN_ERR_CRTL_RX_OVERFLOW 0x01u

// ERROR_IO_DEVICE: what a driver read reports after its queue overflowed.
#define CAN_DRIVER_OVERFLOW_ERROR 1117u

// Fills frame->can and frame->length with the error frame of errorCode;
// the time stamp is left alone.
void CanErrorFrameEncode(uint32_t errorCode, RxMsg *frame);

// The Windows error code an error frame keeps (0: none, e.g. a frame
// written by another tool).
uint32_t CanErrorFrameCode(const RxMsg *frame);

// What an error code means, in a few words, for the screen.
const char *CanErrorCodeText(uint32_t errorCode);

#ifdef __cplusplus
}
#endif
