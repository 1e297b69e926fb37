// Writing Vector BLF (see blf_layout.h): CAN_MESSAGE and CAN_ERROR_EXT
// objects (header version 1, nanoseconds from the start date) gathered in
// log containers of up to 128 KiB, compressed with zlib. The file header
// (dates and counts) is rewritten after every container, so a file whose
// writer dies is readable up to its last container.
#include <string.h>
#include <zlib.h>

#include "canlogio_internal.h"

namespace {

const size_t kContainerMax = 128u * 1024u;

void SystemTimeOf(uint64_t ns, BlfSystemTime *out) {
    SYSTEMTIME t;
    NsToLocalSystemTime(ns, &t);
    memcpy(out, &t, sizeof(*out));
}

bool WriteHeader(CanLogWriter *w) {
    long long end = 0;
    if (w->headerWritten) {
        if (!w->seekable) return true;
        end = _ftelli64(w->file);
        if (end < 0 || _fseeki64(w->file, 0, SEEK_SET) != 0) return false;
    }
    BlfFileHeader h;
    memset(&h, 0, sizeof(h));
    memcpy(h.signature, BLF_FILE_SIGNATURE, 4);
    h.headerSize = sizeof(h);
    h.application[0] = 5;  // the application id python-can also gives
    h.binLog[0] = 2, h.binLog[1] = 6, h.binLog[2] = 8, h.binLog[3] = 1;
    h.fileSize = w->headerWritten ? (uint64_t)end : sizeof(h);
    h.uncompressedSize = sizeof(h) + w->blfUncompressed;
    h.objectCount = (uint32_t)w->blfObjects;
    SystemTimeOf(w->dateNs, &h.start);
    SystemTimeOf(w->dateNs + w->lastOffsetNs, &h.stop);
    if (fwrite(&h, sizeof(h), 1, w->file) != 1) return false;
    if (w->headerWritten && _fseeki64(w->file, end, SEEK_SET) != 0) return false;
    w->headerWritten = true;
    return true;
}

void Append(std::vector<uint8_t> *to, const void *p, size_t n) {
    const uint8_t *b = (const uint8_t *)p;
    to->insert(to->end(), b, b + n);
}

void AddObject(CanLogWriter *w, uint32_t type, uint64_t offsetNs, const void *body, size_t size) {
    BlfObjectBase base;
    memcpy(base.signature, BLF_OBJECT_SIGNATURE, 4);
    base.headerSize = sizeof(BlfObjectBase) + sizeof(BlfObjectHeaderV1);
    base.headerVersion = 1;
    base.objectSize = (uint32_t)(base.headerSize + size);
    base.objectType = type;
    BlfObjectHeaderV1 h;
    memset(&h, 0, sizeof(h));
    h.flags = BLF_TIME_ONE_NANS;
    h.timeStamp = offsetNs;
    if (w->container.empty()) w->pendingSince = GetTickCount64();
    Append(&w->container, &base, sizeof(base));
    Append(&w->container, &h, sizeof(h));
    Append(&w->container, body, size);
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    Append(&w->container, zeros, base.objectSize % 4);
    w->blfObjects++;
}

}  // namespace

bool BlfWriterFlush(CanLogWriter *w) {
    if (!w->headerWritten && !WriteHeader(w)) return false;
    if (w->container.empty()) return true;
    const uint8_t *data = w->container.data();
    uLong size = (uLong)w->container.size();
    uint16_t method = BLF_COMPRESSION_NONE;
    if (w->options.blfCompression != 0) {
        uLongf packedSize = compressBound(size);
        w->packed.resize(packedSize);
        if (compress2(w->packed.data(), &packedSize, data, size, w->options.blfCompression) != Z_OK)
            return false;
        data = w->packed.data();
        size = packedSize;
        method = BLF_COMPRESSION_ZLIB;
    }
    BlfObjectBase base;
    memcpy(base.signature, BLF_OBJECT_SIGNATURE, 4);
    base.headerSize = sizeof(BlfObjectBase);
    base.headerVersion = 1;
    base.objectSize = (uint32_t)(sizeof(BlfObjectBase) + sizeof(BlfContainerHeader) + size);
    base.objectType = BLF_LOG_CONTAINER;
    BlfContainerHeader h;
    memset(&h, 0, sizeof(h));
    h.compression = method;
    h.uncompressedSize = (uint32_t)w->container.size();
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    bool ok = fwrite(&base, sizeof(base), 1, w->file) == 1 && fwrite(&h, sizeof(h), 1, w->file) == 1 &&
              fwrite(data, 1, size, w->file) == size &&
              fwrite(zeros, 1, base.objectSize % 4, w->file) == base.objectSize % 4;
    if (!ok) return false;
    w->blfUncompressed += sizeof(BlfObjectBase) + sizeof(BlfContainerHeader) + w->container.size();
    w->container.clear();
    // The header follows the data to disk: a reader never sees counts of
    // a container that is not there.
    return fflush(w->file) == 0 && WriteHeader(w) && fflush(w->file) == 0;
}

bool BlfWriterWrite(CanLogWriter *w, const CanLogRecord *rec) {
    uint64_t offset = rec->timeNs > w->originNs ? rec->timeNs - w->originNs : 0;
    if (offset > w->lastOffsetNs) w->lastOffsetNs = offset;
    uint16_t channel = (uint16_t)(rec->channel ? rec->channel : 1);
    uint32_t id = rec->id | (rec->extended ? BLF_ID_EXTENDED : 0);
    if (rec->isError) {
        BlfCanErrorExt e;
        memset(&e, 0, sizeof(e));
        e.channel = channel;
        e.dlc = 8;
        // The Linux error frame of the entry: class bits and the bytes
        // that keep the Windows error code.
        RxMsg frame = {};
        CanErrorFrameEncode(rec->errorCode, &frame);
        e.id = frame.can.id & ~CAN_ERR_FLAG;
        memcpy(e.data, frame.can.data, sizeof(e.data));
        AddObject(w, BLF_CAN_ERROR_EXT, offset, &e, sizeof(e));
    } else {
        BlfCanMessage m;
        memset(&m, 0, sizeof(m));
        m.channel = channel;
        m.flags = (uint8_t)((rec->remote ? BLF_MSG_FLAG_REMOTE : 0) |
                            (rec->direction == 'T' ? BLF_MSG_FLAG_SENT : 0));
        m.dlc = (uint8_t)(rec->length > 8 ? 8 : rec->length);
        m.id = id;
        if (!rec->remote) memcpy(m.data, rec->data, m.dlc);
        AddObject(w, BLF_CAN_MESSAGE, offset, &m, sizeof(m));
    }
    if (w->container.size() + 64 > kContainerMax) return BlfWriterFlush(w);
    return true;
}

bool BlfWriterClose(CanLogWriter *w) {
    if (!w->originKnown) WriterFixOrigin(w, CanLogWallClockNs());
    return BlfWriterFlush(w) && WriteHeader(w);
}
