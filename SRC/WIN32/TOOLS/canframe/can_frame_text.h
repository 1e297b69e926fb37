// The one text form of a CAN frame that every tool reads and writes, the
// candump log line:
//
//     (1436509052.249713) can0 123#DEADBEEF
//
// and its frame part alone, as cansend takes it:
//
//     123#DEADBEEF     standard identifier (3 hex digits, up to 7FF), 4 data bytes
//     123#             no data
//     123#DE.AD.BE.EF  dots between bytes are allowed on input
//     123#R            remote frame (can.id bit 31 set), length 0
//     123#R4           remote frame asking for 4 bytes
//     1F334455#1122    extended identifier: exactly 8 hex digits, up to 1FFFFFFF
//
// A log line may end in the direction python-can writes (" R" received,
// " T" sent), and may hold a Linux CAN error frame: 8 digits with the
// error flag 20000000 and 8 data bytes (see can_error_frame.h).
//
// RxMsg carries no flag for extended identifiers, so the printer writes 8
// digits for identifiers above 7FF and 3 digits otherwise. Time stamps are
// RxMsg's 100 ns units; the log line shows seconds and microseconds (the
// last 100 ns digit is not printed; seven fraction digits are accepted on
// input).
//
// Plain C, no allocation, no global state: safe from any thread.
#pragma once

#include <stddef.h>

#include "can_error_frame.h"
#include "rx_buffer_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

// Room for the longest frame text ("12345678#0011223344556677") and NUL.
#define CAN_FRAME_TEXT_MAX 27u
// Room for a log line with a 64-bit time stamp and a 16-character name.
#define CAN_LOG_LINE_MAX 72u
// Longest interface name kept from a log line, NUL excluded.
#define CAN_LOG_IFACE_MAX 16u

#define CAN_STANDARD_ID_MAX 0x7FFu
#define CAN_EXTENDED_ID_MAX 0x1FFFFFFFu
// Room for "seconds.micros" of any 64-bit time stamp and its NUL.
#define CAN_STAMP_TEXT_MAX 28u

// The one rule for an identifier without a flag of its own (RxMsg has
// none): above 7FF it is extended. Bit 31, the remote mark, is no part of
// the identifier.
static inline int CanIdIsExtended(uint32_t id)
{
    return (id & ~RX_REMOTE_FRAME_FLAG) > CAN_STANDARD_ID_MAX;
}

// A time stamp of 100 ns units as the log line shows it, "seconds.micros"
// with six fraction digits (the last 100 ns digit is dropped), NUL-
// terminated. Returns the characters written without the NUL, 0 when
// size is too small.
size_t CanStampFormat(uint64_t stamp, char *buffer, size_t size);

// Parses the frame part ("123#DEADBEEF"); leading and trailing blanks are
// ignored. Fills msg->length and msg->can (unused data bytes zero) and
// leaves msg->timeStamp alone. Returns 1, or 0 with *error (if error is
// not null) pointing at a static text that says what was wrong.
int CanFrameParse(const char *text, RxMsg *msg, const char **error);

// Writes the frame part, upper-case hex, NUL-terminated. Returns the number
// of characters written without the NUL, or 0 when the frame cannot be
// printed (length above 8, identifier above 1FFFFFFF) or does not fit.
size_t CanFrameFormat(const RxMsg *msg, char *buffer, size_t size);

// One line of a candump log: a frame or an error frame.
typedef struct CanLogEntry {
    RxMsg msg;           // the frame; for an error frame can.id holds CAN_ERR_FLAG
                         // and the class bits, can.data the 8 bytes as written
    uint32_t isError;    // 1: an error frame
    uint32_t errorCode;  // error frame: the Windows error code it keeps, 0 if none
    char direction;      // 'R', 'T', or 0 when the line has no direction
} CanLogEntry;

// Parses "(seconds.fraction) interface frame [R|T]"; a line end is allowed.
// Fills entry and, when iface is not null, copies the interface name into
// it (ifaceSize bytes, NUL included; a name that does not fit is an
// error). Returns 1, or 0 with *error set and entry left alone.
int CanLogEntryParse(const char *line, CanLogEntry *entry, char *iface, size_t ifaceSize,
                     const char **error);

// As CanLogEntryParse, for a line that must hold a frame: an error frame is
// refused. Fills msg (time stamp included).
int CanLogLineParse(const char *line, RxMsg *msg, char *iface, size_t ifaceSize, const char **error);

// Writes "(seconds.micros) iface frame" without a line end. Returns the
// number of characters written without the NUL, or 0 as CanFrameFormat.
size_t CanLogLineFormat(const RxMsg *msg, const char *iface, char *buffer, size_t size);

// Writes the error frame of a receive-buffer error entry as a log line,
// "(seconds.micros) iface 20000084#...", without a line end.
size_t CanErrorLogLineFormat(uint64_t timeStamp, uint32_t errorCode, const char *iface,
                             char *buffer, size_t size);

#ifdef __cplusplus
}
#endif
