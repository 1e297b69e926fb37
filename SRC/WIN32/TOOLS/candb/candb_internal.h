// What the parts of candb share and the tools do not need.
#pragma once

#include "candb.h"

// The file's bytes as UTF-8: kept when they are valid UTF-8 (a BOM dropped),
// read as cp1252 otherwise.
std::string CanDbTextToUtf8(const char *text, size_t size);

// Fills the decode fields of every signal and the message's decode order;
// FALSE with error->text when a multiplexor reference cannot be resolved.
BOOL CanDbPrepareMessage(CanDbMessage *msg, std::string *why);

// The bytes of a frame a signal needs, from its start bit, length and order.
unsigned CanDbSignalBytes(const CanDbSignal *s);
