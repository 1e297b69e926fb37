// The socketcand text protocol as ribexcand speaks it: commands from the
// client framed as "< word word ... >", and the messages the server writes.
//
// Every message the server writes after the handshake starts with one
// space: " < frame 123 12.345678 1122 >". Clients that read the stream by
// '<' and '>' ignore it; python-can 4.1 drops the one character after the
// last complete message it parsed from a read, and with the space that
// character is always the separator, never the '<' of a message cut by the
// read. The data bytes are one hex string, as socketcand writes them;
// python-can takes the third field whole. A frame without data has an
// empty third field: "< frame 123 12.345678  >".
//
// Plain functions, no allocation, no global state.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "ribex_client.h"

#define RCD_MAX_COMMAND 128u  // characters between '<' and '>'
#define RCD_MAX_WORDS 12u
#define RCD_MAX_MESSAGE 96u  // longest message the server writes, NUL included

typedef enum RcdStep {
    RCD_STEP_NONE,     // byte taken, nothing complete yet
    RCD_STEP_COMMAND,  // a command is complete in reader->text
    RCD_STEP_GARBAGE,  // a byte outside "< ... >" that is not white space
    RCD_STEP_TOO_LONG  // a command longer than RCD_MAX_COMMAND
} RcdStep;

typedef struct RcdCommandReader {
    char text[RCD_MAX_COMMAND + 1];  // the command between '<' and '>', NUL-terminated
    DWORD length;
    BOOL inside;  // after '<'
} RcdCommandReader;

void RcdReaderInit(RcdCommandReader *reader);
// Takes one byte of the client's stream. After RCD_STEP_TOO_LONG the reader
// skips to the next '>'.
RcdStep RcdReaderPush(RcdCommandReader *reader, char c);

// Splits text in place at white space; returns the number of words (at
// most maxWords; further words are not split off).
DWORD RcdSplitWords(char *text, char **words, DWORD maxWords);

// "send ID LEN DATA..." (remote FALSE) or "sendrtr ID LEN" (remote TRUE),
// words[0] being the command. Fills msg (time stamp 0; can.id bit 31 for a
// remote frame). FALSE with *error pointing at a static text.
BOOL RcdParseSend(char **words, DWORD noWords, BOOL remote, RxMsg *msg, const char **error);

// One message for a receive-buffer entry: " < frame ID SECS.USECS HEXDATA >",
// " < rtr ID SECS.USECS LEN >" for a remote frame, " < error ... >" for an
// error entry. stamp in 100 ns units. Returns the length without the NUL, 0
// when it does not fit.
size_t RcdFormatEntry(const RibexFrame *entry, unsigned long long stamp, char *out, size_t size);
