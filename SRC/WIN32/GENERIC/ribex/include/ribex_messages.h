// Requests that clients send on the server queue and the confirms that
// the server sends back on each client's reply queue. Little-endian 32-bit
// fields at fixed offsets; a request is at most 124 bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define RIBEX_MAX_REQUEST_SIZE 124u
#define RIBEX_NET_NAME_MAX 52u  // UTF-16 code units, terminator included

// Request ids.
#define RIBEX_REQ_CLIENT_CHECK 1u
#define RIBEX_REQ_IF_OPEN 2u
#define RIBEX_REQ_IF_CLOSE 4u
#define RIBEX_REQ_DISABLE_ALL_REM_FRAME 7u
#define RIBEX_REQ_ENUM_REM_FRAME 10u
#define RIBEX_REQ_ENABLE_REM_FRAME 12u
#define RIBEX_REQ_DISABLE_REM_FRAME 13u

// Confirm ids; the three status confirms share 0x255.
#define RIBEX_CFM_IF_OPEN 3u
#define RIBEX_CFM_ENUM_REM_FRAME 11u
#define RIBEX_CFM_STATUS 0x255u

// The interface major version that the server accepts from clients.
#define RIBEX_CLIENT_MAJOR_VERSION 6u

struct RibexUniqueIdWire {
    uint32_t high;  // the client's process part
    uint32_t low;
};

struct canIfOpenReqMsg {
    uint32_t id;
    uint32_t majorVersion;
    uint32_t minorVersion;
    RibexUniqueIdWire uniqueId;
    wchar_t netName[RIBEX_NET_NAME_MAX];
};

struct canIfCloseReqMsg {
    uint32_t id;
    uint32_t hMsgQRef;
    RibexUniqueIdWire uniqueId;
};

struct canDisableAllRemFrameReqMsg {
    uint32_t id;
    uint32_t uniqueIdHigh;
};

struct canEnumRemFrameReqMsg {
    uint32_t id;
    uint32_t hMsgQRef;
    RibexUniqueIdWire uniqueId;
    uint32_t index;
};

struct canEnableRemFrameReqMsg {
    uint32_t id;
    uint32_t hMsgQRef;
    RibexUniqueIdWire uniqueId;
    struct {
        uint32_t id;
    } can;
    uint32_t length;
};

struct canDisableRemFrameReqMsg {
    uint32_t id;
    uint32_t hMsgQRef;
    RibexUniqueIdWire uniqueId;
    uint32_t canId;
};

union msgReq {
    uint32_t id;
    canIfOpenReqMsg canIfOpenReq;
    canIfCloseReqMsg canIfCloseReq;
    canDisableAllRemFrameReqMsg canDisableAllRemFrameReq;
    canEnumRemFrameReqMsg canEnumRemFrameReq;
    canEnableRemFrameReqMsg canEnableRemFrameReq;
    canDisableRemFrameReqMsg canDisableRemFrameReq;
    uint8_t raw[RIBEX_MAX_REQUEST_SIZE];
};

struct canIfOpenCfmMsg {
    uint32_t id;
    uint32_t errorCode;
    uint32_t hMsgQRef;
};

struct canStatusCfmMsg {
    uint32_t id;
    uint32_t errorCode;
};

struct canEnumRemFrameCfmMsg {
    uint32_t id;
    uint32_t errorCode;
    uint32_t canId;
};

union msgCfm {
    uint32_t id;
    canIfOpenCfmMsg canIfOpenCfm;
    canStatusCfmMsg canStatusCfm;
    canEnumRemFrameCfmMsg canEnumRemFrameCfm;
};

// Exact send lengths of the confirms.
#define RIBEX_IF_OPEN_CFM_SIZE 12u
#define RIBEX_STATUS_CFM_SIZE 8u
#define RIBEX_ENUM_REM_FRAME_CFM_SIZE 12u

static_assert(sizeof(wchar_t) == 2, "net names are UTF-16");
static_assert(sizeof(RibexUniqueIdWire) == 8, "unique id is two words");
static_assert(offsetof(canIfOpenReqMsg, majorVersion) == 4, "open: majorVersion at 4");
static_assert(offsetof(canIfOpenReqMsg, minorVersion) == 8, "open: minorVersion at 8");
static_assert(offsetof(canIfOpenReqMsg, uniqueId) == 12, "open: uniqueId at 12");
static_assert(offsetof(canIfOpenReqMsg, netName) == 20, "open: netName at 20");
static_assert(sizeof(canIfOpenReqMsg) == 124, "open request fills 124 bytes");
static_assert(offsetof(canIfCloseReqMsg, hMsgQRef) == 4, "close: hMsgQRef at 4");
static_assert(offsetof(canIfCloseReqMsg, uniqueId) == 8, "close: uniqueId at 8");
static_assert(sizeof(canIfCloseReqMsg) == 16, "close request is 16 bytes");
static_assert(offsetof(canDisableAllRemFrameReqMsg, uniqueIdHigh) == 4, "disable all: high at 4");
static_assert(sizeof(canDisableAllRemFrameReqMsg) == 8, "disable-all request is 8 bytes");
static_assert(offsetof(canEnumRemFrameReqMsg, hMsgQRef) == 4, "enum: hMsgQRef at 4");
static_assert(offsetof(canEnumRemFrameReqMsg, uniqueId) == 8, "enum: uniqueId at 8");
static_assert(offsetof(canEnumRemFrameReqMsg, index) == 16, "enum: index at 16");
static_assert(sizeof(canEnumRemFrameReqMsg) == 20, "enum request is 20 bytes");
static_assert(offsetof(canEnableRemFrameReqMsg, hMsgQRef) == 4, "enable: hMsgQRef at 4");
static_assert(offsetof(canEnableRemFrameReqMsg, uniqueId) == 8, "enable: uniqueId at 8");
static_assert(offsetof(canEnableRemFrameReqMsg, can) == 16, "enable: can.id at 16");
static_assert(offsetof(canEnableRemFrameReqMsg, length) == 20, "enable: length at 20");
static_assert(sizeof(canEnableRemFrameReqMsg) == 24, "enable request is 24 bytes");
static_assert(offsetof(canDisableRemFrameReqMsg, hMsgQRef) == 4, "disable: hMsgQRef at 4");
static_assert(offsetof(canDisableRemFrameReqMsg, uniqueId) == 8, "disable: uniqueId at 8");
static_assert(offsetof(canDisableRemFrameReqMsg, canId) == 16, "disable: canId at 16");
static_assert(sizeof(canDisableRemFrameReqMsg) == 20, "disable request is 20 bytes");
static_assert(sizeof(msgReq) == RIBEX_MAX_REQUEST_SIZE, "request buffer is 124 bytes");
static_assert(offsetof(canIfOpenCfmMsg, errorCode) == 4, "open confirm: errorCode at 4");
static_assert(offsetof(canIfOpenCfmMsg, hMsgQRef) == 8, "open confirm: hMsgQRef at 8");
static_assert(sizeof(canIfOpenCfmMsg) == RIBEX_IF_OPEN_CFM_SIZE, "open confirm is 12 bytes");
static_assert(offsetof(canStatusCfmMsg, errorCode) == 4, "status confirm: errorCode at 4");
static_assert(sizeof(canStatusCfmMsg) == RIBEX_STATUS_CFM_SIZE, "status confirm is 8 bytes");
static_assert(offsetof(canEnumRemFrameCfmMsg, errorCode) == 4, "enum confirm: errorCode at 4");
static_assert(offsetof(canEnumRemFrameCfmMsg, canId) == 8, "enum confirm: canId at 8");
static_assert(sizeof(canEnumRemFrameCfmMsg) == RIBEX_ENUM_REM_FRAME_CFM_SIZE,
              "enum confirm is 12 bytes");
static_assert(sizeof(msgCfm) == 12, "largest confirm is 12 bytes");
