// candb figures: how long a large DBC file takes to parse, and how many
// frames a second one core decodes into physical values.
//
//   candb_bench                          a generated database of 300 messages and
//                                        2,000 signals, parsed and decoded here
//   candb_bench FILE.dbc FRAMES.txt [N]  FILE parsed, the frames ("ID EXT HEX"
//                                        lines) decoded N times over (default: at
//                                        least a million frames in all)
//
// The last line of each figure is "key: value" so that a script (the
// canmatrix comparison, candb_bench.py) can read it.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "candb.h"

namespace {

constexpr int PARSE_RUNS = 5;
constexpr size_t DECODE_FRAMES_MIN = 1000000;

struct Frame {
    uint32_t id;
    bool ext;
    unsigned length;
    uint8_t data[CANDB_MAX_FRAME_BYTES];
};

double Seconds()
{
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return (double)c.QuadPart / (double)f.QuadPart;
}

uint32_t NextRandom(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

// 300 messages of 6 or 7 signals (2,000 in all) that tile their 8 bytes,
// Intel and Motorola, signed and unsigned, scaled; value tables, comments,
// cycle times and start values as a real file carries them.
std::string GeneratedDbc()
{
    std::string text = "VERSION \"bench\"\n\nNS_ :\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n\nBS_:\n\nBU_: ECU Dash Body\n\n";
    std::string tail = "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\nBA_DEF_ SG_ \"GenSigStartValue\" FLOAT 0 1e9;\n"
                       "BA_DEF_DEF_ \"GenMsgCycleTime\" 100;\nBA_DEF_DEF_ \"GenSigStartValue\" 0;\n";
    const unsigned widths7[] = {8, 8, 8, 8, 8, 12, 12};
    const unsigned widths6[] = {16, 8, 8, 8, 12, 12};
    char line[256];
    for (unsigned m = 0; m < 300; m++) {
        bool ext = m % 3 == 0;
        uint32_t id = ext ? 0x18F00000u + m : 0x100u + m;
        unsigned count = m < 200 ? 7 : 6;  // 200 * 7 + 100 * 6 = 2,000
        const unsigned *widths = count == 7 ? widths7 : widths6;
        bool motorola = m % 2 == 1;
        snprintf(line, sizeof(line), "BO_ %lu MSG%u: 8 %s\n", (unsigned long)(ext ? id | 0x80000000u : id), m,
                 m % 3 == 0 ? "ECU" : m % 3 == 1 ? "Dash" : "Body");
        text += line;
        unsigned bit = 0;
        for (unsigned s = 0; s < count; s++) {
            unsigned width = widths[s];
            // Motorola start bits name the MSB: byte and bit of the signal's
            // first bit in big-endian order.
            unsigned start = motorola ? (bit / 8) * 8 + 7 - bit % 8 : bit;
            bool isSigned = s % 3 == 2;
            snprintf(line, sizeof(line), " SG_ M%uS%u : %u|%u@%c%c (%s,%s) [0|0] \"%s\" Dash,Body\n", m, s, start,
                     width, motorola ? '0' : '1', isSigned ? '-' : '+', s % 2 ? "0.125" : "1",
                     s % 4 == 1 ? "-40" : "0", s % 2 ? "km/h" : "");
            text += line;
            if (s == 0) {
                snprintf(line, sizeof(line), "VAL_ %lu M%uS0 0 \"Off\" 1 \"On\" 2 \"Error\" 3 \"Unknown\" ;\n",
                         (unsigned long)(ext ? id | 0x80000000u : id), m);
                tail += line;
            }
            if (s == 1) {
                snprintf(line, sizeof(line), "BA_ \"GenSigStartValue\" SG_ %lu M%uS1 %u;\n",
                         (unsigned long)(ext ? id | 0x80000000u : id), m, m % 100);
                tail += line;
            }
            bit += width;
        }
        snprintf(line, sizeof(line), "CM_ BO_ %lu \"Message %u of the bench\";\nBA_ \"GenMsgCycleTime\" BO_ %lu %u;\n",
                 (unsigned long)(ext ? id | 0x80000000u : id), m, (unsigned long)(ext ? id | 0x80000000u : id),
                 10 * (1 + m % 10));
        tail += line;
        text += "\n";
    }
    return text + tail;
}

std::vector<Frame> RandomFrames(const CanDatabase *db, size_t n)
{
    std::vector<Frame> frames(n);
    uint32_t state = 0x2545F491u;
    for (Frame &f : frames) {
        const CanDbMessage &m = db->messages[NextRandom(&state) % db->messages.size()];
        f.id = m.id;
        f.ext = m.ext;
        f.length = 8;
        for (uint8_t &b : f.data) b = (uint8_t)NextRandom(&state);
    }
    return frames;
}

bool ReadFrames(const char *path, std::vector<Frame> *frames)
{
    FILE *in = fopen(path, "r");
    if (!in) return false;
    char line[256];
    while (fgets(line, sizeof(line), in)) {
        Frame f = {};
        unsigned long id = 0;
        int ext = 0;
        char hex[64] = {0};
        if (sscanf(line, "%lx %d %63s", &id, &ext, hex) < 3) continue;
        f.id = (uint32_t)id;
        f.ext = ext != 0;
        f.length = (unsigned)std::min(strlen(hex) / 2, (size_t)CANDB_MAX_FRAME_BYTES);
        for (unsigned i = 0; i < f.length; i++) {
            char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
            f.data[i] = (uint8_t)strtoul(pair, nullptr, 16);
        }
        frames->push_back(f);
    }
    fclose(in);
    return !frames->empty();
}

// The best of a few parses, in milliseconds (the first warms the caches).
bool TimeParse(const std::string &text, const char *name, CanDatabase *db, double *bestMs)
{
    *bestMs = 1e30;
    for (int run = 0; run < PARSE_RUNS; run++) {
        CanDatabase parsed;
        CanDbError error;
        double start = Seconds();
        if (!CanDbParseText(text.data(), text.size(), name, &parsed, &error)) {
            fprintf(stderr, "candb_bench: %s\n", CanDbErrorText(&error).c_str());
            return false;
        }
        *bestMs = std::min(*bestMs, (Seconds() - start) * 1e3);
        if (run == PARSE_RUNS - 1) *db = std::move(parsed);
    }
    return true;
}

// Finds each frame's message and decodes it, as candump -d does for every
// frame; passes over the frames until at least minFrames are done.
void TimeDecode(const CanDatabase *db, const std::vector<Frame> &frames, size_t passes)
{
    std::vector<CanDbValue> values(1024);
    size_t decoded = 0, present = 0, unknown = 0;
    double checksum = 0;
    double start = Seconds();
    for (size_t pass = 0; pass < passes; pass++) {
        for (const Frame &f : frames) {
            const CanDbMessage *m = CanDbFindMessage(db, f.id, f.ext);
            if (!m || m->signals.size() > values.size()) {
                unknown++;
                continue;
            }
            present += CanDbDecode(m, f.data, f.length, values.data(), values.size());
            checksum += values[0].physical;
            decoded++;
        }
    }
    double seconds = Seconds() - start;
    printf("decode: %zu frames (%zu signals, %zu unknown) in %.3f s on one core (checksum %g)\n", decoded,
           present, unknown, seconds, checksum);
    printf("decode frames/s: %.0f\n", seconds > 0 ? decoded / seconds : 0.0);
    printf("decode signals/s: %.0f\n", seconds > 0 ? present / seconds : 0.0);
}

void PrintDatabase(const CanDatabase *db, size_t bytes, double parseMs)
{
    size_t signals = 0;
    for (const CanDbMessage &m : db->messages) signals += m.signals.size();
    printf("parse: %zu messages, %zu signals, %zu bytes; best of %d parses\n", db->messages.size(), signals, bytes,
           PARSE_RUNS);
    printf("parse ms: %.3f\n", parseMs);
}

bool ReadText(const char *path, std::string *text)
{
    FILE *in = fopen(path, "rb");
    if (!in) return false;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), in)) > 0) text->append(buffer, n);
    fclose(in);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 1 && argc != 3 && argc != 4) {
        fprintf(stderr, "usage: candb_bench [FILE.dbc FRAMES.txt [PASSES]]\n");
        return 2;
    }
    std::string text;
    std::vector<Frame> frames;
    const char *name = argc > 1 ? argv[1] : "generated.dbc";
    if (argc == 1) {
        text = GeneratedDbc();
    } else if (!ReadText(argv[1], &text) || !ReadFrames(argv[2], &frames)) {
        fprintf(stderr, "candb_bench: cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    CanDatabase db;
    double parseMs = 0;
    if (!TimeParse(text, name, &db, &parseMs)) return 1;
    PrintDatabase(&db, text.size(), parseMs);
    if (frames.empty()) frames = RandomFrames(&db, 100000);
    size_t passes = argc == 4 ? strtoul(argv[3], nullptr, 10)
                              : (DECODE_FRAMES_MIN + frames.size() - 1) / frames.size();
    TimeDecode(&db, frames, passes ? passes : 1);
    return 0;
}
