// candump's log file (see candump_log.h).
#include "candump_log.h"

#include <stdio.h>
#include <string.h>

#include "can_frame_text.h"

namespace {

CanLogFormat FormatOf(LogFormat format) {
    switch (format) {
    case LogFormat::Asc: return CanLogFormat::Asc;
    case LogFormat::Blf: return CanLogFormat::Blf;
    case LogFormat::Candump: break;
    }
    return CanLogFormat::Candump;
}

}  // namespace

BOOL DumpLogOpen(DumpLog *log, const wchar_t *path, LogFormat format, unsigned long long now) {
    log->format = format;
    CanLogWriterOptions o = CanLogWriterDefaults(FormatOf(format));
    o.haveOrigin = TRUE;
    o.originNs = now * 100u;
    o.originWallClockNs = CanLogWallClockNs();
    return CanLogWriterOpen(path, &o, &log->writer);
}

void DumpLogWrite(DumpLog *log, DWORD netIndex, const char *netName, unsigned long long stamp,
                  unsigned long long shown, const RibexFrame *entry) {
    CanLogRecord r;
    memset(&r, 0, sizeof(r));
    // The candump log shows what the screen shows; ASC and BLF keep offsets.
    r.timeNs = (log->format == LogFormat::Candump ? shown : stamp) * 100u;
    r.channel = netIndex + 1;
    snprintf(r.iface, sizeof(r.iface), "%s", netName);
    if (entry->errorCode != 0) {
        r.isError = 1;
        r.errorCode = entry->errorCode;
    } else {
        r.id = entry->msg.can.id & ~RX_REMOTE_FRAME_FLAG;
        r.remote = (entry->msg.can.id & RX_REMOTE_FRAME_FLAG) != 0;
        r.extended = CanIdIsExtended(r.id);
        r.length = entry->msg.length;
        memcpy(r.data, entry->msg.can.data, sizeof(r.data));
    }
    CanLogWriterWrite(log->writer, &r);
}

void DumpLogTick(DumpLog *log) {
    if (log->writer != NULL && log->format == LogFormat::Blf) CanLogWriterFlushIfDue(log->writer);
}

void DumpLogClose(DumpLog *log) {
    if (log->writer == NULL) return;
    CanLogWriterClose(log->writer);
    log->writer = NULL;
}
