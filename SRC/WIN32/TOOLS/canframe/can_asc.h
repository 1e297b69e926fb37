// Vector ASC logs, the subset python-can reads and writes:
//
//     date Thu Dec 10 09:42:13.123 AM 2026
//     base hex  timestamps absolute
//     internal events logged
//     Begin Triggerblock Thu Dec 10 09:42:13.123 AM 2026
//        0.000000 Start of measurement
//        0.001250 1  123             Rx   d 8 01 02 03 04 05 06 07 08
//        0.002500 1  1F334455x       Rx   d 2 11 22
//        0.003750 2  456             Tx   r 4
//        0.005000 1  ErrorFrame
//     End TriggerBlock
//
// Time stamps are seconds from the start of the measurement ("timestamps
// absolute") or from the previous event ("timestamps relative"); "base
// hex" or "base dec" gives the base of identifiers, lengths and data. An
// identifier ending in "x" is extended. Lines that hold none of the above
// (CAN FD frames, statistics, other events) are reported as CAN_ASC_OTHER
// so that a reader can skip and count them. RxMsg carries no extended flag:
// an extended identifier up to 7FF reads back as standard.
//
// Plain C, no allocation, no global state.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "can_frame_text.h"

#ifdef __cplusplus
extern "C" {
#endif

// Room for the longest frame or error event with its line ends.
#define CAN_ASC_LINE_MAX 192u
// Room for the header or the trigger-block start.
#define CAN_ASC_HEADER_MAX 192u

typedef enum CanAscLineKind {
    CAN_ASC_FRAME = 1,  // entry->msg holds the frame
    CAN_ASC_ERROR,      // an ErrorFrame event: entry->isError, no Windows code
    CAN_ASC_HEADER,     // header, trigger block, comment, start of measurement, blank
    CAN_ASC_OTHER       // any other event
} CanAscLineKind;

typedef struct CanAscReader {
    uint32_t base;      // 16 or 10
    uint32_t relative;  // 1: each time stamp counts from the previous event
    uint64_t previous;  // time of the previous event, 100 ns units
} CanAscReader;

// A wall-clock time for the header (as Windows' SYSTEMTIME holds it).
typedef struct CanAscDate {
    int year, month, day;  // month 1..12
    int weekday;           // 0 = Sunday
    int hour, minute, second, millisecond;
} CanAscDate;

// Hex base and absolute time stamps until the header says otherwise.
void CanAscReaderInit(CanAscReader *reader);

// Reads one line. Returns 1 with *kind; for CAN_ASC_FRAME and CAN_ASC_ERROR
// entry is filled (time stamp in 100 ns units from the start). Returns 0
// with *error when a frame line or the base line is malformed.
int CanAscLineParse(CanAscReader *reader, const char *line, CanLogEntry *entry,
                    CanAscLineKind *kind, const char **error);

// The file's first three lines, each with its line end.
size_t CanAscHeaderFormat(const CanAscDate *date, char *buffer, size_t size);
// "Begin Triggerblock DATE" and the start-of-measurement event.
size_t CanAscBeginFormat(const CanAscDate *date, char *buffer, size_t size);
// One received frame on channel (1 or more), offset seconds (100 ns units)
// after the start; "Rx". Returns 0 when the frame cannot be written.
size_t CanAscFrameFormat(uint64_t offset, uint32_t channel, const RxMsg *msg, char *buffer,
                         size_t size);
// The same with the frame's own flags: extended (an "x" also on an
// identifier up to 7FF) and sent ("Tx" instead of "Rx").
size_t CanAscFrameFormatAs(uint64_t offset, uint32_t channel, const RxMsg *msg, int extended,
                           int sent, char *buffer, size_t size);
// An ErrorFrame event and a comment line that keeps the Windows error code.
size_t CanAscErrorFormat(uint64_t offset, uint32_t channel, uint32_t errorCode, char *buffer,
                         size_t size);
// The file's last line.
#define CAN_ASC_END_LINE "End TriggerBlock\n"

#ifdef __cplusplus
}
#endif
