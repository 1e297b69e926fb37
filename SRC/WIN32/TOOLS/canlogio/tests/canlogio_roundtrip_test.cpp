// Every format written by canlogio and read back by it: each record's
// flags, channel, data and time survive; a BLF writer that never closes
// leaves a file readable up to its last container.
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "canlogio.h"

namespace {

std::wstring TempFile(const wchar_t *ext) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"clg", 0, path);
    DeleteFileW(path);
    return std::wstring(path) + ext;
}

CanLogRecord Frame(uint64_t timeNs, uint32_t channel, uint32_t id, bool extended, bool remote,
                   char direction, uint32_t length) {
    CanLogRecord r;
    memset(&r, 0, sizeof(r));
    r.timeNs = timeNs;
    r.channel = channel;
    r.id = id;
    r.extended = extended;
    r.remote = remote;
    r.direction = direction;
    r.length = length;
    for (uint32_t i = 0; i < length && !remote; i++) r.data[i] = (uint8_t)(id + i * 17);
    return r;
}

std::vector<CanLogRecord> Sample() {
    const uint64_t t0 = 1700000000123000000ull;  // a date, on a whole millisecond
    std::vector<CanLogRecord> v;
    v.push_back(Frame(t0, 1, 0x123, false, false, 'R', 8));
    v.push_back(Frame(t0 + 1000, 2, 0x1F334455, true, false, 'T', 3));
    v.push_back(Frame(t0 + 2000, 3, 0x100, true, false, 'R', 1));  // extended, small id
    v.push_back(Frame(t0 + 3000, 1, 0x7FF, false, true, 'R', 4));
    v.push_back(Frame(t0 + 4000, 2, 0x1ABCDEF0, true, true, 'T', 0));
    CanLogRecord e;
    memset(&e, 0, sizeof(e));
    e.timeNs = t0 + 5000;
    e.channel = 2;
    e.isError = 1;
    e.errorCode = 1117;
    v.push_back(e);
    v.push_back(Frame(t0 + 1234567000, 1, 0x000, false, false, 'R', 0));
    return v;
}

std::vector<CanLogRecord> ReadAll(const std::wstring &path, CanLogReadStatus *status) {
    std::vector<CanLogRecord> out;
    CanLogReader *reader = NULL;
    EXPECT_TRUE(CanLogReaderOpen(path.c_str(), CanLogFormat::Unknown, &reader));
    if (!reader) return out;
    CanLogRecord r;
    while (CanLogReaderNext(reader, &r)) out.push_back(r);
    *status = *CanLogReaderGetStatus(reader);
    CanLogReaderClose(reader);
    return out;
}

TEST(CanLogRoundTrip, EveryFormatKeepsEveryField) {
    const struct {
        const wchar_t *ext;
        CanLogFormat format;
        int compression;
        bool keepsErrorCode;
    } cases[] = {{L".log", CanLogFormat::Candump, -1, true},
                 {L".asc", CanLogFormat::Asc, -1, false},
                 {L".blf", CanLogFormat::Blf, 0, true},
                 {L".blf", CanLogFormat::Blf, 9, true}};
    std::vector<CanLogRecord> sample = Sample();
    for (const auto &c : cases) {
        std::wstring path = TempFile(c.ext);
        CanLogWriterOptions o = CanLogWriterDefaults(c.format);
        o.blfCompression = c.compression;
        CanLogWriter *w = NULL;
        ASSERT_TRUE(CanLogWriterOpen(path.c_str(), &o, &w));
        for (const CanLogRecord &r : sample) ASSERT_TRUE(CanLogWriterWrite(w, &r));
        ASSERT_TRUE(CanLogWriterClose(w));
        CanLogReadStatus st;
        std::vector<CanLogRecord> got = ReadAll(path, &st);
        DeleteFileW(path.c_str());
        SCOPED_TRACE(CanLogFormatName(c.format));
        EXPECT_EQ(c.format, st.format);
        EXPECT_EQ(CanLogStop::None, st.stop) << st.why;
        ASSERT_EQ(sample.size(), got.size());
        EXPECT_EQ(6u, st.frames);
        EXPECT_EQ(1u, st.errorFrames);
        for (size_t i = 0; i < sample.size(); i++) {
            const CanLogRecord &a = sample[i], &b = got[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(a.timeNs, b.timeNs);
            EXPECT_EQ(a.channel, b.channel);
            EXPECT_EQ(a.isError, b.isError);
            if (a.isError) {
                if (c.keepsErrorCode) {
                    EXPECT_EQ(a.errorCode, b.errorCode);
                }
                continue;
            }
            EXPECT_EQ(a.id, b.id);
            EXPECT_EQ(a.extended, b.extended);
            EXPECT_EQ(a.remote, b.remote);
            EXPECT_EQ(a.direction, b.direction);
            EXPECT_EQ(a.length, b.length);
            EXPECT_EQ(0, memcmp(a.data, b.data, a.remote ? 0 : a.length));
        }
    }
}

TEST(CanLogRoundTrip, CandumpNamesBecomeChannels) {
    std::wstring path = TempFile(L".log");
    FILE *f = _wfopen(path.c_str(), L"wb");
    fputs("(1.000000) CAN1 123#01\n(1.100000) can3 123#02\n(1.200000) VCAN1 123#03\n"
          "(1.300000) can0 123#04\n(1.400000) CAN1 00000123#05\n(1.500000) CAN1 123##311\n",
          f);
    fclose(f);
    CanLogReadStatus st;
    std::vector<CanLogRecord> got = ReadAll(path, &st);
    DeleteFileW(path.c_str());
    ASSERT_EQ(5u, got.size());
    // "canN" keeps N + 1 where it is free; other names take the next free number.
    EXPECT_EQ(1u, got[0].channel);
    EXPECT_EQ(4u, got[1].channel);
    EXPECT_EQ(2u, got[2].channel);
    EXPECT_EQ(3u, got[3].channel);  // channel 1 is CAN1's
    EXPECT_STREQ("CAN1", got[4].iface);
    EXPECT_TRUE(got[4].extended);
    EXPECT_FALSE(got[0].extended);
    EXPECT_EQ(1u, st.skippedFd);
}

TEST(CanLogRoundTrip, UnclosedBlfWriterLeavesItsContainersReadable) {
    std::wstring path = TempFile(L".blf");
    CanLogWriterOptions o = CanLogWriterDefaults(CanLogFormat::Blf);
    CanLogWriter *w = NULL;
    ASSERT_TRUE(CanLogWriterOpen(path.c_str(), &o, &w));
    // 48 bytes an object: 10,000 frames fill three containers and start a fourth.
    const unsigned n = 10000;
    for (unsigned i = 0; i < n; i++) {
        CanLogRecord r = Frame(1000000000ull + i * 1000ull, 1 + i % 3, i % 0x800, false, false, 'R', 8);
        ASSERT_TRUE(CanLogWriterWrite(w, &r));
    }
    CanLogReadStatus st;
    std::vector<CanLogRecord> got = ReadAll(path, &st);
    EXPECT_EQ(CanLogStop::None, st.stop) << st.why;
    EXPECT_GT(got.size(), 7000u);
    EXPECT_LT(got.size(), (size_t)n);
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(i % 0x800, got[i].id);
    ASSERT_TRUE(CanLogWriterClose(w));
    got = ReadAll(path, &st);
    EXPECT_EQ((size_t)n, got.size());
    DeleteFileW(path.c_str());
}

}  // namespace
