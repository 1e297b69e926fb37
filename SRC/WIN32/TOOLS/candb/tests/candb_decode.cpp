// candb as the oracle test drives it: loads a DBC file, then reads frames
// from stdin as "ID EXT HEXDATA" lines and prints, for each, one line of
// "SIGNAL=RAW:PHYSICAL" fields for the present signals ("-" for an unknown
// identifier, "!" and the message for a line it cannot read).
//
//   candb_decode FILE.dbc < frames.txt
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "candb.h"

static bool ReadFrame(const char *line, uint32_t *id, bool *ext, uint8_t *data, unsigned *length) {
    char hex[64] = {0};
    unsigned long rawId = 0;
    int extFlag = 0;
    if (sscanf(line, "%lx %d %63s", &rawId, &extFlag, hex) < 2) return false;
    size_t digits = strcmp(hex, "-") == 0 ? 0 : strlen(hex);
    if (digits % 2 != 0 || digits / 2 > CANDB_MAX_FRAME_BYTES) return false;
    for (size_t i = 0; i < digits / 2; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        data[i] = (uint8_t)strtoul(pair, nullptr, 16);
    }
    *id = (uint32_t)rawId;
    *ext = extFlag != 0;
    *length = (unsigned)(digits / 2);
    return true;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: candb_decode FILE.dbc < frames.txt\n");
        return 2;
    }
    CanDatabase db;
    CanDbError error;
    if (!CanDbLoadFile(argv[1], &db, &error)) {
        printf("! %s\n", CanDbErrorText(&error).c_str());
        return 1;
    }
    std::vector<CanDbValue> values(1024);
    char line[256];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        uint32_t id;
        bool ext;
        uint8_t data[CANDB_MAX_FRAME_BYTES] = {0};
        unsigned length;
        if (!ReadFrame(line, &id, &ext, data, &length)) {
            printf("! unreadable line\n");
            continue;
        }
        const CanDbMessage *msg = CanDbFindMessage(&db, id, ext);
        if (msg == nullptr || msg->signals.size() > values.size()) {
            printf("-\n");
            continue;
        }
        CanDbDecode(msg, data, length, values.data(), values.size());
        printf("%s", msg->name.c_str());
        for (size_t i = 0; i < msg->signals.size(); ++i) {
            if (!values[i].present) continue;
            printf(" %s=%llu:%.17g", msg->signals[i].name.c_str(),
                   (unsigned long long)values[i].raw, values[i].physical);
        }
        printf("\n");
    }
    return 0;
}
