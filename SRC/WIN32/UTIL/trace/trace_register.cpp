// Registering and releasing trace modules: level masks from the
// environment, the shared ring buffer view and the serial port.
#include "trace_internal.h"

#include <shellapi.h>

namespace {

constexpr wchar_t TRACE_BUFFER_NAME[] = L"TRACEBUFFER";
constexpr DWORD NAME_BUFFER_CHARS = 260;   // NUL included

// The value of c as a digit of base 10 or 16, or -1.
int DigitValue(wchar_t c, int base) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (base == 16 && c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (base == 16 && c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads an unsigned number: optional blanks, "+" or "-" (negates in 32-bit
// arithmetic), digits of base 10 or 16 (16 accepts a "0x" prefix). Stops at
// the first non-digit; saturates at 0xFFFFFFFF; no digits give 0.
DWORD ParseUnsigned(const wchar_t *text, int base) {
    const wchar_t *p = text;
    while (*p == L' ' || *p == L'\t' || *p == L'\n' || *p == L'\r' || *p == L'\v' || *p == L'\f')
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
    if (base == 16 && p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && DigitValue(p[2], 16) >= 0)
        p += 2;
    unsigned long long value = 0;
    for (int digit; (digit = DigitValue(*p, base)) >= 0; ++p) {
        value = value * (unsigned)base + (unsigned)digit;
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    }
    DWORD result = (DWORD)value;
    return negative ? 0u - result : result;
}

// A TRACESIZE or TRACEPORT number: decimal, or hexadecimal when decimal gives 0.
DWORD ParseSizeToken(const wchar_t *text) {
    DWORD value = ParseUnsigned(text, 10);
    return value != 0 ? value : ParseUnsigned(text, 16);
}

// A heap copy of an environment variable's value, or NULL (absent: the last
// error is ERROR_ENVVAR_NOT_FOUND).
wchar_t *CopyEnvironmentValue(const wchar_t *name, BOOL *failed) {
    *failed = FALSE;
    DWORD needed = GetEnvironmentVariableW(name, NULL, 0);
    if (needed == 0) return NULL;
    for (;;) {
        wchar_t *value = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, needed * sizeof(wchar_t));
        if (value == NULL) {
            *failed = TRUE;
            return NULL;
        }
        DWORD got = GetEnvironmentVariableW(name, value, needed);
        if (got != 0 && got < needed) return value;
        HeapFree(GetProcessHeap(), 0, value);
        if (got == 0) return NULL;   // removed meanwhile
        needed = got;                // grew meanwhile
    }
}

// The first two blank-separated tokens of a variable, as TRACESIZE and
// TRACEPORT hold them (double quotes group). *tokens is NULL when the
// variable is absent or holds fewer than two; the caller LocalFrees it.
// FALSE when copying or splitting failed.
BOOL ReadTokenPair(const wchar_t *name, wchar_t ***tokens) {
    *tokens = NULL;
    BOOL failed;
    wchar_t *value = CopyEnvironmentValue(name, &failed);
    if (value == NULL) return !failed;
    // CommandLineToArgvW reads its first token as a program name: leading
    // blanks would make it empty, and an empty text gives our own path.
    const wchar_t *start = value;
    while (*start == L' ' || *start == L'\t') ++start;
    int count = 0;
    wchar_t **split = *start != L'\0' ? CommandLineToArgvW(start, &count) : NULL;
    BOOL splitFailed = *start != L'\0' && split == NULL;
    HeapFree(GetProcessHeap(), 0, value);
    if (split != NULL && count < 2) LocalFree(split);
    else *tokens = split;
    return !splitFailed;
}

// Creates or opens the "TRACEBUFFER" mapping and maps it; only its creator
// writes the header. FALSE when the mapping cannot be had.
BOOL MapRingBuffer(TraceModuleRecord *record, DWORD noSlots, DWORD slotSize) {
    DWORD total = noSlots * slotSize + (DWORD)sizeof(TraceBufferHeader);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE | SEC_COMMIT, 0,
                                        total, TRACE_BUFFER_NAME);
    if (mapping == NULL) return FALSE;
    BOOL existed = GetLastError() == ERROR_ALREADY_EXISTS;
    TraceBufferHeader *header =
        (TraceBufferHeader *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (header == NULL) {
        CloseHandle(mapping);
        return FALSE;
    }
    MEMORY_BASIC_INFORMATION info;
    SIZE_T viewSize = VirtualQuery(header, &info, sizeof info) ? info.RegionSize : 0;
    if (!existed) {
        // enabled last: a process that opens the buffer meanwhile drops its
        // lines until the geometry is complete.
        header->noSlots = noSlots;
        header->slotSize = slotSize;
        header->noLines = 0;
        MemoryBarrier();
        header->enabled = 1;
    }
    record->module.hFileMappingObject = mapping;
    record->module.pBuffer = header;
    record->viewSize = viewSize;
    return TRUE;
}

// Maps the ring buffer described by TRACESIZE. FALSE only for a failure
// that fails the registration; a missing or malformed TRACESIZE is none.
BOOL AttachRingBuffer(TraceModuleRecord *record) {
    wchar_t **tokens;
    if (!ReadTokenPair(L"TRACESIZE", &tokens)) return FALSE;
    if (tokens == NULL) return TRUE;
    DWORD noSlots = ParseSizeToken(tokens[0]);
    DWORD slotSize = ParseSizeToken(tokens[1]);
    LocalFree(tokens);
    if (noSlots == 0 || slotSize == 0) return TRUE;
    unsigned long long total = (unsigned long long)noSlots * slotSize + sizeof(TraceBufferHeader);
    if (total > 0xFFFFFFFFull) return TRUE;  // no buffer rather than a wrapped size
    return MapRingBuffer(record, noSlots, slotSize);
}

// Opens the port described by TRACEPORT. FALSE only when copying or
// splitting failed; a port that cannot be opened is none.
BOOL AttachPort(TraceModule *module) {
    wchar_t **tokens;
    if (!ReadTokenPair(L"TRACEPORT", &tokens)) return FALSE;
    if (tokens == NULL) return TRUE;
    DWORD baud = ParseSizeToken(tokens[1]);
    if (baud != 0) module->pPort = TracePortOpen(tokens[0], baud);
    LocalFree(tokens);
    return TRUE;
}

void ReleaseRecord(TraceModule *module) {
    TraceReleaseClearCounter(module);
    if (module->pPort != NULL) TracePortClose(module->pPort);
    module->pPort = NULL;
    if (module->pBuffer != NULL) UnmapViewOfFile(module->pBuffer);
    module->pBuffer = NULL;
    if (module->hFileMappingObject != NULL) CloseHandle(module->hFileMappingObject);
    module->hFileMappingObject = NULL;
    HeapFree(GetProcessHeap(), 0, module);
}

void ReleaseRecordGuarded(void *module) { ReleaseRecord((TraceModule *)module); }

// The name of a level-mask variable: the file name of hModule (the program
// with null), then "::" and the module name when one is given, into a
// buffer of NAME_BUFFER_CHARS. FALSE, with the last error, when the path or
// the composed name does not fit: a cut one could name another's variable.
BOOL ComposeVariableName(HMODULE hModule, const wchar_t *moduleName, wchar_t *name) {
    wchar_t path[NAME_BUFFER_CHARS];
    DWORD length = GetModuleFileNameW(hModule, path, NAME_BUFFER_CHARS);
    if (length == 0 || length >= NAME_BUFFER_CHARS) {
        SetLastError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    const wchar_t *fileName = path;
    for (const wchar_t *p = path; *p; ++p)
        if (*p == L'\\') fileName = p + 1;
    size_t used = 0;
    for (const wchar_t *p = fileName; *p; ++p) name[used++] = *p;
    if (moduleName != NULL) {
        size_t nameLength = wcslen(moduleName);
        if (used + 2 + nameLength >= NAME_BUFFER_CHARS) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        name[used++] = L':';
        name[used++] = L':';
        for (size_t i = 0; i < nameLength; ++i) name[used++] = moduleName[i];
    }
    name[used] = L'\0';
    return TRUE;
}

}  // namespace

BOOL TraceReadLevelMask(HMODULE hModule, const wchar_t *moduleName, TraceModule *module) {
    module->levelMask = 0;
    wchar_t name[NAME_BUFFER_CHARS];
    if (!ComposeVariableName(hModule, moduleName, name)) return FALSE;
    BOOL failed;
    wchar_t *value = CopyEnvironmentValue(name, &failed);
    if (value == NULL) {
        SetLastError(failed ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BAD_ENVIRONMENT);
        return FALSE;
    }
    bool hex = value[0] == L'0' && (value[1] == L'x' || value[1] == L'X');
    module->levelMask = ParseUnsigned(value, hex ? 16 : 10);
    HeapFree(GetProcessHeap(), 0, value);
    SetLastError(0);
    return TRUE;
}

BOOL TraceRingGeometry(const TraceModule *module, DWORD *noSlots, DWORD *slotSize) {
    const TraceBufferHeader *header = module->pBuffer;
    if (header == NULL) return FALSE;
    DWORD slots = header->noSlots;
    DWORD size = header->slotSize;
    if (slots == 0 || size == 0) return FALSE;
    unsigned long long needed = (unsigned long long)slots * size + sizeof(TraceBufferHeader);
    if (needed > ((const TraceModuleRecord *)module)->viewSize) return FALSE;
    *noSlots = slots;
    *slotSize = size;
    return TRUE;
}

extern "C" TraceModule *TraceRegister(HMODULE hModule, const wchar_t *moduleName) {
    if (!FaultGuardInstall()) return NULL;
    TraceModuleRecord *record = (TraceModuleRecord *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                               sizeof(TraceModuleRecord));
    if (record == NULL) return NULL;
    TraceModule *module = &record->module;

    BOOL ok = AttachRingBuffer(record);
    if (ok) {
        if (!TraceReadLevelMask(hModule, moduleName, module) &&
            !TraceReadLevelMask(NULL, moduleName, module) &&
            !TraceReadLevelMask(hModule, NULL, module))
            TraceReadLevelMask(NULL, NULL, module);
        if (module->levelMask != 0) ok = AttachPort(module);
    }
    if (!ok || (module->pPort == NULL && module->pBuffer == NULL)) {
        ReleaseRecord(module);
        return NULL;
    }
    return module;
}

extern "C" void TraceRelease(TraceModule *module) {
    if (module == NULL) return;
    FaultGuardRun(ReleaseRecordGuarded, module);
}
