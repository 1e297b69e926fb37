// What the format readers and writers of canlogio share.
#pragma once

#include <stdio.h>

#include <vector>

#include "blf_layout.h"
#include "can_asc.h"
#include "canlogio.h"

// A buffered byte input that can look ahead (format detection).
struct CanLogInput {
    FILE *file;
    bool ownFile;
    std::vector<uint8_t> buffer;
    size_t at, end;                  // unread bytes: [at, end)
    unsigned long long consumed;     // bytes handed out so far
    bool eof;
};

bool InputOpen(CanLogInput *in, const wchar_t *path);
void InputClose(CanLogInput *in);
// Up to n bytes ahead without consuming them (n at most the buffer size).
size_t InputPeek(CanLogInput *in, size_t n, const uint8_t **bytes);
// Reads up to n bytes; fewer only at the end of the input.
size_t InputRead(CanLogInput *in, void *to, size_t n);
// One line without its end. FALSE at the end of the input; *tooLong when
// the line did not fit (the rest of it is dropped).
bool InputReadLine(CanLogInput *in, char *line, size_t size, bool *tooLong);

// Interface names of a candump log and their channel numbers.
#define CAN_LOG_MAX_NAMES 64u
struct CanLogChannelMap {
    char names[CAN_LOG_MAX_NAMES][CAN_LOG_IFACE_MAX + 1];
    uint32_t channels[CAN_LOG_MAX_NAMES];
    uint32_t count;
};
uint32_t ChannelForName(CanLogChannelMap *map, const char *name);
// "can0" for channel 1.
void NameForChannel(uint32_t channel, char *name, size_t size);

struct CanLogReader {
    CanLogInput input;
    CanLogReadStatus status;
    bool done;
    // text formats
    unsigned long long lineNo;
    CanAscReader asc;
    uint64_t ascDateNs;  // the ASC header's date, 0 until one is read
    CanLogChannelMap names;
    // BLF
    uint64_t blfStartNs;         // the header's start date
    std::vector<uint8_t> pending;  // objects of the containers read, not yet parsed
    size_t pendingAt;
    std::vector<uint8_t> packed;   // a container as it lies in the file
    unsigned long long containers;
    unsigned long long containerOffset;  // where the last container read starts
};

// Stops the reader: records why and where.
void ReaderStop(CanLogReader *r, CanLogStop stop, unsigned long long offset,
                unsigned long long item, const char *format, ...);

bool TextReaderNext(CanLogReader *r, CanLogRecord *record);
bool BlfReaderOpen(CanLogReader *r);
bool BlfReaderNext(CanLogReader *r, CanLogRecord *record);

struct CanLogWriter {
    FILE *file;
    bool ownFile;
    CanLogWriterOptions options;
    bool originKnown;
    uint64_t originNs;    // time 0 of the offsets
    uint64_t dateNs;      // wall-clock time (from 1970) of originNs, 0: no date
    unsigned long long count;
    bool failed;
    // text
    bool ascStarted;
    // BLF
    std::vector<uint8_t> container;  // objects not yet written
    std::vector<uint8_t> packed;
    unsigned long long blfObjects;
    unsigned long long blfUncompressed;
    uint64_t lastOffsetNs;
    ULONGLONG pendingSince;  // tick of the oldest object in container
    bool headerWritten;
    bool seekable;
};

void WriterFixOrigin(CanLogWriter *w, uint64_t firstTimeNs);
// ASC: the header, at once where the origin is known at open.
bool TextWriterBegin(CanLogWriter *w);
bool TextWriterWrite(CanLogWriter *w, const CanLogRecord *record);
bool TextWriterClose(CanLogWriter *w);
bool BlfWriterWrite(CanLogWriter *w, const CanLogRecord *record);
bool BlfWriterFlush(CanLogWriter *w);
bool BlfWriterClose(CanLogWriter *w);

// Local wall-clock time <-> nanoseconds from 1970 (UTC). A zero SYSTEMTIME is 0.
uint64_t LocalSystemTimeToNs(const SYSTEMTIME *local);
void NsToLocalSystemTime(uint64_t ns, SYSTEMTIME *local);
