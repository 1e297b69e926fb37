// Caller memory that faults, for tests of code that must contain the fault
// (the fault guard, and the message queue and trace calls that use it): an
// address no process maps, and pages of each protection side by side, so
// that a buffer can start in good memory and run into bad.
#pragma once

#include <windows.h>

namespace util_test {

constexpr SIZE_T PAGE_BYTES = 4096;

// The first 64 KiB are never mapped. Read through a volatile, so that the
// compiler sees no constant address it could reason about.
inline BYTE *UnmappedAddress() {
    static BYTE *volatile address = reinterpret_cast<BYTE *>(static_cast<ULONG_PTR>(0x10));
    return address;
}

// Four pages in a row: writable, no access, writable, read-only.
struct FaultingPages {
    BYTE *beforeNoAccess;  // writable; its last bytes touch noAccess
    BYTE *noAccess;
    BYTE *beforeReadOnly;  // writable; its last bytes touch readOnly
    BYTE *readOnly;
};

// FALSE when the pages cannot be made. FreeFaultingPages gives them back.
inline bool MakeFaultingPages(FaultingPages *pages) {
    BYTE *base = static_cast<BYTE *>(
        VirtualAlloc(nullptr, 4 * PAGE_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    if (!base) return false;
    if (!VirtualProtect(base + PAGE_BYTES, PAGE_BYTES, PAGE_NOACCESS, &old) ||
        !VirtualProtect(base + 3 * PAGE_BYTES, PAGE_BYTES, PAGE_READONLY, &old)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return false;
    }
    *pages = {base, base + PAGE_BYTES, base + 2 * PAGE_BYTES, base + 3 * PAGE_BYTES};
    return true;
}

inline void FreeFaultingPages(FaultingPages *pages) {
    if (pages->beforeNoAccess) VirtualFree(pages->beforeNoAccess, 0, MEM_RELEASE);
    *pages = {};
}

}  // namespace util_test
