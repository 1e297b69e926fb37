// What ribexclient.dll promises beyond its function names: the version it
// reports and the layout of the records that cross the DLL boundary.
#include "ribex_client.h"

#include <stddef.h>

#include "ribex_version.h"

static_assert(sizeof(RibexFrame) == 40, "RibexFrame is 40 bytes");
static_assert(offsetof(RibexFrame, msg) == 0, "RibexFrame.msg at 0");
static_assert(offsetof(RibexFrame, errorCode) == 24, "RibexFrame.errorCode at 24");
static_assert(offsetof(RibexFrame, simUniqueId) == 28, "RibexFrame.simUniqueId at 28");
static_assert(sizeof(RibexClientOptions) == 40, "RibexClientOptions is 40 bytes");
static_assert(offsetof(RibexClientOptions, serverPath) == 8, "serverPath at 8");
static_assert(offsetof(RibexClientOptions, haveUniqueId) == 16, "haveUniqueId at 16");
static_assert(offsetof(RibexClientOptions, uniqueIdHigh) == 20, "uniqueIdHigh at 20");
static_assert(offsetof(RibexClientOptions, uniqueIdLow) == 24, "uniqueIdLow at 24");
static_assert(offsetof(RibexClientOptions, majorVersion) == 28, "majorVersion at 28");
static_assert(offsetof(RibexClientOptions, minorVersion) == 32, "minorVersion at 32");
static_assert(offsetof(RibexClientOptions, confirmTimeoutMs) == 36, "confirmTimeoutMs at 36");
static_assert(sizeof(RibexNetStatus) == 16, "RibexNetStatus is 16 bytes");
static_assert(offsetof(RibexNetStatus, reopenCount) == 4, "reopenCount at 4");
static_assert(offsetof(RibexNetStatus, lastReopenError) == 8, "lastReopenError at 8");
static_assert(offsetof(RibexNetStatus, autoReopen) == 12, "autoReopen at 12");
static_assert(sizeof(RibexOpenStep) == 4, "RibexOpenStep is 4 bytes");
static_assert(sizeof(RibexOpenFailure) == 544, "RibexOpenFailure is 544 bytes");
static_assert(offsetof(RibexOpenFailure, step) == 0, "step at 0");
static_assert(offsetof(RibexOpenFailure, errorCode) == 4, "errorCode at 4");
static_assert(offsetof(RibexOpenFailure, uniqueIdHigh) == 8, "uniqueIdHigh at 8");
static_assert(offsetof(RibexOpenFailure, uniqueIdLow) == 12, "uniqueIdLow at 12");
static_assert(offsetof(RibexOpenFailure, majorVersion) == 16, "majorVersion at 16");
static_assert(offsetof(RibexOpenFailure, confirmTimeoutMs) == 20, "confirmTimeoutMs at 20");
static_assert(offsetof(RibexOpenFailure, serverPath) == 24, "serverPath at 24");

const char *RibexGetVersion(DWORD *pMajor, DWORD *pMinor, DWORD *pPatch) {
    if (pMajor != NULL) *pMajor = RIBEX_VERSION_MAJOR;
    if (pMinor != NULL) *pMinor = RIBEX_VERSION_MINOR;
    if (pPatch != NULL) *pPatch = RIBEX_VERSION_PATCH;
    return RIBEX_VERSION_STRING;
}
