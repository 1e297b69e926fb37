#include "candump_line.h"

#include <stdio.h>

namespace {

const DWORD kMaxStandardId = 0x7FF;

BOOL IsExtended(DWORD canId) { return (canId & ~RX_REMOTE_FRAME_FLAG) > kMaxStandardId; }

}  // namespace

void FormatCanId(DWORD canId, char *text, size_t size) {
    if (IsExtended(canId)) snprintf(text, size, "%08lX", canId & ~RX_REMOTE_FRAME_FLAG);
    else snprintf(text, size, "%03lX", canId);
}

void FormatDumpLine(unsigned long long stamp, const char *netName, const RibexFrame *frame, char *line,
                    size_t size) {
    unsigned long long seconds = stamp / 10000000ull;
    unsigned long micros = (unsigned long)((stamp % 10000000ull) / 10ull);
    int used = snprintf(line, size, "(%010llu.%06lu) %s ", seconds, micros, netName);
    if (used < 0 || (size_t)used >= size) return;
    char *p = line + used;
    size_t room = size - used;
    if (frame->errorCode != 0) {
        snprintf(p, room, "ERROR#%lu", frame->errorCode);
        return;
    }
    const RxMsg *m = &frame->msg;
    char id[16];
    FormatCanId(m->can.id & ~RX_REMOTE_FRAME_FLAG, id, sizeof(id));
    if (m->can.id & RX_REMOTE_FRAME_FLAG) {
        snprintf(p, room, "%s#R", id);
        return;
    }
    int n = snprintf(p, room, "%s#", id);
    DWORD length = m->length > 8 ? 8 : m->length;
    for (DWORD i = 0; i < length && n > 0 && (size_t)n + 2 < room; ++i)
        n += snprintf(p + n, room - n, "%02X", m->can.data[i]);
}

DWORD WorstCaseFrameBits(const RxMsg *msg) {
    DWORD dataBits = (msg->can.id & RX_REMOTE_FRAME_FLAG) ? 0 : 8 * (msg->length > 8 ? 8 : msg->length);
    // Fixed fields outside the stuffed part: CRC delimiter, ACK, EOF, IFS.
    // Stuffing covers start of frame to CRC; at worst one bit in four.
    if (IsExtended(msg->can.id)) {
        DWORD stuffed = 54 + dataBits;
        return stuffed + 13 + (stuffed - 1) / 4;
    }
    DWORD stuffed = 34 + dataBits;
    return stuffed + 13 + (stuffed - 1) / 4;
}
