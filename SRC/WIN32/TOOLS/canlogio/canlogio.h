// One streaming interface to CAN log files of three formats: candump log
// lines, Vector ASC and Vector BLF. A reader yields one record at a time
// (a frame or an error frame) and counts what it skips; a writer takes one
// record at a time. Memory stays bounded whatever the size of the log.
//
// Time: every record carries nanoseconds on the log's clock. For a log
// that knows its date (a candump log of python-can, an ASC or BLF file
// with a start date) that clock counts from 1970-01-01 UTC; ribex's own
// candump logs count from the machine's performance counter.
//
// Channels: ASC and BLF number them from 1; a candump log names an
// interface. Read from a candump log, "canN" (the Linux name python-can
// writes) is channel N+1 and every other name takes the next free number
// in the order the names first appear; written to a candump log, a record
// without a name is on "canN" for channel N+1.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "can_frame_text.h"

enum class CanLogFormat { Unknown, Candump, Asc, Blf };

// Room for a net name and its NUL: candump logs name nets of up to 51
// characters (candump log lines read by other tools keep to 16).
#define CAN_LOG_RECORD_NAME_MAX 64u

struct CanLogRecord {
    uint64_t timeNs;     // see above
    uint32_t id;         // identifier without flags; error frame: its class bits
    uint32_t length;     // data bytes; remote frame: the length asked for
    uint8_t data[8];
    uint32_t channel;    // 1 or more
    uint32_t errorCode;  // error frame: the Windows error code it keeps, 0 if none
    uint8_t extended;    // 29-bit identifier
    uint8_t remote;
    uint8_t isError;     // an error frame, no CAN frame
    char direction;      // 'R' received, 'T' sent, 0 not known
    char iface[CAN_LOG_RECORD_NAME_MAX];  // candump log interface (a ribex net name), "" if none
};

// Why a reader stopped before the end of its file.
enum class CanLogStop { None, Truncated, Corrupt, Unreadable };

// What a reader has seen so far.
struct CanLogReadStatus {
    CanLogFormat format;
    unsigned long long frames;       // CAN frames yielded
    unsigned long long errorFrames;  // error frames yielded
    unsigned long long skippedFd;    // CAN FD frames skipped
    unsigned long long skippedOther; // other objects and events skipped
    uint64_t startDateNs;            // ASC and BLF: the file's start date (from 1970) that
                                     // the records' times include; 0 when it has none
    CanLogStop stop;
    unsigned long long stopOffset;   // byte offset of the damaged object or line
    unsigned long long stopItem;     // text: line number; BLF: number of the container (1-based)
    char why[160];                   // what was wrong, in words
};

struct CanLogReader;
struct CanLogWriter;

// "log", "asc" or "blf" (CanLogFormat::Unknown for anything else).
CanLogFormat CanLogFormatFromName(const wchar_t *name);
// By the extension of path (.log, .asc, .blf, any case).
CanLogFormat CanLogFormatFromPath(const wchar_t *path);
const char *CanLogFormatName(CanLogFormat format);

// Opens path (L"-": standard input) as format; Unknown takes the format
// from the extension, or else from the content (BLF's signature, a
// candump line's '(', otherwise ASC). FALSE with the last error set when
// the file cannot be opened (ERROR_BAD_FORMAT: not a BLF file).
BOOL CanLogReaderOpen(const wchar_t *path, CanLogFormat format, CanLogReader **reader);
// The next record: TRUE, or FALSE at the end of the log and where damage
// stops the reader (CanLogReaderGetStatus says which).
BOOL CanLogReaderNext(CanLogReader *reader, CanLogRecord *record);
const CanLogReadStatus *CanLogReaderGetStatus(const CanLogReader *reader);
// Bytes consumed of the input so far (for a progress line).
unsigned long long CanLogReaderPosition(const CanLogReader *reader);
void CanLogReaderClose(CanLogReader *reader);

struct CanLogWriterOptions {
    CanLogFormat format;
    int blfCompression;          // zlib level 0 (stored) .. 9; -1 zlib's default
    BOOL haveOrigin;             // FALSE: the first record's time is the origin
    uint64_t originNs;           // time 0 of ASC and BLF offsets, on the records' clock
    uint64_t originWallClockNs;  // the wall-clock time (from 1970) of originNs; 0: the
                                 // records' clock is the wall clock
};

// Default options of a format: zlib's default level, origin from the first record.
CanLogWriterOptions CanLogWriterDefaults(CanLogFormat format);

// Creates path (L"-": standard output). FALSE with the last error set.
BOOL CanLogWriterOpen(const wchar_t *path, const CanLogWriterOptions *options,
                      CanLogWriter **writer);
// FALSE with the last error set when the file cannot be written.
BOOL CanLogWriterWrite(CanLogWriter *writer, const CanLogRecord *record);
// BLF: writes the pending container and rewrites the header when the
// oldest pending record is a second old, so that a file is readable up to
// that container whatever becomes of the writer. Text formats: flushes.
BOOL CanLogWriterFlushIfDue(CanLogWriter *writer);
unsigned long long CanLogWriterCount(const CanLogWriter *writer);
// Writes what is pending and the format's end, closes the file. FALSE
// with the last error set when any of it failed (the writer is freed).
BOOL CanLogWriterClose(CanLogWriter *writer);

// Windows' clock in nanoseconds from 1970 (UTC).
uint64_t CanLogWallClockNs();
