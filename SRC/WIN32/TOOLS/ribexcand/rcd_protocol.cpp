#include "rcd_protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "can_frame_text.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Hex text of 1..maxDigits digits, nothing else.
BOOL ParseHexWord(const char *text, size_t maxDigits, unsigned long *pValue) {
    size_t n = strlen(text);
    if (n == 0 || n > maxDigits) return FALSE;
    for (size_t i = 0; i < n; ++i)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f') ||
              (text[i] >= 'A' && text[i] <= 'F')))
            return FALSE;
    *pValue = strtoul(text, NULL, 16);
    return TRUE;
}

BOOL Refuse(const char **error, const char *text) {
    if (error != NULL) *error = text;
    return FALSE;
}

}  // namespace

void RcdReaderInit(RcdCommandReader *reader) {
    memset(reader, 0, sizeof(*reader));
}

RcdStep RcdReaderPush(RcdCommandReader *reader, char c) {
    if (!reader->inside) {
        if (c == '<') {
            reader->inside = TRUE;
            reader->length = 0;
            return RCD_STEP_NONE;
        }
        return IsBlank(c) ? RCD_STEP_NONE : RCD_STEP_GARBAGE;
    }
    if (c == '>') {
        reader->inside = FALSE;
        if (reader->length > RCD_MAX_COMMAND) return RCD_STEP_NONE;  // end of a skipped one
        reader->text[reader->length] = 0;
        return RCD_STEP_COMMAND;
    }
    if (reader->length > RCD_MAX_COMMAND) return RCD_STEP_NONE;  // skipping
    if (reader->length == RCD_MAX_COMMAND) {
        reader->length = RCD_MAX_COMMAND + 1;
        return RCD_STEP_TOO_LONG;
    }
    reader->text[reader->length++] = c;
    return RCD_STEP_NONE;
}

DWORD RcdSplitWords(char *text, char **words, DWORD maxWords) {
    DWORD n = 0;
    char *p = text;
    while (n < maxWords) {
        while (IsBlank(*p)) ++p;
        if (*p == 0) break;
        words[n++] = p;
        if (n == maxWords) break;
        while (*p != 0 && !IsBlank(*p)) ++p;
        if (*p == 0) break;
        *p++ = 0;
    }
    return n;
}

BOOL RcdParseSend(char **words, DWORD noWords, BOOL remote, RxMsg *msg, const char **error) {
    memset(msg, 0, sizeof(*msg));
    unsigned long id = 0, length = 0;
    if (noWords < 3) return Refuse(error, "needs an identifier and a length");
    if (!ParseHexWord(words[1], 8, &id) || id > 0x1FFFFFFFul)
        return Refuse(error, "identifier must be hex up to 1FFFFFFF");
    if (!ParseHexWord(words[2], 1, &length) || length > 8)
        return Refuse(error, "length must be 0 to 8");
    if (remote) {
        if (noWords != 3) return Refuse(error, "a remote frame carries no data");
    } else if (noWords - 3 != length) {
        return Refuse(error, "the number of data bytes differs from the length");
    }
    for (DWORD i = 0; !remote && i < length; ++i) {
        unsigned long byte = 0;
        if (!ParseHexWord(words[3 + i], 2, &byte))
            return Refuse(error, "data bytes must be hex 0 to FF");
        msg->can.data[i] = (BYTE)byte;
    }
    msg->length = (DWORD)length;
    msg->can.id = (DWORD)id | (remote ? RX_REMOTE_FRAME_FLAG : 0);
    return TRUE;
}

size_t RcdFormatEntry(const RibexFrame *entry, unsigned long long stamp, char *out, size_t size) {
    char when[CAN_STAMP_TEXT_MAX];
    CanStampFormat(stamp, when, sizeof(when));
    int n;
    if (entry->errorCode != 0) {
        n = snprintf(out, size, " < error receive error %u at %s >", (unsigned)entry->errorCode, when);
        return n > 0 && (size_t)n < size ? (size_t)n : 0;
    }
    const RxMsg *m = &entry->msg;
    DWORD id = m->can.id & ~RX_REMOTE_FRAME_FLAG;
    if (m->length > 8 || id > 0x1FFFFFFFul) return 0;
    const char *idFormat = CanIdIsExtended(id) ? "%08X" : "%03X";
    char idText[12];
    snprintf(idText, sizeof(idText), idFormat, (unsigned)id);
    if (m->can.id & RX_REMOTE_FRAME_FLAG) {
        n = snprintf(out, size, " < rtr %s %s %u >", idText, when, (unsigned)m->length);
        return n > 0 && (size_t)n < size ? (size_t)n : 0;
    }
    n = snprintf(out, size, " < frame %s %s ", idText, when);
    if (n <= 0 || (size_t)n >= size) return 0;
    size_t used = (size_t)n;
    // The data bytes as one hex string, as socketcand writes them (and
    // python-can parses them); no data leaves an empty field: "TIME  >".
    for (DWORD i = 0; i < m->length; ++i) {
        n = snprintf(out + used, size - used, "%02X", m->can.data[i]);
        if (n <= 0 || (size_t)n >= size - used) return 0;
        used += (size_t)n;
    }
    n = snprintf(out + used, size - used, " >");
    if (n <= 0 || (size_t)n >= size - used) return 0;
    return used + (size_t)n;
}
