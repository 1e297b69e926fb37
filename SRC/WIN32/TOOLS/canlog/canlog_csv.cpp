// canlog's CSV of decoded signals (see canlog_csv.h).
#include "canlog_csv.h"

#include <string.h>

#include "can_frame_text.h"
#include "canlog_output.h"

namespace {

void AppendNumber(std::string *row, double v) {
    char text[32];
    snprintf(text, sizeof(text), "%.15g", v);
    row->append(text);
}

}  // namespace

bool CsvOpen(CsvWriter *w, const wchar_t *path, const CanDatabase *db) {
    w->file = CanlogOpenOutput(path, &w->ownFile);
    if (!w->file) return false;
    w->db = db;
    w->columns = 0;
    w->rows = 0;
    size_t most = 0;
    std::string header = "time";
    for (const CanDbMessage &m : db->messages) {
        w->firstColumn.push_back(w->columns);
        w->columns += m.signals.size();
        if (m.signals.size() > most) most = m.signals.size();
        for (const CanDbSignal &s : m.signals) header += "," + m.name + "." + s.name;
    }
    w->values.resize(most ? most : 1);
    header += "\r\n";
    return fwrite(header.data(), 1, header.size(), w->file) == header.size();
}

bool CsvWriteRecord(CsvWriter *w, const CanLogRecord *rec) {
    if (rec->isError) return true;
    char time[CAN_STAMP_TEXT_MAX];
    CanStampFormat(rec->timeNs / 100u, time, sizeof(time));  // 100 ns units
    std::string &row = w->row;
    row.assign(time);
    const CanDbMessage *msg =
        rec->remote ? NULL : CanDbFindMessage(w->db, rec->id, rec->extended != 0);
    size_t before = 0, after = w->columns;
    if (msg) {
        size_t index = (size_t)(msg - w->db->messages.data());
        before = w->firstColumn[index];
        after = w->columns - before - msg->signals.size();
        row.append(before, ',');
        CanDbDecode(msg, rec->data, rec->length, w->values.data(), w->values.size());
        for (size_t i = 0; i < msg->signals.size(); i++) {
            row.push_back(',');
            if (w->values[i].present) AppendNumber(&row, w->values[i].physical);
        }
    }
    row.append(after, ',');
    row.append("\r\n");
    w->rows++;
    return fwrite(row.data(), 1, row.size(), w->file) == row.size();
}

bool CsvClose(CsvWriter *w) {
    bool ok = CanlogCloseOutput(w->file, w->ownFile);
    w->file = NULL;
    return ok;
}
