// canjson: one frame of a net as one line of JSON Lines, the schema every
// tool that prints JSON shares (docs/json.md):
//
//   {"t":12.5,"net":"CAN1","id":217056256,"ext":true,"rtr":false,"dlc":8,
//    "data":"FF7D7D2C0BFFFFFF","msg":"EEC1","signals":{"EngineSpeed":1413.5},
//    "labels":{},"error":null}
//
// An error entry of a receive buffer is the Linux CAN error frame candump
// prints for it (id with the error flag, ext true, its 8 data bytes), and
// "error" holds {"code": Windows error code, "text": what it means}; an
// error frame read from another tool's log has {"code": null, ...}.
// Signal values that are not finite numbers are written as null.
//
// The line is built in a caller's std::string, so a tool reuses one buffer
// for every frame.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>

#include "candb.h"
#include "rx_buffer_layout.h"

struct CanJsonFrame {
    double t;             // seconds on the net's clock
    const char *net;      // UTF-8
    uint32_t id;          // without flags
    bool ext;             // extended identifier
    bool rtr;             // remote frame: no data, dlc is the length asked for
    unsigned dlc;         // 0..8
    const uint8_t *data;  // dlc bytes (may be NULL for a remote frame)
    uint32_t errorCode;   // non-zero: an error entry, the fields above are ignored
    bool errorFrame;      // an error frame of a log that keeps no Windows code: written with
                          // the id (error flag and classes) and data given, "error" code null
};

// The fields of a receive-buffer record: extended for identifiers above 7FF
// (the record has no flag of its own), remote by bit 31. stamp is in 100 ns
// units. errorCode non-zero: an error entry. data points into *msg.
void CanJsonFrameFromRxMsg(const RxMsg *msg, uint32_t errorCode, unsigned long long stamp,
                           const char *net, CanJsonFrame *frame);

// Writes the object line (no line end) into *line, replacing what was there.
// decoded and values (values[i] for decoded->signals[i], as CanDbDecode
// fills them) may be NULL: "msg" is then null and "signals" and "labels" are
// empty. FALSE with ERROR_INVALID_PARAMETER when frame or line is NULL or
// dlc is above 8.
BOOL CanJsonFormatLine(const CanJsonFrame *frame, const CanDbMessage *decoded, const CanDbValue *values,
                       std::string *line);
