// The format-independent part of canlogio: opening, format choice,
// buffered input, channel names, time conversion (see canlogio.h).
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#include "canlogio_internal.h"

namespace {

const size_t kInputBuffer = 1u << 16;
const uint64_t kFileTimeTo1970 = 116444736000000000ull;  // 100 ns units 1601..1970

bool IsStdio(const wchar_t *path) {
    return wcscmp(path, L"-") == 0;
}

bool Refill(CanLogInput *in) {
    if (in->eof) return false;
    if (in->at > 0) {
        memmove(in->buffer.data(), in->buffer.data() + in->at, in->end - in->at);
        in->end -= in->at;
        in->at = 0;
    }
    size_t n = fread(in->buffer.data() + in->end, 1, in->buffer.size() - in->end, in->file);
    if (n == 0) in->eof = true;
    in->end += n;
    return n != 0;
}

// The format by content: BLF's signature, a candump line's '(' on the
// first line that is neither blank nor a '#' comment, otherwise ASC.
CanLogFormat Sniff(CanLogInput *in) {
    const uint8_t *p;
    size_t n = InputPeek(in, 4096, &p);
    if (n >= 4 && memcmp(p, BLF_FILE_SIGNATURE, 4) == 0) return CanLogFormat::Blf;
    for (size_t i = 0; i < n; i++) {
        if (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n') continue;
        if (p[i] == '#') {
            while (i < n && p[i] != '\n') i++;
            continue;
        }
        return p[i] == '(' ? CanLogFormat::Candump : CanLogFormat::Asc;
    }
    return CanLogFormat::Candump;
}

}  // namespace

bool InputOpen(CanLogInput *in, const wchar_t *path) {
    in->ownFile = !IsStdio(path);
    if (in->ownFile) {
        in->file = _wfopen(path, L"rb");
        if (in->file == NULL) return false;
    } else {
        in->file = stdin;
        _setmode(_fileno(stdin), _O_BINARY);
    }
    in->buffer.resize(kInputBuffer);
    in->at = in->end = 0;
    in->consumed = 0;
    in->eof = false;
    return true;
}

void InputClose(CanLogInput *in) {
    if (in->ownFile && in->file) fclose(in->file);
    in->file = NULL;
}

size_t InputPeek(CanLogInput *in, size_t n, const uint8_t **bytes) {
    if (n > in->buffer.size()) n = in->buffer.size();
    while (in->end - in->at < n && Refill(in)) {
    }
    *bytes = in->buffer.data() + in->at;
    return in->end - in->at < n ? in->end - in->at : n;
}

size_t InputRead(CanLogInput *in, void *to, size_t n) {
    uint8_t *out = (uint8_t *)to;
    size_t done = 0;
    while (done < n) {
        if (in->at == in->end && !Refill(in)) break;
        size_t take = in->end - in->at;
        if (take > n - done) take = n - done;
        memcpy(out + done, in->buffer.data() + in->at, take);
        in->at += take;
        done += take;
    }
    in->consumed += done;
    return done;
}

bool InputReadLine(CanLogInput *in, char *line, size_t size, bool *tooLong) {
    size_t len = 0;
    *tooLong = false;
    bool any = false;
    for (;;) {
        if (in->at == in->end && !Refill(in)) break;
        any = true;
        uint8_t c = in->buffer[in->at++];
        in->consumed++;
        if (c == '\n') break;
        if (len + 1 < size)
            line[len++] = (char)c;
        else
            *tooLong = true;
    }
    if (len > 0 && line[len - 1] == '\r') len--;
    line[len] = 0;
    return any;
}

uint32_t ChannelForName(CanLogChannelMap *map, const char *name) {
    for (uint32_t i = 0; i < map->count; i++)
        if (strcmp(map->names[i], name) == 0) return map->channels[i];
    // "canN" keeps its number where it is free.
    uint32_t wanted = 0;
    if (strncmp(name, "can", 3) == 0 && name[3] >= '0' && name[3] <= '9' && strlen(name) <= 6) {
        char *end;
        unsigned long n = strtoul(name + 3, &end, 10);
        if (*end == 0) wanted = (uint32_t)n + 1;
    }
    auto taken = [map](uint32_t c) {
        for (uint32_t i = 0; i < map->count; i++)
            if (map->channels[i] == c) return true;
        return false;
    };
    if (wanted == 0 || taken(wanted)) {
        wanted = 1;
        while (taken(wanted)) wanted++;
    }
    if (map->count < CAN_LOG_MAX_NAMES) {
        snprintf(map->names[map->count], sizeof(map->names[0]), "%s", name);
        map->channels[map->count++] = wanted;
    }
    return wanted;
}

void NameForChannel(uint32_t channel, char *name, size_t size) {
    snprintf(name, size, "can%lu", (unsigned long)(channel ? channel - 1 : 0));
}

uint64_t CanLogWallClockNs() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return t > kFileTimeTo1970 ? (t - kFileTimeTo1970) * 100u : 0;
}

uint64_t LocalSystemTimeToNs(const SYSTEMTIME *local) {
    if (local->wYear == 0) return 0;
    SYSTEMTIME utc;
    FILETIME ft;
    if (!TzSpecificLocalTimeToSystemTime(NULL, local, &utc) || !SystemTimeToFileTime(&utc, &ft))
        return 0;
    uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return t > kFileTimeTo1970 ? (t - kFileTimeTo1970) * 100u : 0;
}

void NsToLocalSystemTime(uint64_t ns, SYSTEMTIME *local) {
    uint64_t t = ns / 100u + kFileTimeTo1970;
    FILETIME ft = {(DWORD)t, (DWORD)(t >> 32)};
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(NULL, &utc, local))
        memset(local, 0, sizeof(*local));
}

CanLogFormat CanLogFormatFromName(const wchar_t *name) {
    if (_wcsicmp(name, L"log") == 0) return CanLogFormat::Candump;
    if (_wcsicmp(name, L"asc") == 0) return CanLogFormat::Asc;
    if (_wcsicmp(name, L"blf") == 0) return CanLogFormat::Blf;
    return CanLogFormat::Unknown;
}

CanLogFormat CanLogFormatFromPath(const wchar_t *path) {
    const wchar_t *dot = wcsrchr(path, L'.');
    if (dot == NULL || wcspbrk(dot, L"\\/") != NULL) return CanLogFormat::Unknown;
    return CanLogFormatFromName(dot + 1);
}

const char *CanLogFormatName(CanLogFormat format) {
    switch (format) {
    case CanLogFormat::Candump: return "log";
    case CanLogFormat::Asc: return "asc";
    case CanLogFormat::Blf: return "blf";
    case CanLogFormat::Unknown: break;
    }
    return "unknown";
}

void ReaderStop(CanLogReader *r, CanLogStop stop, unsigned long long offset,
                unsigned long long item, const char *format, ...) {
    r->done = true;
    r->status.stop = stop;
    r->status.stopOffset = offset;
    r->status.stopItem = item;
    va_list args;
    va_start(args, format);
    vsnprintf(r->status.why, sizeof(r->status.why), format, args);
    va_end(args);
}

BOOL CanLogReaderOpen(const wchar_t *path, CanLogFormat format, CanLogReader **reader) {
    *reader = NULL;
    CanLogReader *r = new CanLogReader();
    if (!InputOpen(&r->input, path)) {
        DWORD e = GetLastError();
        delete r;
        SetLastError(e ? e : ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (format == CanLogFormat::Unknown && !IsStdio(path)) format = CanLogFormatFromPath(path);
    if (format == CanLogFormat::Unknown) format = Sniff(&r->input);
    r->status.format = format;
    CanAscReaderInit(&r->asc);
    if (format == CanLogFormat::Blf && !BlfReaderOpen(r)) {
        InputClose(&r->input);
        delete r;
        SetLastError(ERROR_BAD_FORMAT);
        return FALSE;
    }
    *reader = r;
    return TRUE;
}

BOOL CanLogReaderNext(CanLogReader *r, CanLogRecord *record) {
    if (r->done) return FALSE;
    memset(record, 0, sizeof(*record));
    bool got = r->status.format == CanLogFormat::Blf ? BlfReaderNext(r, record)
                                                     : TextReaderNext(r, record);
    if (!got) {
        r->done = true;
        return FALSE;
    }
    if (record->isError)
        r->status.errorFrames++;
    else
        r->status.frames++;
    return TRUE;
}

const CanLogReadStatus *CanLogReaderGetStatus(const CanLogReader *r) {
    return &r->status;
}

unsigned long long CanLogReaderPosition(const CanLogReader *r) {
    return r->input.consumed;
}

void CanLogReaderClose(CanLogReader *r) {
    if (r == NULL) return;
    InputClose(&r->input);
    delete r;
}

CanLogWriterOptions CanLogWriterDefaults(CanLogFormat format) {
    CanLogWriterOptions o;
    memset(&o, 0, sizeof(o));
    o.format = format;
    o.blfCompression = -1;
    return o;
}

void WriterFixOrigin(CanLogWriter *w, uint64_t firstTimeNs) {
    if (w->originKnown) return;
    w->originKnown = true;
    const CanLogWriterOptions &o = w->options;
    // Dates hold milliseconds: the origin moves back to a whole millisecond
    // of its wall-clock time, so that date plus offset is the time to the
    // nanosecond.
    if (o.haveOrigin && o.originWallClockNs != 0) {
        uint64_t subMs = o.originWallClockNs % 1000000u;
        w->dateNs = o.originWallClockNs - subMs;
        w->originNs = o.originNs > subMs ? o.originNs - subMs : 0;
        return;
    }
    uint64_t origin = o.haveOrigin ? o.originNs : firstTimeNs;
    w->originNs = origin - origin % 1000000u;
    w->dateNs = w->originNs;
}

BOOL CanLogWriterOpen(const wchar_t *path, const CanLogWriterOptions *options,
                      CanLogWriter **writer) {
    *writer = NULL;
    if (options->format == CanLogFormat::Unknown) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CanLogWriter *w = new CanLogWriter();
    w->options = *options;
    w->ownFile = !IsStdio(path);
    bool binary = options->format == CanLogFormat::Blf;
    if (w->ownFile) {
        // Text in text mode: CRLF line ends, as candump has always written.
        w->file = _wfopen(path, binary ? L"w+b" : L"w");
        if (w->file == NULL) {
            DWORD e = GetLastError();
            delete w;
            SetLastError(e ? e : ERROR_ACCESS_DENIED);
            return FALSE;
        }
    } else {
        w->file = stdout;
        if (binary) _setmode(_fileno(stdout), _O_BINARY);
    }
    w->seekable = w->ownFile;
    if (options->haveOrigin) {
        WriterFixOrigin(w, options->originNs);
        if (!TextWriterBegin(w)) w->failed = true;
    }
    *writer = w;
    return TRUE;
}

BOOL CanLogWriterWrite(CanLogWriter *w, const CanLogRecord *record) {
    if (w->failed) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    WriterFixOrigin(w, record->timeNs);
    bool ok = w->options.format == CanLogFormat::Blf ? BlfWriterWrite(w, record)
                                                     : TextWriterWrite(w, record);
    if (!ok) {
        w->failed = true;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    w->count++;
    return TRUE;
}

BOOL CanLogWriterFlushIfDue(CanLogWriter *w) {
    if (w->failed) return FALSE;
    if (w->options.format != CanLogFormat::Blf) return fflush(w->file) == 0;
    if (w->container.empty() || GetTickCount64() - w->pendingSince < 1000) return TRUE;
    if (!BlfWriterFlush(w)) {
        w->failed = true;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

unsigned long long CanLogWriterCount(const CanLogWriter *w) {
    return w->count;
}

BOOL CanLogWriterClose(CanLogWriter *w) {
    if (w == NULL) return TRUE;
    bool ok = !w->failed;
    if (ok) ok = w->options.format == CanLogFormat::Blf ? BlfWriterClose(w) : TextWriterClose(w);
    if (fflush(w->file) != 0) ok = false;
    if (w->ownFile && fclose(w->file) != 0) ok = false;
    delete w;
    if (!ok) SetLastError(ERROR_WRITE_FAULT);
    return ok ? TRUE : FALSE;
}
