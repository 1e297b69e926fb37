#include "rcd_echo.h"

#include <string.h>

namespace {

void RemoveAt(RcdEchoList *list, DWORD index) {
    for (DWORD i = index + 1; i < list->count; ++i) {
        list->sent[i - 1] = list->sent[i];
        list->tick[i - 1] = list->tick[i];
    }
    list->count--;
}

BOOL SameFrame(const RxMsg *a, const RxMsg *b) {
    if (a->can.id != b->can.id || a->length != b->length || a->length > 8) return FALSE;
    BOOL remote = (a->can.id & RX_REMOTE_FRAME_FLAG) != 0;
    return remote || memcmp(a->can.data, b->can.data, a->length) == 0;
}

}  // namespace

void RcdEchoAdd(RcdEchoList *list, const RxMsg *sent, DWORD tick) {
    if (list->count == RCD_ECHO_SLOTS) RemoveAt(list, 0);
    list->sent[list->count] = *sent;
    list->tick[list->count] = tick;
    list->count++;
}

BOOL RcdEchoTake(RcdEchoList *list, const RibexFrame *entry, DWORD tick) {
    while (list->count != 0 && tick - list->tick[0] > RCD_ECHO_MAX_AGE_MS) RemoveAt(list, 0);
    // Only device frames can be echoes; a simulated peer's frame never is.
    if (entry->errorCode != 0 || entry->simUniqueId.high != 0 || entry->simUniqueId.low != 0)
        return FALSE;
    for (DWORD i = 0; i < list->count; ++i) {
        if (SameFrame(&list->sent[i], &entry->msg)) {
            RemoveAt(list, i);
            return TRUE;
        }
    }
    return FALSE;
}
