// The records of a Vector BLF file as they lie on disk (little-endian, no
// padding between fields). A file is the file header, then objects, each
// starting with "LOBJ"; the frames sit in LOG_CONTAINER objects whose data
// (stored or zlib-compressed) is itself a run of objects. An object is
// followed by (object size % 4) padding bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ribex_static_assert.h"

#pragma pack(push, 1)

typedef struct BlfSystemTime {  // as Windows' SYSTEMTIME, local time
    uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
} BlfSystemTime;

typedef struct BlfFileHeader {
    char signature[4];  // "LOGG"
    uint32_t headerSize;
    uint8_t application[4];  // id, major, minor, build
    uint8_t binLog[4];       // major, minor, build, patch
    uint64_t fileSize;
    uint64_t uncompressedSize;
    uint32_t objectCount;
    uint32_t objectsRead;
    BlfSystemTime start;
    BlfSystemTime stop;
    uint8_t reserved[72];  // to the header size writers use
} BlfFileHeader;

typedef struct BlfObjectBase {
    char signature[4];  // "LOBJ"
    uint16_t headerSize;
    uint16_t headerVersion;  // 1 or 2
    uint32_t objectSize;     // header and data, padding excluded
    uint32_t objectType;
} BlfObjectBase;

typedef struct BlfObjectHeaderV1 {
    uint32_t flags;  // time unit
    uint16_t clientIndex;
    uint16_t objectVersion;
    uint64_t timeStamp;
} BlfObjectHeaderV1;

typedef struct BlfObjectHeaderV2 {
    uint32_t flags;
    uint8_t timeStampStatus;
    uint8_t reserved;
    uint16_t objectVersion;
    uint64_t timeStamp;
    uint64_t originalTimeStamp;
} BlfObjectHeaderV2;

typedef struct BlfContainerHeader {
    uint16_t compression;  // 0 stored, 2 zlib
    uint8_t reserved1[6];
    uint32_t uncompressedSize;
    uint8_t reserved2[4];
} BlfContainerHeader;

typedef struct BlfCanMessage {  // CAN_MESSAGE, and the start of CAN_MESSAGE2
    uint16_t channel;
    uint8_t flags;  // bit 0 sent, bit 7 remote
    uint8_t dlc;
    uint32_t id;  // bit 31 extended
    uint8_t data[8];
} BlfCanMessage;

typedef struct BlfCanErrorExt {
    uint16_t channel;
    uint16_t length;
    uint32_t flags;
    uint8_t ecc;
    uint8_t position;
    uint8_t dlc;
    uint8_t reserved1;
    uint32_t frameLength;
    uint32_t id;
    uint16_t flagsExt;
    uint16_t reserved2;
    uint8_t data[8];
} BlfCanErrorExt;

typedef struct BlfCanError {
    uint16_t channel;
    uint16_t length;
} BlfCanError;

#pragma pack(pop)

#define BLF_FILE_SIGNATURE "LOGG"
#define BLF_OBJECT_SIGNATURE "LOBJ"

#define BLF_CAN_MESSAGE 1u
#define BLF_CAN_ERROR 2u
#define BLF_LOG_CONTAINER 10u
#define BLF_CAN_ERROR_EXT 73u
#define BLF_CAN_MESSAGE2 86u
#define BLF_CAN_FD_MESSAGE 100u
#define BLF_CAN_FD_MESSAGE_64 101u

#define BLF_COMPRESSION_NONE 0u
#define BLF_COMPRESSION_ZLIB 2u

#define BLF_TIME_TEN_MICS 1u
#define BLF_TIME_ONE_NANS 2u

#define BLF_MSG_FLAG_SENT 0x01u
#define BLF_MSG_FLAG_REMOTE 0x80u
#define BLF_ID_EXTENDED 0x80000000u

RIBEX_STATIC_ASSERT(sizeof(BlfSystemTime) == 16, "BlfSystemTime is 16 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfSystemTime, day) == 6, "BlfSystemTime.day at 6");
RIBEX_STATIC_ASSERT(offsetof(BlfSystemTime, milliseconds) == 14, "BlfSystemTime.milliseconds at 14");
RIBEX_STATIC_ASSERT(sizeof(BlfFileHeader) == 144, "BlfFileHeader is 144 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, headerSize) == 4, "headerSize at 4");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, application) == 8, "application at 8");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, binLog) == 12, "binLog at 12");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, fileSize) == 16, "fileSize at 16");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, uncompressedSize) == 24, "uncompressedSize at 24");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, objectCount) == 32, "objectCount at 32");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, objectsRead) == 36, "objectsRead at 36");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, start) == 40, "start at 40");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, stop) == 56, "stop at 56");
RIBEX_STATIC_ASSERT(offsetof(BlfFileHeader, reserved) == 72, "reserved at 72");
RIBEX_STATIC_ASSERT(sizeof(BlfObjectBase) == 16, "BlfObjectBase is 16 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectBase, headerSize) == 4, "headerSize at 4");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectBase, headerVersion) == 6, "headerVersion at 6");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectBase, objectSize) == 8, "objectSize at 8");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectBase, objectType) == 12, "objectType at 12");
RIBEX_STATIC_ASSERT(sizeof(BlfObjectHeaderV1) == 16, "BlfObjectHeaderV1 is 16 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV1, clientIndex) == 4, "clientIndex at 4");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV1, objectVersion) == 6, "objectVersion at 6");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV1, timeStamp) == 8, "v1 timeStamp at 8");
RIBEX_STATIC_ASSERT(sizeof(BlfObjectHeaderV2) == 24, "BlfObjectHeaderV2 is 24 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV2, timeStampStatus) == 4, "timeStampStatus at 4");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV2, objectVersion) == 6, "v2 objectVersion at 6");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV2, timeStamp) == 8, "v2 timeStamp at 8");
RIBEX_STATIC_ASSERT(offsetof(BlfObjectHeaderV2, originalTimeStamp) == 16, "originalTimeStamp at 16");
RIBEX_STATIC_ASSERT(sizeof(BlfContainerHeader) == 16, "BlfContainerHeader is 16 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfContainerHeader, uncompressedSize) == 8, "uncompressedSize at 8");
RIBEX_STATIC_ASSERT(sizeof(BlfCanMessage) == 16, "BlfCanMessage is 16 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfCanMessage, flags) == 2, "flags at 2");
RIBEX_STATIC_ASSERT(offsetof(BlfCanMessage, dlc) == 3, "dlc at 3");
RIBEX_STATIC_ASSERT(offsetof(BlfCanMessage, id) == 4, "id at 4");
RIBEX_STATIC_ASSERT(offsetof(BlfCanMessage, data) == 8, "data at 8");
RIBEX_STATIC_ASSERT(sizeof(BlfCanErrorExt) == 32, "BlfCanErrorExt is 32 bytes");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, length) == 2, "length at 2");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, flags) == 4, "flags at 4");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, ecc) == 8, "ecc at 8");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, position) == 9, "position at 9");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, dlc) == 10, "dlc at 10");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, frameLength) == 12, "frameLength at 12");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, id) == 16, "id at 16");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, flagsExt) == 20, "flagsExt at 20");
RIBEX_STATIC_ASSERT(offsetof(BlfCanErrorExt, data) == 24, "data at 24");
RIBEX_STATIC_ASSERT(sizeof(BlfCanError) == 4, "BlfCanError is 4 bytes");
