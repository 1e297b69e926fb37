// candb's encoder as the oracle test drives it: loads a DBC file, then reads
// "MESSAGE SIGNAL=VALUE ..." lines from stdin and prints, for each, the
// message's bytes in hex (its start values, then the values given, in the
// order given) and per signal given "SIGNAL=WRITTEN:c" when the value was
// clamped or "SIGNAL=WRITTEN:-" when not ("!" and the reason for a line it
// cannot encode).
//
//   candb_encode FILE.dbc < values.txt
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "candb.h"

static std::string EncodeLine(const CanDatabase *db, char *line) {
    const char *name = strtok(line, " \t\r\n");
    const CanDbMessage *msg = name ? CanDbFindMessageByName(db, name) : nullptr;
    if (msg == nullptr) return "! no such message";
    uint8_t data[CANDB_MAX_FRAME_BYTES];
    unsigned size = CanDbStartFrame(msg, data);
    std::string fields;
    while (const char *item = strtok(nullptr, " \t\r\n")) {
        const char *equals = strchr(item, '=');
        if (equals == nullptr) return "! no SIGNAL=VALUE";
        int index = CanDbFindSignal(msg, std::string(item, equals).c_str());
        if (index < 0) return "! no such signal";
        bool clamped = false;
        double written = 0;
        if (!CanDbEncodeSignal(&msg->signals[(size_t)index], strtod(equals + 1, nullptr), data, &clamped, &written))
            return "! encode failed";
        char field[128];
        snprintf(field, sizeof(field), " %s=%.17g:%s", msg->signals[(size_t)index].name.c_str(), written,
                 clamped ? "c" : "-");
        fields += field;
    }
    std::string hex;
    for (unsigned i = 0; i < size; ++i) {
        char pair[3];
        snprintf(pair, sizeof(pair), "%02x", data[i]);
        hex += pair;
    }
    return (hex.empty() ? "-" : hex) + fields;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: candb_encode FILE.dbc < values.txt\n");
        return 2;
    }
    CanDatabase db;
    CanDbError error;
    if (!CanDbLoadFile(argv[1], &db, &error)) {
        printf("! %s\n", CanDbErrorText(&error).c_str());
        return 1;
    }
    char line[4096];
    while (fgets(line, sizeof(line), stdin) != nullptr) printf("%s\n", EncodeLine(&db, line).c_str());
    return 0;
}
