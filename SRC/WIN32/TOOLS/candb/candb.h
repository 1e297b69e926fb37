// candb: CAN databases in the DBC format. Loads one file per net, finds a
// message by identifier, decodes a frame's bytes into physical signal values
// and encodes physical values into a frame's bytes.
//
// The database is plain records built once at load time; decoding and
// encoding use what the load precomputed and allocate nothing, so a tool can
// decode every frame of a full bus. Functions return BOOL (or a pointer) and
// set the last error, in the style of the client library; loads also fill a
// CanDbError with file, line, column and what was expected.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

// A classic CAN frame carries at most this many bytes; signals are decoded
// from them.
#define CANDB_MAX_FRAME_BYTES 8

enum CanDbByteOrder { CANDB_INTEL = 1, CANDB_MOTOROLA = 0 };  // "@1" and "@0"

enum CanDbValueType { CANDB_INTEGER = 0, CANDB_FLOAT = 1, CANDB_DOUBLE = 2 };  // SIG_VALTYPE_ 1 and 2

struct CanDbValueName {
    int64_t raw;
    std::string text;  // UTF-8
};

// Raw values of a multiplexor for which a multiplexed signal is present.
struct CanDbMuxRange {
    uint64_t low;
    uint64_t high;
};

struct CanDbSignal {
    std::string name;
    unsigned startBit;  // as written: the LSB (Intel) or the MSB (Motorola) in the file's bit numbering
    unsigned length;    // bits
    CanDbByteOrder byteOrder;
    bool isSigned;
    CanDbValueType valueType;
    double factor;
    double offset;
    double minimum;  // physical; minimum == maximum == 0 means "no range given"
    double maximum;
    std::string unit;  // UTF-8
    std::vector<std::string> receivers;
    std::string comment;

    bool isMultiplexor;     // "M" (or "mNM")
    bool isMultiplexed;     // "mN"
    int muxSwitch;          // index of the multiplexor in the message's signals, -1 for none
    std::vector<CanDbMuxRange> muxRanges;  // "mN" gives N..N; SG_MUL_VAL_ gives its ranges

    std::vector<CanDbValueName> valueNames;  // sorted by raw value

    bool hasStartValue;
    double startRaw;  // GenSigStartValue (a raw value), 0 when not given

    // Precomputed at load time for decode and encode.
    unsigned bitPos;     // Intel: LSB in little-endian numbering; Motorola: MSB in big-endian numbering
    unsigned bytesUsed;  // bytes of the frame the signal needs
};

struct CanDbMessage {
    uint32_t id;  // without the extended flag
    bool ext;
    std::string name;
    unsigned size;  // DLC written in BO_
    std::string transmitter;  // "" or "Vector__XXX" when no node sends it
    std::vector<std::string> transmitters;  // BO_TX_BU_ and the BO_ transmitter
    std::string comment;
    int cycleTimeMs;  // GenMsgCycleTime, 0 when none
    std::string frameFormat;  // VFrameFormat's value text ("StandardCAN", "ExtendedCAN", ...), "" when none
    std::vector<CanDbSignal> signals;
    std::vector<unsigned> decodeOrder;  // multiplexors before the signals they select
    bool decodable;  // false when a signal lies beyond the bytes of a classic frame
};

struct CanDbNode {
    std::string name;
    std::string comment;
};

struct CanDbValueTable {
    std::string name;
    std::vector<CanDbValueName> values;
};

struct CanDatabase {
    std::string fileName;
    std::string version;
    std::string comment;
    std::vector<CanDbNode> nodes;
    std::vector<CanDbMessage> messages;
    std::vector<CanDbValueTable> valueTables;
    std::unordered_map<uint64_t, size_t> byId;  // (ext << 32 | id) -> index in messages
};

// Where a load failed: "FILE:LINE:COLUMN: TEXT".
struct CanDbError {
    std::string file;
    unsigned line;    // 1-based, 0 when the failure has no place in the file
    unsigned column;  // 1-based
    std::string text;
};
std::string CanDbErrorText(const CanDbError *error);

// Parses a DBC file (UTF-8 or cp1252; names and texts become UTF-8). path is
// UTF-8. On failure returns FALSE, fills error and leaves db empty.
BOOL CanDbLoadFile(const char *path, CanDatabase *db, CanDbError *error);
// The same for text already in memory; fileName is only for messages.
BOOL CanDbParseText(const char *text, size_t size, const char *fileName, CanDatabase *db, CanDbError *error);

const CanDbMessage *CanDbFindMessage(const CanDatabase *db, uint32_t id, bool ext);
const CanDbMessage *CanDbFindMessageByName(const CanDatabase *db, const char *name);
// Index of a signal in msg->signals, -1 when absent.
int CanDbFindSignal(const CanDbMessage *msg, const char *name);
// Messages the node sends (BO_ transmitter or BO_TX_BU_), in file order.
std::vector<const CanDbMessage *> CanDbMessagesOfNode(const CanDatabase *db, const char *node);
// GenMsgCycleTime in milliseconds, 0 when the message has none.
int CanDbCycleTime(const CanDbMessage *msg);

// One decoded signal; values[i] belongs to msg->signals[i].
struct CanDbValue {
    bool present;       // false: not selected by its multiplexor, or beyond the frame's bytes
    uint64_t raw;       // raw bits as read
    double physical;    // raw (sign-extended or IEEE) x factor + offset
    const char *label;  // value-table text for the raw value, or NULL
};

// Decodes data (length bytes) into values[0 .. msg->signals.size()); returns
// the number of present signals. capacity must be at least the signal count.
size_t CanDbDecode(const CanDbMessage *msg, const uint8_t *data, unsigned length, CanDbValue *values,
                   size_t capacity);

// Fills data (CANDB_MAX_FRAME_BYTES bytes, zeroed first) with every signal's
// start value; of the multiplexed signals only those the multiplexors' start
// values select. Returns the message's size in bytes (at most 8).
unsigned CanDbStartFrame(const CanDbMessage *msg, uint8_t *data);

// Writes one physical value into data. A value outside the signal's
// minimum/maximum or its raw range is clamped: *clamped (may be NULL) is set
// and *written (may be NULL) receives the physical value actually encoded.
// Integer signals round to the nearest raw value (ties to even).
BOOL CanDbEncodeSignal(const CanDbSignal *sig, double physical, uint8_t *data, bool *clamped, double *written);

// Text of a raw value in the signal's value table, or NULL.
const char *CanDbValueLabel(const CanDbSignal *sig, int64_t raw);
// Physical value of a raw value as decoded.
double CanDbRawToPhysical(const CanDbSignal *sig, uint64_t raw);

// Several databases, one per net. Net "" applies to every net that has no
// database of its own: a net with one uses only its own.
struct CanDbSetEntry {
    std::string net;
    CanDatabase db;
};
struct CanDbSet {
    std::vector<CanDbSetEntry> entries;
};

// Loads path for net; fails with a message naming both files when a file
// already loaded for the same net (or, for net "", another file for every
// net) defines one of its identifiers.
BOOL CanDbSetLoad(CanDbSet *set, const char *net, const char *path, CanDbError *error);
// A tool's argument "FILE.dbc" (every net) or "NET=FILE.dbc": loads it as
// CanDbSetLoad does. A NET is letters, digits, '_' and '-', so "C:\\x.dbc"
// is a file. An empty file name fails with error->text saying what was
// expected.
BOOL CanDbSetLoadArgument(CanDbSet *set, const wchar_t *argument, CanDbError *error);
// Adds a database parsed elsewhere, with the same check.
BOOL CanDbSetAdd(CanDbSet *set, const char *net, CanDatabase *db, CanDbError *error);
// The message a frame on net means, or NULL.
const CanDbMessage *CanDbSetFind(const CanDbSet *set, const char *net, uint32_t id, bool ext);
// The message of a frame record, which has no extended flag: an identifier
// above 7FF is extended, a smaller one may be either (standard first).
const CanDbMessage *CanDbSetFindFrame(const CanDbSet *set, const char *net, uint32_t canId);

// "EEC1(EngineSpeed: 1413.5 rpm, Gear: 3 \"Drive\")"; returns the length
// written (truncated to size - 1).
size_t CanDbFormatDecoded(const CanDbMessage *msg, const CanDbValue *values, char *text, size_t size);
