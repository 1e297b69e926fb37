// The BLF reader on files built here byte by byte: objects that straddle
// containers, object header versions 1 and 2, both time units, stored and
// zlib containers, skipped objects, and files cut short or damaged.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blf_layout.h"
#include "canlogio.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Put(Bytes *b, const void *p, size_t n) {
    b->insert(b->end(), (const uint8_t *)p, (const uint8_t *)p + n);
}

// One inner object: base header, header of the version asked for, body.
Bytes Object(uint32_t type, int version, uint32_t timeFlags, uint64_t stamp, const void *body,
             size_t size) {
    BlfObjectBase base;
    memcpy(base.signature, "LOBJ", 4);
    size_t headerSize = sizeof(base) + (version == 1 ? sizeof(BlfObjectHeaderV1) : sizeof(BlfObjectHeaderV2));
    base.headerSize = (uint16_t)headerSize;
    base.headerVersion = (uint16_t)version;
    base.objectSize = (uint32_t)(headerSize + size);
    base.objectType = type;
    Bytes b;
    Put(&b, &base, sizeof(base));
    if (version == 1) {
        BlfObjectHeaderV1 h = {};
        h.flags = timeFlags;
        h.timeStamp = stamp;
        Put(&b, &h, sizeof(h));
    } else {
        BlfObjectHeaderV2 h = {};
        h.flags = timeFlags;
        h.timeStamp = stamp;
        h.originalTimeStamp = stamp + 7;
        Put(&b, &h, sizeof(h));
    }
    Put(&b, body, size);
    b.resize(b.size() + base.objectSize % 4);
    return b;
}

Bytes CanMessage(uint16_t channel, uint32_t id, uint8_t flags, uint8_t dlc, uint8_t fill,
                 int version = 1, uint32_t timeFlags = BLF_TIME_ONE_NANS, uint64_t stamp = 0) {
    BlfCanMessage m = {};
    m.channel = channel;
    m.id = id;
    m.flags = flags;
    m.dlc = dlc;
    for (int i = 0; i < 8; i++) m.data[i] = (uint8_t)(fill + i);
    return Object(BLF_CAN_MESSAGE, version, timeFlags, stamp, &m, sizeof(m));
}

Bytes Container(const Bytes &inner, bool zlib) {
    Bytes data = inner;
    if (zlib) {
        uLongf n = compressBound((uLong)inner.size());
        data.resize(n);
        compress2(data.data(), &n, inner.data(), (uLong)inner.size(), 6);
        data.resize(n);
    }
    BlfObjectBase base;
    memcpy(base.signature, "LOBJ", 4);
    base.headerSize = sizeof(base);
    base.headerVersion = 1;
    base.objectSize = (uint32_t)(sizeof(base) + sizeof(BlfContainerHeader) + data.size());
    base.objectType = BLF_LOG_CONTAINER;
    BlfContainerHeader h = {};
    h.compression = zlib ? BLF_COMPRESSION_ZLIB : BLF_COMPRESSION_NONE;
    h.uncompressedSize = (uint32_t)inner.size();
    Bytes b;
    Put(&b, &base, sizeof(base));
    Put(&b, &h, sizeof(h));
    Put(&b, data.data(), data.size());
    b.resize(b.size() + base.objectSize % 4);
    return b;
}

Bytes FileHeader(bool dated) {
    BlfFileHeader h = {};
    memcpy(h.signature, "LOGG", 4);
    h.headerSize = sizeof(h);
    if (dated) {
        h.start.year = 2024, h.start.month = 3, h.start.day = 5, h.start.hour = 6;
        h.start.minute = 7, h.start.second = 8, h.start.milliseconds = 9;
    }
    Bytes b;
    Put(&b, &h, sizeof(h));
    return b;
}

std::wstring TempFile() {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"blf", 0, path);
    return path;
}

struct ReadResult {
    std::vector<CanLogRecord> records;
    CanLogReadStatus status;
};

ReadResult ReadBytes(const Bytes &file) {
    std::wstring path = TempFile();
    FILE *f = _wfopen(path.c_str(), L"wb");
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    ReadResult r;
    CanLogReader *reader = NULL;
    EXPECT_TRUE(CanLogReaderOpen(path.c_str(), CanLogFormat::Blf, &reader));
    if (reader) {
        CanLogRecord rec;
        while (CanLogReaderNext(reader, &rec)) r.records.push_back(rec);
        r.status = *CanLogReaderGetStatus(reader);
        CanLogReaderClose(reader);
    }
    DeleteFileW(path.c_str());
    return r;
}

Bytes Concat(const std::vector<Bytes> &parts) {
    Bytes all;
    for (const Bytes &p : parts) Put(&all, p.data(), p.size());
    return all;
}

TEST(CanLogBlfRead, ObjectsStraddlingContainersAtEveryCutReadWhole) {
    Bytes inner = Concat({CanMessage(1, 0x123, 0, 2, 0x10, 1, BLF_TIME_ONE_NANS, 1000),
                          CanMessage(2, 0x1ABCDEF0 | BLF_ID_EXTENDED, BLF_MSG_FLAG_SENT, 8, 0x20, 1,
                                     BLF_TIME_ONE_NANS, 2000),
                          CanMessage(3, 0x7FF, BLF_MSG_FLAG_REMOTE, 4, 0, 1, BLF_TIME_ONE_NANS, 3000)});
    for (size_t cut = 1; cut < inner.size(); cut++) {
        for (bool zlib : {false, true}) {
            Bytes first(inner.begin(), inner.begin() + (ptrdiff_t)cut), second(inner.begin() + (ptrdiff_t)cut, inner.end());
            ReadResult r = ReadBytes(Concat({FileHeader(false), Container(first, zlib), Container(second, zlib)}));
            ASSERT_EQ(3u, r.records.size()) << "cut at " << cut << " zlib " << zlib << ": " << r.status.why;
            EXPECT_EQ(CanLogStop::None, r.status.stop) << cut;
            EXPECT_EQ(0x1ABCDEF0u, r.records[1].id);
            EXPECT_TRUE(r.records[1].extended);
            EXPECT_EQ('T', r.records[1].direction);
            EXPECT_EQ(0x27, r.records[1].data[7]);
            EXPECT_EQ(2000u, r.records[1].timeNs);
            EXPECT_TRUE(r.records[2].remote);
            EXPECT_EQ(4u, r.records[2].length);
            EXPECT_EQ(3u, r.records[2].channel);
        }
    }
}

TEST(CanLogBlfRead, HeaderVersionsAndTimeUnits) {
    Bytes inner = Concat({CanMessage(1, 0x100, 0, 1, 1, 1, BLF_TIME_TEN_MICS, 12345),
                          CanMessage(1, 0x101, 0, 1, 1, 2, BLF_TIME_TEN_MICS, 12346),
                          CanMessage(1, 0x102, 0, 1, 1, 2, BLF_TIME_ONE_NANS, 123456789),
                          CanMessage(1, 0x103, 0, 1, 1, 1, BLF_TIME_ONE_NANS, 5)});
    ReadResult r = ReadBytes(Concat({FileHeader(true), Container(inner, true)}));
    ASSERT_EQ(4u, r.records.size()) << r.status.why;
    // The start date is local time; the records count from it.
    SYSTEMTIME local = {2024, 3, 0, 5, 6, 7, 8, 9}, utc;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(NULL, &local, &utc));
    FILETIME ft;
    SystemTimeToFileTime(&utc, &ft);
    uint64_t start = ((((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) - 116444736000000000ull) * 100u;
    EXPECT_EQ(start, r.status.startDateNs);
    EXPECT_EQ(start + 123450000u, r.records[0].timeNs);
    EXPECT_EQ(start + 123460000u, r.records[1].timeNs);
    EXPECT_EQ(start + 123456789u, r.records[2].timeNs);
    EXPECT_EQ(start + 5u, r.records[3].timeNs);
    for (int i = 0; i < 4; i++) EXPECT_EQ(0x100u + (uint32_t)i, r.records[(size_t)i].id);
}

TEST(CanLogBlfRead, FdAndOtherObjectsAreSkippedAndCountedErrorFramesRead) {
    uint8_t fd[84] = {};
    uint8_t text[16] = {};
    BlfCanErrorExt err = {};
    err.channel = 2;
    err.dlc = 8;
    err.id = 0x84;
    err.data[6] = 0x04, err.data[7] = 0x5D;  // Windows error 1117 as candump keeps it
    err.data[1] = 0x01;
    BlfCanError oldErr = {3, 0};
    Bytes inner = Concat({Object(BLF_CAN_FD_MESSAGE, 1, 2, 1, fd, sizeof(fd)),
                          Object(BLF_CAN_FD_MESSAGE_64, 1, 2, 2, fd, sizeof(fd)),
                          Object(65, 1, 2, 3, text, sizeof(text)),
                          Object(BLF_CAN_ERROR_EXT, 1, 2, 4, &err, sizeof(err)),
                          Object(BLF_CAN_ERROR, 1, 2, 5, &oldErr, sizeof(oldErr)),
                          CanMessage(1, 0x200, 0, 0, 0)});
    ReadResult r = ReadBytes(Concat({FileHeader(false), Container(inner, false)}));
    ASSERT_EQ(3u, r.records.size()) << r.status.why;
    EXPECT_EQ(2u, r.status.skippedFd);
    EXPECT_EQ(1u, r.status.skippedOther);
    EXPECT_EQ(2u, r.status.errorFrames);
    EXPECT_EQ(1u, r.status.frames);
    EXPECT_TRUE(r.records[0].isError);
    EXPECT_EQ(2u, r.records[0].channel);
    EXPECT_EQ(1117u, r.records[0].errorCode);
    EXPECT_TRUE(r.records[1].isError);
    EXPECT_EQ(3u, r.records[1].channel);
}

TEST(CanLogBlfRead, DamageStopsTheReaderAfterWhatCameBefore) {
    Bytes first = Container(Concat({CanMessage(1, 0x1, 0, 1, 1), CanMessage(1, 0x2, 0, 1, 1)}), true);
    Bytes second = Container(Concat({CanMessage(1, 0x3, 0, 1, 1)}), true);
    Bytes header = FileHeader(false);
    size_t secondAt = header.size() + first.size();
    {
        // Cut inside the second container.
        Bytes file = Concat({header, first, second});
        file.resize(secondAt + 20);
        ReadResult r = ReadBytes(file);
        EXPECT_EQ(2u, r.records.size());
        EXPECT_EQ(CanLogStop::Truncated, r.status.stop);
        EXPECT_EQ(secondAt, r.status.stopOffset);
        EXPECT_EQ(2u, r.status.stopItem);
        EXPECT_NE(nullptr, strstr(r.status.why, "container 2")) << r.status.why;
    }
    {
        // zlib data damaged in the second container.
        Bytes file = Concat({header, first, second});
        file[secondAt + 40] ^= 0xFF;
        file[secondAt + 41] ^= 0xFF;
        ReadResult r = ReadBytes(file);
        EXPECT_EQ(2u, r.records.size());
        EXPECT_EQ(CanLogStop::Corrupt, r.status.stop);
        EXPECT_EQ(secondAt, r.status.stopOffset);
    }
    {
        // An object whose second half never comes.
        Bytes inner = Concat({CanMessage(1, 0x1, 0, 1, 1), CanMessage(1, 0x2, 0, 1, 1)});
        Bytes cut(inner.begin(), inner.end() - 10);
        ReadResult r = ReadBytes(Concat({header, Container(cut, false)}));
        EXPECT_EQ(1u, r.records.size());
        EXPECT_EQ(CanLogStop::Truncated, r.status.stop);
    }
    {
        // Garbage where an object should start.
        Bytes file = Concat({header, first});
        file.insert(file.end(), 32, 0xAB);
        ReadResult r = ReadBytes(file);
        EXPECT_EQ(2u, r.records.size());
        EXPECT_EQ(CanLogStop::Corrupt, r.status.stop);
        EXPECT_EQ(secondAt, r.status.stopOffset);
    }
}

}  // namespace
