// Reading Vector BLF (see blf_layout.h): the file header, then top-level
// objects; log containers (stored or zlib) are inflated into one run of
// inner objects, so an object may begin in one container and end in the
// next. CAN frames and error frames become records; CAN FD frames and
// every other object are skipped and counted.
#include <string.h>
#include <zlib.h>

#include "canlogio_internal.h"

namespace {

// Larger claims are damage, not data: no writer makes containers or
// objects of this size.
const uint32_t kMaxObject = 16u << 20;
const uint32_t kMaxInflated = 64u << 20;
// Padding between inner objects that readers allow.
const size_t kMaxPadding = 8;

enum class ParseResult { Record, Skip, NeedMore, Stop };

uint64_t ObjectTimeNs(uint32_t flags, uint64_t stamp) {
    return flags == BLF_TIME_TEN_MICS ? stamp * 10000u : stamp;
}

// One whole object (base header included) of size bytes.
ParseResult ParseObject(CanLogReader *r, const uint8_t *p, uint32_t size, CanLogRecord *rec) {
    BlfObjectBase base;
    memcpy(&base, p, sizeof(base));
    uint32_t flags;
    uint64_t stamp;
    if (base.headerVersion == 1 && size >= sizeof(base) + sizeof(BlfObjectHeaderV1)) {
        BlfObjectHeaderV1 h;
        memcpy(&h, p + sizeof(base), sizeof(h));
        flags = h.flags;
        stamp = h.timeStamp;
    } else if (base.headerVersion == 2 && size >= sizeof(base) + sizeof(BlfObjectHeaderV2)) {
        BlfObjectHeaderV2 h;
        memcpy(&h, p + sizeof(base), sizeof(h));
        flags = h.flags;
        stamp = h.timeStamp;
    } else {
        r->status.skippedOther++;
        return ParseResult::Skip;
    }
    uint32_t headerSize = base.headerSize;
    if (headerSize < sizeof(base) + (base.headerVersion == 1 ? sizeof(BlfObjectHeaderV1)
                                                             : sizeof(BlfObjectHeaderV2)))
        headerSize = (uint32_t)(sizeof(base) + (base.headerVersion == 1 ? sizeof(BlfObjectHeaderV1)
                                                                        : sizeof(BlfObjectHeaderV2)));
    const uint8_t *body = p + headerSize;
    uint32_t bodySize = size > headerSize ? size - headerSize : 0;
    rec->timeNs = r->blfStartNs + ObjectTimeNs(flags, stamp);
    switch (base.objectType) {
    case BLF_CAN_MESSAGE:
    case BLF_CAN_MESSAGE2: {
        if (bodySize < sizeof(BlfCanMessage)) break;
        BlfCanMessage m;
        memcpy(&m, body, sizeof(m));
        rec->channel = m.channel;
        rec->id = m.id & CAN_EXTENDED_ID_MAX;
        rec->extended = (m.id & BLF_ID_EXTENDED) != 0;
        rec->remote = (m.flags & BLF_MSG_FLAG_REMOTE) != 0;
        rec->direction = (m.flags & BLF_MSG_FLAG_SENT) ? 'T' : 'R';
        rec->length = m.dlc > 8 ? 8 : m.dlc;
        if (!rec->remote) memcpy(rec->data, m.data, rec->length);
        return ParseResult::Record;
    }
    case BLF_CAN_ERROR_EXT: {
        if (bodySize < sizeof(BlfCanErrorExt)) break;
        BlfCanErrorExt e;
        memcpy(&e, body, sizeof(e));
        rec->isError = 1;
        rec->channel = e.channel;
        rec->id = e.id & CAN_EXTENDED_ID_MAX;
        rec->length = e.dlc > 8 ? 8 : e.dlc;
        memcpy(rec->data, e.data, rec->length);
        // Ours keep the Windows error code in the Linux error frame's bytes.
        RxMsg frame = {};
        memcpy(frame.can.data, e.data, sizeof(frame.can.data));
        frame.length = rec->length;
        rec->errorCode = rec->length == 8 ? CanErrorFrameCode(&frame) : 0;
        return ParseResult::Record;
    }
    case BLF_CAN_ERROR: {
        if (bodySize < sizeof(BlfCanError)) break;
        BlfCanError e;
        memcpy(&e, body, sizeof(e));
        rec->isError = 1;
        rec->channel = e.channel;
        return ParseResult::Record;
    }
    case BLF_CAN_FD_MESSAGE:
    case BLF_CAN_FD_MESSAGE_64:
        r->status.skippedFd++;
        return ParseResult::Skip;
    default:
        break;
    }
    r->status.skippedOther++;
    return ParseResult::Skip;
}

// The next object of the inflated containers, or NeedMore when it is not
// all there yet.
ParseResult NextPending(CanLogReader *r, CanLogRecord *rec) {
    for (;;) {
        const uint8_t *p = r->pending.data();
        size_t end = r->pending.size();
        size_t at = r->pendingAt;
        // Objects are padded; the next one starts within a few bytes.
        size_t found = end;
        for (size_t i = at; i + 4 <= end && i <= at + kMaxPadding; i++)
            if (memcmp(p + i, BLF_OBJECT_SIGNATURE, 4) == 0) {
                found = i;
                break;
            }
        if (found == end) {
            if (end - at < kMaxPadding + 4) return ParseResult::NeedMore;
            ReaderStop(r, CanLogStop::Corrupt, r->containerOffset, r->containers,
                       "no object signature in container %llu (container at byte %llu)",
                       r->containers, r->containerOffset);
            return ParseResult::Stop;
        }
        at = found;
        r->pendingAt = at;
        if (end - at < sizeof(BlfObjectBase)) return ParseResult::NeedMore;
        BlfObjectBase base;
        memcpy(&base, p + at, sizeof(base));
        if (base.objectSize < sizeof(BlfObjectBase) || base.objectSize > kMaxObject) {
            ReaderStop(r, CanLogStop::Corrupt, r->containerOffset, r->containers,
                       "object of size %lu in container %llu (container at byte %llu)",
                       (unsigned long)base.objectSize, r->containers, r->containerOffset);
            return ParseResult::Stop;
        }
        if (end - at < base.objectSize) return ParseResult::NeedMore;
        r->pendingAt = at + base.objectSize;
        ParseResult result = ParseObject(r, p + at, base.objectSize, rec);
        if (result == ParseResult::Record) return result;
    }
}

bool Inflate(CanLogReader *r, const BlfContainerHeader &h, const uint8_t *data, size_t size) {
    // What is still unparsed moves to the front; the container follows it.
    r->pending.erase(r->pending.begin(), r->pending.begin() + (ptrdiff_t)r->pendingAt);
    r->pendingAt = 0;
    size_t at = r->pending.size();
    if (h.compression == BLF_COMPRESSION_NONE) {
        r->pending.insert(r->pending.end(), data, data + size);
        return true;
    }
    if (h.uncompressedSize > kMaxInflated) {
        ReaderStop(r, CanLogStop::Corrupt, r->containerOffset, r->containers,
                   "container %llu at byte %llu claims %lu bytes", r->containers,
                   r->containerOffset, (unsigned long)h.uncompressedSize);
        return false;
    }
    r->pending.resize(at + h.uncompressedSize);
    uLongf got = h.uncompressedSize;
    int z = uncompress(r->pending.data() + at, &got, data, (uLong)size);
    if (z != Z_OK || got != h.uncompressedSize) {
        r->pending.resize(at);
        ReaderStop(r, CanLogStop::Corrupt, r->containerOffset, r->containers,
                   "container %llu at byte %llu: zlib data damaged (%s)", r->containers,
                   r->containerOffset, z == Z_OK ? "short" : zError(z));
        return false;
    }
    return true;
}

// Reads the next top-level object. FALSE at the end of the file or when
// it stops the reader.
bool ReadTopLevel(CanLogReader *r, CanLogRecord *rec, bool *gotRecord) {
    *gotRecord = false;
    unsigned long long offset = r->input.consumed;
    BlfObjectBase base;
    size_t n = InputRead(&r->input, &base, sizeof(base));
    if (n == 0) return false;
    if (n < sizeof(base)) {
        ReaderStop(r, CanLogStop::Truncated, offset, r->containers + 1,
                   "the file ends inside an object header at byte %llu", offset);
        return false;
    }
    if (memcmp(base.signature, BLF_OBJECT_SIGNATURE, 4) != 0 ||
        base.objectSize < sizeof(base) || base.objectSize > kMaxObject) {
        ReaderStop(r, CanLogStop::Corrupt, offset, r->containers + 1,
                   "no valid object at byte %llu", offset);
        return false;
    }
    uint32_t rest = base.objectSize - (uint32_t)sizeof(base);
    r->packed.resize(base.objectSize);
    memcpy(r->packed.data(), &base, sizeof(base));
    if (InputRead(&r->input, r->packed.data() + sizeof(base), rest) != rest) {
        const char *what = base.objectType == BLF_LOG_CONTAINER ? "container" : "object";
        ReaderStop(r, CanLogStop::Truncated, offset, r->containers + 1,
                   "the file ends inside %s %llu, which starts at byte %llu and needs %lu bytes",
                   what, r->containers + 1, offset, (unsigned long)base.objectSize);
        return false;
    }
    // Padding after the object.
    uint8_t pad[4];
    InputRead(&r->input, pad, base.objectSize % 4);
    if (base.objectType != BLF_LOG_CONTAINER) {
        *gotRecord = ParseObject(r, r->packed.data(), base.objectSize, rec) == ParseResult::Record;
        return true;
    }
    r->containers++;
    r->containerOffset = offset;
    BlfContainerHeader h;
    uint32_t headerSize = base.headerSize >= sizeof(base) ? base.headerSize : (uint32_t)sizeof(base);
    if (base.objectSize < headerSize + sizeof(h)) {
        ReaderStop(r, CanLogStop::Corrupt, offset, r->containers,
                   "container %llu at byte %llu is too short", r->containers, offset);
        return false;
    }
    memcpy(&h, r->packed.data() + headerSize, sizeof(h));
    const uint8_t *data = r->packed.data() + headerSize + sizeof(h);
    size_t size = base.objectSize - headerSize - sizeof(h);
    if (h.compression != BLF_COMPRESSION_NONE && h.compression != BLF_COMPRESSION_ZLIB) {
        r->status.skippedOther++;
        return true;
    }
    return Inflate(r, h, data, size);
}

}  // namespace

bool BlfReaderOpen(CanLogReader *r) {
    BlfFileHeader h;
    memset(&h, 0, sizeof(h));
    const size_t known = offsetof(BlfFileHeader, reserved);
    size_t n = InputRead(&r->input, &h, known);
    if (n < 4 || memcmp(h.signature, BLF_FILE_SIGNATURE, 4) != 0) return false;
    if (n < known || h.headerSize < known) {
        ReaderStop(r, CanLogStop::Truncated, 0, 0, "the file header is cut short");
        return true;
    }
    // The rest of the header, whatever its size.
    uint8_t skip[256];
    for (size_t left = h.headerSize - known; left > 0;) {
        size_t take = left < sizeof(skip) ? left : sizeof(skip);
        if (InputRead(&r->input, skip, take) != take) {
            ReaderStop(r, CanLogStop::Truncated, 0, 0, "the file header is cut short");
            return true;
        }
        left -= take;
    }
    SYSTEMTIME start;
    memcpy(&start, &h.start, sizeof(start));
    r->blfStartNs = LocalSystemTimeToNs(&start);
    r->status.startDateNs = r->blfStartNs;
    return true;
}

bool BlfReaderNext(CanLogReader *r, CanLogRecord *rec) {
    for (;;) {
        ParseResult result = NextPending(r, rec);
        if (result == ParseResult::Record) return true;
        if (result == ParseResult::Stop) return false;
        bool gotRecord = false;
        if (ReadTopLevel(r, rec, &gotRecord)) {
            if (gotRecord) return true;
            continue;
        }
        if (r->done) return false;
        // The end of the file: what is left must be padding.
        size_t left = r->pending.size() - r->pendingAt;
        if (left >= sizeof(BlfObjectBase)) {
            ReaderStop(r, CanLogStop::Truncated, r->containerOffset, r->containers,
                       "an object of container %llu (at byte %llu) continues past the end of "
                       "the file",
                       r->containers, r->containerOffset);
        }
        return false;
    }
}
