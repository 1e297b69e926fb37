// Control codes of the virtual CAN driver beyond the five that every CAN
// driver answers: fault injection and inspection for tests and tools.
// Shared by the driver (C, kernel mode) and user programs (C or C++).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "can_driver_ioctl.h"

// The read that follows fails once with this Win32 error code.
// in: uint32_t error code (non-zero). Rejected with ERROR_INVALID_PARAMETER
// when 0 or above 0xFFFF.
#define IOCTL_VCAN_FAIL_NEXT_READ RIBEX_CAN_CTL_CODE(0x900)

// The identifiers whose remote frames this handle receives.
// out: VcanEnabledIds; as many ids as fit, count is always the full number.
#define IOCTL_VCAN_GET_ENABLED_IDS RIBEX_CAN_CTL_CODE(0x901)

// Counters of this handle and of its device. out: VcanCounters.
#define IOCTL_VCAN_GET_COUNTERS RIBEX_CAN_CTL_CODE(0x902)

// A read that finds frames lost to a full queue fails once with this code
// (ERROR_IO_DEVICE); the frames still queued follow in the next reads.
#define VCAN_ERROR_OVERFLOW 1117u

// Reads pending when the driver is stopped, and every later request on a
// handle opened before, fail with this code (ERROR_DEVICE_REMOVED).
#define VCAN_ERROR_UNLOADED 1617u

// Frames a handle can hold when the service key sets no QueueFrames.
#define VCAN_DEFAULT_QUEUE_FRAMES 1024u
// The major version presented when the service key sets no MajorVersion.
#define VCAN_DEFAULT_MAJOR_VERSION 6u
#define VCAN_DEFAULT_MINOR_VERSION 0u
// Most remote-frame identifiers one handle may enable.
#define VCAN_MAX_ENABLED_IDS 2048u

typedef struct VcanEnabledIds {
    uint32_t count;   // identifiers enabled on the handle
    uint32_t ids[1];  // the first ones that fit the output buffer
} VcanEnabledIds;

RIBEX_STATIC_ASSERT(offsetof(VcanEnabledIds, ids) == 4, "ids at 4");

typedef struct VcanCounters {
    uint32_t queued;        // frames waiting in this handle's queue now
    uint32_t capacity;      // frames the queue holds
    uint64_t received;      // frames that reached this handle's queue
    uint64_t delivered;     // frames handed to this handle's reads
    uint64_t lost;          // frames dropped because the queue was full
    uint64_t written;       // frames written through this handle
    uint32_t pendingReads;  // reads of this handle waiting for frames
    uint32_t openHandles;   // handles open on the device, this one included
} VcanCounters;

RIBEX_STATIC_ASSERT(sizeof(VcanCounters) == 48, "VcanCounters is 48 bytes");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, capacity) == 4, "capacity at 4");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, received) == 8, "received at 8");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, delivered) == 16, "delivered at 16");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, lost) == 24, "lost at 24");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, written) == 32, "written at 32");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, pendingReads) == 40, "pendingReads at 40");
RIBEX_STATIC_ASSERT(offsetof(VcanCounters, openHandles) == 44, "openHandles at 44");
