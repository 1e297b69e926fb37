// The library's version for programs that load it at run time: the
// numbers the DLL was built with, whatever headers the caller compiled.
#include "ribex_client.h"

#include "ribex_version.h"

const char *RibexGetVersion(DWORD *pMajor, DWORD *pMinor, DWORD *pPatch) {
    if (pMajor != NULL) *pMajor = RIBEX_VERSION_MAJOR;
    if (pMinor != NULL) *pMinor = RIBEX_VERSION_MINOR;
    if (pPatch != NULL) *pPatch = RIBEX_VERSION_PATCH;
    return RIBEX_VERSION_STRING;
}
