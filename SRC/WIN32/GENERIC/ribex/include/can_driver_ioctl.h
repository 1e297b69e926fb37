// The program's side of the CAN device driver: control codes and the
// property block. Included by the server (user mode) and by our virtual
// driver (kernel mode), so it uses nothing but fixed-width types.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ribex_static_assert.h"

// Device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define RIBEX_CAN_CTL_CODE(function) ((0x22u << 16) | ((uint32_t)(function) << 2))

#define IOCTL_CAN_GET_PROPERTIES_SIZE RIBEX_CAN_CTL_CODE(0x817) /* out: 4-byte size */
#define IOCTL_CAN_GET_PROPERTIES RIBEX_CAN_CTL_CODE(0x801)      /* out: CanDrvProperties */
#define IOCTL_CAN_GET_TIMESTAMP RIBEX_CAN_CTL_CODE(0x81C)       /* out: 8 bytes, 100 ns */
#define IOCTL_CAN_ENABLE_REMREPLY RIBEX_CAN_CTL_CODE(0x820)     /* in: 4-byte can.id */
#define IOCTL_CAN_DISABLE_REMREPLY RIBEX_CAN_CTL_CODE(0x821)    /* in: 4-byte can.id */

RIBEX_STATIC_ASSERT(IOCTL_CAN_GET_PROPERTIES_SIZE == 0x22205C, "GET_PROPERTIES_SIZE code");
RIBEX_STATIC_ASSERT(IOCTL_CAN_GET_PROPERTIES == 0x222004, "GET_PROPERTIES code");
RIBEX_STATIC_ASSERT(IOCTL_CAN_GET_TIMESTAMP == 0x222070, "GET_TIMESTAMP code");
RIBEX_STATIC_ASSERT(IOCTL_CAN_ENABLE_REMREPLY == 0x222080, "ENABLE_REMREPLY code");
RIBEX_STATIC_ASSERT(IOCTL_CAN_DISABLE_REMREPLY == 0x222084, "DISABLE_REMREPLY code");

// Fixed part of the property block. The service key name is a
// NUL-terminated UTF-16 string that starts serviceNameIndex 16-bit
// characters behind byte offset 20 (CAN_DRV_PROPERTIES_NAMES_OFFSET).
typedef struct CanDrvProperties {
    uint32_t majorVersion;
    uint32_t minorVersion;
    uint32_t reserved8;
    uint32_t serviceNameIndex;
    uint32_t reserved16;
    uint16_t names[1];  // variable length
} CanDrvProperties;

#define CAN_DRV_PROPERTIES_NAMES_OFFSET 20u

RIBEX_STATIC_ASSERT(offsetof(CanDrvProperties, majorVersion) == 0, "majorVersion at 0");
RIBEX_STATIC_ASSERT(offsetof(CanDrvProperties, minorVersion) == 4, "minorVersion at 4");
RIBEX_STATIC_ASSERT(offsetof(CanDrvProperties, serviceNameIndex) == 12, "serviceNameIndex at 12");
RIBEX_STATIC_ASSERT(offsetof(CanDrvProperties, names) == CAN_DRV_PROPERTIES_NAMES_OFFSET,
                    "names at 20");
