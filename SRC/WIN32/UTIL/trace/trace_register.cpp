// Registering and releasing trace modules: level masks from the
// environment, the shared ring buffer view and the serial port.
#include "trace_internal.h"

#include <shellapi.h>

static const wchar_t kTraceBufferName[] = L"TRACEBUFFER";
static const DWORD kNameBufferChars = 260;   // NUL included

DWORD TraceParseUnsigned(const wchar_t *text, int base) {
    const wchar_t *p = text;
    while (*p == L' ' || *p == L'\t' || *p == L'\n' || *p == L'\r' || *p == L'\v' || *p == L'\f') ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
    if (base == 16 && p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) {
        bool hexDigitFollows = (p[2] >= L'0' && p[2] <= L'9') || (p[2] >= L'a' && p[2] <= L'f') ||
                               (p[2] >= L'A' && p[2] <= L'F');
        if (hexDigitFollows) p += 2;
    }
    unsigned long long value = 0;
    bool overflow = false;
    for (;; ++p) {
        unsigned digit;
        if (*p >= L'0' && *p <= L'9') digit = (unsigned)(*p - L'0');
        else if (base == 16 && *p >= L'a' && *p <= L'f') digit = (unsigned)(*p - L'a' + 10);
        else if (base == 16 && *p >= L'A' && *p <= L'F') digit = (unsigned)(*p - L'A' + 10);
        else break;
        if (digit >= (unsigned)base) break;
        value = value * (unsigned)base + digit;
        if (value > 0xFFFFFFFFull) overflow = true, value = 0xFFFFFFFFull;
    }
    if (overflow) return 0xFFFFFFFFu;
    DWORD result = (DWORD)value;
    return negative ? 0u - result : result;
}

DWORD TraceParseSizeToken(const wchar_t *text) {
    DWORD value = TraceParseUnsigned(text, 10);
    return value != 0 ? value : TraceParseUnsigned(text, 16);
}

// A heap copy of an environment variable's value, or NULL (absent: the last
// error is ERROR_ENVVAR_NOT_FOUND).
static wchar_t *CopyEnvironmentValue(const wchar_t *name, BOOL *failed) {
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

BOOL TraceReadLevelMask(HMODULE hModule, const wchar_t *moduleName, TraceModule *module) {
    module->levelMask = 0;
    wchar_t path[kNameBufferChars];
    DWORD length = GetModuleFileNameW(hModule, path, kNameBufferChars);
    if (length == 0 || length >= kNameBufferChars) {
        // A cut path would name a variable that belongs to another file.
        SetLastError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    const wchar_t *fileName = path;
    for (const wchar_t *p = path; *p; ++p)
        if (*p == L'\\') fileName = p + 1;

    wchar_t name[kNameBufferChars];
    size_t used = 0;
    for (const wchar_t *p = fileName; *p; ++p) name[used++] = *p;
    if (moduleName != NULL) {
        size_t nameLength = wcslen(moduleName);
        // A composed name that does not fit is not looked up at all: a cut
        // one could match a variable meant for a different module.
        if (used + 2 + nameLength >= kNameBufferChars) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        name[used++] = L':';
        name[used++] = L':';
        for (size_t i = 0; i < nameLength; ++i) name[used++] = moduleName[i];
    }
    name[used] = L'\0';

    BOOL failed;
    wchar_t *value = CopyEnvironmentValue(name, &failed);
    if (value == NULL) {
        SetLastError(failed ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BAD_ENVIRONMENT);
        return FALSE;
    }
    bool hex = value[0] == L'0' && (value[1] == L'x' || value[1] == L'X');
    module->levelMask = TraceParseUnsigned(value, hex ? 16 : 10);
    HeapFree(GetProcessHeap(), 0, value);
    SetLastError(0);
    return TRUE;
}

// Splits a variable's value into blank-separated tokens. *tokens is NULL
// when the variable is absent; FALSE when copying or splitting failed.
static BOOL SplitEnvironmentValue(const wchar_t *name, wchar_t ***tokens, int *count) {
    *tokens = NULL;
    *count = 0;
    BOOL failed;
    wchar_t *value = CopyEnvironmentValue(name, &failed);
    if (value == NULL) return !failed;
    // CommandLineToArgvW reads its first token as a program name: leading
    // blanks would make it empty, and an empty text gives our own path.
    const wchar_t *start = value;
    while (*start == L' ' || *start == L'\t') ++start;
    if (*start != L'\0') {
        *tokens = CommandLineToArgvW(start, count);
        if (*tokens == NULL) {
            HeapFree(GetProcessHeap(), 0, value);
            return FALSE;
        }
    }
    HeapFree(GetProcessHeap(), 0, value);
    return TRUE;
}

// Maps the ring buffer described by TRACESIZE. FALSE only for a failure
// that fails the registration; a missing or malformed TRACESIZE is none.
static BOOL AttachRingBuffer(TraceModuleRecord *record) {
    wchar_t **tokens;
    int count;
    if (!SplitEnvironmentValue(L"TRACESIZE", &tokens, &count)) return FALSE;
    if (tokens == NULL) return TRUE;
    DWORD noSlots = count >= 2 ? TraceParseSizeToken(tokens[0]) : 0;
    DWORD slotSize = count >= 2 ? TraceParseSizeToken(tokens[1]) : 0;
    LocalFree(tokens);
    if (noSlots == 0 || slotSize == 0) return TRUE;
    unsigned long long total = (unsigned long long)noSlots * slotSize + sizeof(TraceBufferHeader);
    if (total > 0xFFFFFFFFull) return TRUE;   // no buffer rather than a wrapped size

    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE | SEC_COMMIT, 0,
                                        (DWORD)total, kTraceBufferName);
    if (mapping == NULL) return FALSE;
    BOOL existed = GetLastError() == ERROR_ALREADY_EXISTS;
    TraceBufferHeader *header = (TraceBufferHeader *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
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

// Opens the port described by TRACEPORT. FALSE only when copying or
// splitting failed.
static BOOL AttachPort(TraceModule *module) {
    wchar_t **tokens;
    int count;
    if (!SplitEnvironmentValue(L"TRACEPORT", &tokens, &count)) return FALSE;
    if (tokens == NULL) return TRUE;
    if (count >= 2) {
        DWORD baud = TraceParseSizeToken(tokens[1]);
        if (baud != 0) module->pPort = TracePortOpen(tokens[0], baud);
    }
    LocalFree(tokens);
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

static void ReleaseRecord(TraceModule *module) {
    TraceReleaseClearCounter(module);
    if (module->pPort != NULL) TracePortClose(module->pPort);
    module->pPort = NULL;
    if (module->pBuffer != NULL) UnmapViewOfFile(module->pBuffer);
    module->pBuffer = NULL;
    if (module->hFileMappingObject != NULL) CloseHandle(module->hFileMappingObject);
    module->hFileMappingObject = NULL;
    HeapFree(GetProcessHeap(), 0, module);
}

static void ReleaseRecordGuarded(void *module) { ReleaseRecord((TraceModule *)module); }

extern "C" TraceModule *TraceRegister(HMODULE hModule, const wchar_t *moduleName) {
    if (!FaultGuardInstall()) return NULL;
    TraceModuleRecord *record =
        (TraceModuleRecord *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TraceModuleRecord));
    if (record == NULL) return NULL;
    TraceModule *module = &record->module;

    BOOL ok = AttachRingBuffer(record);
    if (ok) {
        if (!TraceReadLevelMask(hModule, moduleName, module) &&
            !TraceReadLevelMask(NULL, moduleName, module) && !TraceReadLevelMask(hModule, NULL, module))
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
