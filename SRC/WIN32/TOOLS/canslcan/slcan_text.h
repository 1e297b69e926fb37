// The serial-line CAN (slcan, LAWICEL) text an adapter speaks: the
// assembly of its byte stream into lines, the parse of one line, the
// transmit command for a frame, and the unwrap of its 60 s time stamps.
//
//     t1238DEADBEEF00112233      standard frame: 3 hex id, length, data
//     T1F3344552AABB             extended frame: 8 hex id
//     r1234  R1F3344550          remote frames asking for 4 and 0 bytes
//     t1230EA5F                  any frame may end in a 4-hex millisecond stamp (0..EA5F)
//     CR alone, z, Z             a command was taken (Z/z after T/t, r/R)
//     V1013, N0042, F00          answers of V, N, F
//     BEL (0x07, no CR)          the last command was refused
//
// RxMsg has no extended flag: identifiers above 7FF go out as T/R, the rest
// as t/r, the way every candump line shows them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "rx_buffer_layout.h"

// Longest line a well-behaved adapter sends is "T" + 8 + 1 + 16 + 4 = 30.
#define SLCAN_LINE_MAX 64u
// Longest transmit command with its CR ("T" + 8 + 1 + 16 + CR).
#define SLCAN_COMMAND_MAX 28u
// Adapter stamps count milliseconds 0 .. 59999.
#define SLCAN_STAMP_WRAP_MS 60000u

enum class SlcanEvent {
    None,      // bytes consumed, no line complete yet
    Line,      // a complete line (without its CR) is in the assembler
    Refused,   // a BEL
    Overlong,  // a line longer than SLCAN_LINE_MAX ended; its text is gone
};

// Turns the byte stream into lines: CR ends one, BEL stands alone, LF and
// NUL between lines are skipped.
struct SlcanAssembler {
    char line[SLCAN_LINE_MAX + 1];
    size_t length;
    bool overlong;
};

void SlcanAssemblerReset(SlcanAssembler *a);
// Consumes bytes from *p up to the first event (or to end) and returns it;
// after Line, a->line holds the NUL-terminated text until the next call.
// *cutLine is set when a BEL cut a partial line short (its text is gone).
SlcanEvent SlcanAssemble(SlcanAssembler *a, const char **p, const char *end, bool *cutLine);
// True while part of a line waits for its CR.
bool SlcanAssemblerPending(const SlcanAssembler *a);

enum class SlcanLineKind {
    Frame,   // msg is filled; hasStamp tells whether stampMs is
    Ok,      // an empty line: the command was taken
    TxOk,    // z or Z
    Answer,  // V..., N..., F... (text in the line)
    Malformed,
};

struct SlcanLine {
    SlcanLineKind kind;
    RxMsg msg;
    bool hasStamp;
    uint32_t stampMs;
};

// Parses one line (no CR). Hex digits of either case are taken; anything
// else that is not exactly one of the shapes above is Malformed. A stamp of
// 60000 or more is not a stamp: the frame stays, hasStamp is false.
SlcanLine SlcanParseLine(const char *text);

// Writes the transmit command for msg with its CR and a NUL; returns its
// length, or 0 when msg cannot be sent (length above 8, id above 1FFFFFFF).
size_t SlcanFormatCommand(const RxMsg *msg, char *buffer, size_t size);

// Unwraps adapter stamps into a running millisecond count. The host time
// between two stamps tells how many whole wraps a quiet bus hid.
struct SlcanClock {
    bool started;
    uint32_t lastStampMs;
    uint64_t lastHostMs;
    uint64_t unwrappedMs;
};

void SlcanClockReset(SlcanClock *c);
uint64_t SlcanClockUnwrap(SlcanClock *c, uint32_t stampMs, uint64_t hostMs);
