// The generator and the candump log reader of canpeer.
#include "canpeer_frames.h"

#include <cstdio>
#include <cstring>

#include "can_asc.h"
#include "can_frame_text.h"

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

bool IsBlankOrComment(const char *p)
{
    while (*p == ' ' || *p == '\t') p++;
    return *p == '\0' || *p == '\n' || *p == '\r' || *p == '#';
}

// One line of either format: appends a frame or counts what it skipped.
bool ReadLogLine(const char *line, LogCounts *counts, CanAscReader *asc, std::vector<RxMsg> *frames,
                 const char **why)
{
    CanLogEntry entry;
    if (counts->format == LogFormat::Candump) {
        if (IsBlankOrComment(line)) return true;
        if (!CanLogEntryParse(line, &entry, nullptr, 0, why)) {
            // A CAN FD frame ("ID##FLAGSDATA") of a mixed log: no classic
            // frame to send, skipped as ASC's other events are.
            if (!std::strstr(line, "##")) return false;
            counts->otherLines++;
            return true;
        }
        if (entry.isError)
            counts->errorFrames++;
        else
            frames->push_back(entry.msg);
        return true;
    }
    CanAscLineKind kind;
    if (!CanAscLineParse(asc, line, &entry, &kind, why)) return false;
    switch (kind) {
        case CAN_ASC_FRAME: frames->push_back(entry.msg); break;
        case CAN_ASC_ERROR: counts->errorFrames++; break;
        case CAN_ASC_OTHER: counts->otherLines++; break;
        case CAN_ASC_HEADER: break;
    }
    return true;
}

}  // namespace

bool LoadFrameLog(const std::wstring &path, std::vector<RxMsg> *frames, LogCounts *counts,
                  std::wstring *error)
{
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (!file) {
        *error = L"cannot open '" + path + L"'";
        return false;
    }
    *counts = LogCounts();
    CanAscReader asc;
    CanAscReaderInit(&asc);
    bool formatKnown = false;
    char line[512];
    unsigned lineNo = 0;
    bool ok = true;
    while (std::fgets(line, sizeof(line), file)) {
        lineNo++;
        size_t len = std::strlen(line);
        if (len == sizeof(line) - 1 && line[len - 1] != '\n' && !std::feof(file)) {
            *error = path + L":" + std::to_wstring(lineNo) + L": line too long";
            ok = false;
            break;
        }
        if (!formatKnown && !IsBlankOrComment(line)) {
            const char *p = line;
            while (*p == ' ' || *p == '\t') p++;
            counts->format = *p == '(' ? LogFormat::Candump : LogFormat::Asc;
            formatKnown = true;
        }
        const char *why = nullptr;
        if (!ReadLogLine(line, counts, &asc, frames, &why)) {
            *error = path + L":" + std::to_wstring(lineNo) + L": " + Widen(why);
            ok = false;
            break;
        }
    }
    std::fclose(file);
    if (ok && frames->empty()) {
        *error = L"'" + path + L"' holds no frames";
        if (counts->errorFrames) *error += L" (only error frames)";
        ok = false;
    }
    return ok;
}
