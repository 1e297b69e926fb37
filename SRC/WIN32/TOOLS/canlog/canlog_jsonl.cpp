// canlog's JSON Lines (see canlog_jsonl.h).
#include "canlog_jsonl.h"

#include <string.h>

#include "canjson.h"
#include "canlog_output.h"

namespace {

const uint32_t kErrorFlag = 0x20000000u;  // of an error frame's identifier, as candump writes it

// The record as the shared frame record; net names the interface.
void ToJsonFrame(const CanLogRecord *rec, const char *net, CanJsonFrame *frame) {
    *frame = CanJsonFrame{};
    frame->t = (double)rec->timeNs / 1e9;
    frame->net = net;
    frame->errorCode = rec->isError ? rec->errorCode : 0;
    frame->errorFrame = rec->isError && rec->errorCode == 0;
    frame->id = frame->errorFrame ? (rec->id | kErrorFlag) : rec->id;
    frame->ext = rec->extended != 0 || frame->errorFrame;
    frame->rtr = rec->remote != 0;
    frame->dlc = rec->length > 8 ? 8 : rec->length;
    frame->data = rec->data;
}

}  // namespace

bool JsonlOpen(JsonlWriter *w, const wchar_t *path, const CanDatabase *db) {
    w->file = CanlogOpenOutput(path, &w->ownFile);
    if (!w->file) return false;
    w->db = db;
    size_t most = 1;
    if (db != nullptr)
        for (const CanDbMessage &m : db->messages)
            if (m.signals.size() > most) most = m.signals.size();
    w->values.resize(most);
    return true;
}

bool JsonlWriteRecord(JsonlWriter *w, const CanLogRecord *rec) {
    char net[CAN_LOG_RECORD_NAME_MAX + 16];
    if (rec->iface[0] != 0)
        snprintf(net, sizeof(net), "%s", rec->iface);
    else
        snprintf(net, sizeof(net), "can%u", rec->channel > 0 ? rec->channel - 1 : 0);
    CanJsonFrame frame;
    ToJsonFrame(rec, net, &frame);
    const CanDbMessage *msg = nullptr;
    if (w->db != nullptr && !rec->isError && !rec->remote) {
        msg = CanDbFindMessage(w->db, rec->id, rec->extended != 0);
        if (msg != nullptr) CanDbDecode(msg, rec->data, rec->length, w->values.data(), w->values.size());
    }
    if (!CanJsonFormatLine(&frame, msg, msg != nullptr ? w->values.data() : nullptr, &w->line)) return false;
    w->line.push_back('\n');
    return fwrite(w->line.data(), 1, w->line.size(), w->file) == w->line.size();
}

bool JsonlClose(JsonlWriter *w) {
    bool ok = CanlogCloseOutput(w->file, w->ownFile);
    w->file = NULL;
    return ok;
}
