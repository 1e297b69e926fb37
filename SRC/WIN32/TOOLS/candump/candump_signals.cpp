#include "candump_signals.h"

namespace {

size_t LargestMessage(const CanDbSet *set) {
    size_t most = 0;
    for (const CanDbSetEntry &e : set->entries)
        for (const CanDbMessage &m : e.db.messages)
            if (m.signals.size() > most) most = m.signals.size();
    return most;
}

}  // namespace

BOOL DumpSignalsLoad(DumpSignals *s, const wchar_t *const *arguments, DWORD count, std::string *error) {
    for (DWORD i = 0; i < count; ++i) {
        CanDbError failure;
        if (!CanDbSetLoadArgument(&s->set, arguments[i], &failure)) {
            *error = CanDbErrorText(&failure);
            return FALSE;
        }
    }
    // Sized once: decoding a frame allocates nothing.
    s->values.assign(LargestMessage(&s->set) + 1, CanDbValue{});
    return TRUE;
}

const CanDbMessage *DumpSignalsDecode(DumpSignals *s, const char *net, const RibexFrame *frame) {
    if (frame->errorCode != 0 || s->set.entries.empty()) return nullptr;
    DWORD canId = frame->msg.can.id;
    if (canId & RX_REMOTE_FRAME_FLAG) return nullptr;
    const CanDbMessage *msg = CanDbSetFindFrame(&s->set, net, canId);
    if (msg == nullptr) return nullptr;
    DWORD length = frame->msg.length > 8 ? 8 : frame->msg.length;
    CanDbDecode(msg, frame->msg.can.data, length, s->values.data(), s->values.size());
    return msg;
}
