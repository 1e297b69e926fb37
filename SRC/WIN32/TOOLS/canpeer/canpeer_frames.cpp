// The generator and the log reader of canpeer.
#include "canpeer_frames.h"

#include <cstdio>
#include <cstring>

#include "can_frame_text.h"
#include "canlogio.h"

namespace {

uint32_t NextRandom(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

std::wstring Widen(const char *text)
{
    std::wstring s;
    for (; *text; text++) s += (wchar_t)(unsigned char)*text;
    return s;
}

}  // namespace

void GeneratorInit(Generator *g, const PeerOptions *options, uint32_t seed)
{
    g->options = options;
    g->sequence = 0;
    g->random = seed ? seed : 0x9E3779B9u;
}

RxMsg GeneratorNext(Generator *g)
{
    const PeerOptions &o = *g->options;
    const uint32_t idMax = o.extended ? CAN_EXTENDED_ID_MAX : CAN_STANDARD_ID_MAX;
    RxMsg msg = {};
    switch (o.idPattern) {
    case Pattern::Fixed: msg.can.id = o.id; break;
    case Pattern::Increment: msg.can.id = g->sequence % (idMax + 1); break;
    case Pattern::Random: msg.can.id = NextRandom(&g->random) % (idMax + 1); break;
    }
    switch (o.lengthPattern) {
    case Pattern::Fixed: msg.length = o.length; break;
    case Pattern::Increment: msg.length = g->sequence % 9; break;
    case Pattern::Random: msg.length = NextRandom(&g->random) % 9; break;
    }
    if (o.remote) {
        msg.can.id |= RX_REMOTE_FRAME_FLAG;
    } else {
        // The sequence number lets a receiver see gaps and reordering.
        uint32_t seq = g->sequence;
        for (uint32_t i = 0; i < msg.length && i < 4; i++) msg.can.data[i] = (uint8_t)(seq >> (8 * i));
    }
    g->sequence++;
    return msg;
}

namespace
{

LogFormat PeerFormat(CanLogFormat format)
{
    switch (format) {
        case CanLogFormat::Asc: return LogFormat::Asc;
        case CanLogFormat::Blf: return LogFormat::Blf;
        default: return LogFormat::Candump;
    }
}

RxMsg FrameOf(const CanLogRecord &r, uint64_t startDateNs)
{
    RxMsg msg = {};
    msg.timeStamp = (r.timeNs - (r.timeNs >= startDateNs ? startDateNs : 0)) / 100u;
    msg.length = r.length;
    msg.can.id = r.id | (r.remote ? RX_REMOTE_FRAME_FLAG : 0);
    std::memcpy(msg.can.data, r.data, sizeof(msg.can.data));
    return msg;
}

}  // namespace

bool LoadFrameLog(const std::wstring &path, std::vector<RxMsg> *frames, LogCounts *counts,
                  std::wstring *error)
{
    CanLogReader *reader;
    if (!CanLogReaderOpen(path.c_str(), CanLogFormat::Unknown, &reader)) {
        *error = GetLastError() == ERROR_BAD_FORMAT ? L"'" + path + L"' is not a BLF file"
                                                    : L"cannot open '" + path + L"'";
        return false;
    }
    *counts = LogCounts();
    CanLogRecord record;
    while (CanLogReaderNext(reader, &record)) {
        if (!record.isError)
            frames->push_back(FrameOf(record, CanLogReaderGetStatus(reader)->startDateNs));
    }
    const CanLogReadStatus *st = CanLogReaderGetStatus(reader);
    counts->format = PeerFormat(st->format);
    counts->errorFrames = (DWORD)st->errorFrames;
    counts->otherLines = (DWORD)(st->skippedFd + st->skippedOther);
    bool ok = true;
    if (st->stop != CanLogStop::None && st->format != CanLogFormat::Blf) {
        // A text log is written by hand as often as by a tool: a bad line
        // is a mistake to fix, not damage to replay around.
        *error = path + L":" + std::to_wstring(st->stopItem) + L": " + Widen(st->why);
        ok = false;
    } else if (st->stop != CanLogStop::None) {
        std::fwprintf(stderr, L"canpeer: %ls: stopped at byte %llu (container %llu): %hs; replaying "
                              L"the %zu frames before it\n",
                      path.c_str(), st->stopOffset, st->stopItem, st->why, frames->size());
    }
    CanLogReaderClose(reader);
    if (ok && frames->empty()) {
        *error = L"'" + path + L"' holds no frames";
        if (counts->errorFrames) *error += L" (only error frames)";
        ok = false;
    }
    return ok;
}
