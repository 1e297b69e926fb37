// traceview: shows the shared trace ring "TRACEBUFFER" that traced programs
// write to when TRACESIZE is set. Dumps it, clears it, follows it live, or
// creates and holds it so that a program started later keeps its lines
// after it exits.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tool_number.h"
#include "tool_options.h"
#include "tool_stop.h"
#include "trace.h"

static const wchar_t kSynopsis[] =
    L"usage: traceview [-h] [-V] [-l] [-a] [-T MS] [-i MS] [-r EVENT] COMMAND [ARGS]\n"
    L"       (options may also follow the command)\n"
    L"\n"
    L"Views the shared trace ring \"TRACEBUFFER\" of the programs that trace with\n"
    L"TRACESIZE set.\n"
    L"\n"
    L"commands:\n"
    L"  dump                 print the lines in the ring, oldest first\n"
    L"  clear                empty the ring\n"
    L"  info                 print \"slots N size N lines N\" of the ring\n"
    L"  follow               print lines as they are written; waits for the ring\n"
    L"                       if there is none yet (then prints it from its first\n"
    L"                       line). When writers lap the viewer it prints\n"
    L"                       \"*** N lines lost ***\" in place of the lines lost,\n"
    L"                       and \"*** ring cleared ***\" when the ring was cleared\n"
    L"                       (however many lines came after the clear)\n"
    L"  hold SLOTS SLOTSIZE  create the ring with SLOTS slots of SLOTSIZE bytes, or\n"
    L"                       keep the one that exists (its geometry stays), and hold\n"
    L"                       it open until killed, Ctrl+C or -T runs out\n"
    L"\n"
    L"options:\n";

static const wchar_t kExamples[] =
    L"\n"
    L"SLOTS, SLOTSIZE, SECONDS and MS are decimal, or hexadecimal with 0x.\n"
    L"\n"
    L"examples:\n"
    L"  traceview hold 1000 120      keep a ring of 1000 lines of up to 119 characters\n"
    L"  traceview -T 5000 follow     print the lines written in the next five seconds\n"
    L"  traceview dump > trace.txt   save the ring\n"
    L"\n"
    L"exit codes: 0 done, 1 no ring (dump, clear, info) or it could not be made,\n"
    L"2 wrong arguments.\n";

struct Options {
    bool ownLines = false;
    bool fromStart = false;
    DWORD runTimeMs = 0;  // 0: no limit
    DWORD intervalMs = 20;
    const wchar_t *readyEvent = NULL;
};

// A number as the usage says: decimal, or hex after 0x, min..max.
static ToolOptionFn Number(DWORD min, DWORD max, DWORD scale, DWORD *target, const wchar_t *what) {
    return [=](const wchar_t *v, std::wstring *error) {
        DWORD n;
        if (!ParseArgDwordOrHex(v, max, &n) || n < min) return ToolBad(error, what, v);
        *target = n * scale;
        return true;
    };
}

static ToolSpec Spec(Options *o) {
    return {"traceview", kSynopsis, kExamples, 14, true,
        {
            ToolFlag(L'l', nullptr, L"one line per slot: add a newline behind a line without one", &o->ownLines),
            ToolFlag(L'a', nullptr, L"follow: first print the lines already in the ring", &o->fromStart),
            {L'T', nullptr, L"MS", L"follow, hold: end after MS milliseconds (default: run until killed)",
             Number(1, 0xFFFFFFFF, 1, &o->runTimeMs, L"bad run time")},
            {L't', nullptr, L"SECONDS", L"the same in seconds (1 to 4000000), the older letter",
             Number(1, 4000000, 1000, &o->runTimeMs, L"bad run time in seconds (1 to 4000000)")},
            {L'i', nullptr, L"MS", L"follow: look for new lines every MS milliseconds (default 20)",
             Number(1, 0xFFFFFFFF, 1, &o->intervalMs, L"bad interval in milliseconds")},
            {L'r', nullptr, L"EVENT",
             L"follow, hold: set the named event EVENT once the ring is\n"
             L"held or followed (for scripts and tests that wait for it)",
             [o](const wchar_t *v, std::wstring *) {
                 o->readyEvent = v;
                 return true;
             }},
        }};
}

static int Usage(const wchar_t *problem) {
    Options unused;
    return ToolFail(Spec(&unused), problem);
}

static BOOL ParseNumber(const wchar_t *text, DWORD *value) { return ParseArgDwordOrHex(text, 0xFFFFFFFF, value); }

static void SignalReady(const Options &options) {
    if (options.readyEvent == NULL) return;
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, options.readyEvent);
    if (event == NULL) {
        fwprintf(stderr, L"traceview: cannot make event %ls (error %lu)\n", options.readyEvent, GetLastError());
        return;
    }
    SetEvent(event);
    // The handle stays open while we run, so the event is there for a
    // waiter that opens it only now.
}

// Registers a module on the ring. With an existing ring the geometry is its
// own; otherwise the ring is made with noSlots x slotSize when those are
// given. The module never writes: no port, and no level is looked at.
static TraceModule *AttachRing(DWORD noSlots, DWORD slotSize, BOOL create) {
    HANDLE existing = OpenFileMappingW(FILE_MAP_READ, FALSE, L"TRACEBUFFER");
    if (existing != NULL) {
        const TraceBufferHeader *header =
            (const TraceBufferHeader *)MapViewOfFile(existing, FILE_MAP_READ, 0, 0, sizeof(TraceBufferHeader));
        if (header != NULL) {
            // Its creator may still be writing the header.
            for (int i = 0; i < 100 && (header->noSlots == 0 || header->slotSize == 0); ++i) Sleep(10);
            noSlots = header->noSlots;
            slotSize = header->slotSize;
            UnmapViewOfFile(header);
        }
    } else if (!create) {
        return NULL;
    }
    wchar_t traceSize[32];
    _snwprintf(traceSize, 32, L"%lu %lu", noSlots, slotSize);
    traceSize[31] = L'\0';
    SetEnvironmentVariableW(L"TRACESIZE", traceSize);
    SetEnvironmentVariableW(L"TRACEPORT", NULL);
    TraceModule *module = TraceRegister(NULL, L"traceview");
    if (existing != NULL) CloseHandle(existing);
    if (module != NULL && module->pBuffer == NULL) {
        TraceRelease(module);
        module = NULL;
    }
    return module;
}

static void PrintLine(const char *text, DWORD slotSize, const Options &options) {
    size_t length = strnlen(text, slotSize);
    fwrite(text, 1, length, stdout);
    if (options.ownLines && (length == 0 || text[length - 1] != '\n')) fputc('\n', stdout);
}

static const char *SlotText(TraceModule *module, DWORD slot) {
    return (const char *)(module->pBuffer + 1) + (SIZE_T)slot * module->pBuffer->slotSize;
}

static int NoRing() {
    fwprintf(stderr, L"traceview: there is no TRACEBUFFER (no traced program or holder runs)\n");
    return 1;
}

static int Dump(const Options &options) {
    TraceModule *module = AttachRing(0, 0, FALSE);
    if (module == NULL) return NoRing();
    DWORD noSlots, slotSize;
    TraceGetBufferSize(module, &noSlots, &slotSize);
    SIZE_T bytes = (SIZE_T)noSlots * slotSize;
    char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, bytes + 1);
    if (copy == NULL) {
        fwprintf(stderr, L"traceview: no memory for a copy of %Iu bytes\n", bytes);
        TraceRelease(module);
        return 1;
    }
    BOOL wrapped = (DWORD)module->pBuffer->noLines >= noSlots;
    TraceReadBuffer(module, copy, (DWORD)bytes);
    wrapped = wrapped || (DWORD)module->pBuffer->noLines >= noSlots;
    // Before the ring wraps the copy ends with the empty slot the next line
    // takes; after it every slot holds a line.
    for (DWORD i = 0; i < noSlots; ++i) {
        const char *text = copy + (SIZE_T)i * slotSize;
        if (text[0] == '\0') {
            if (!wrapped) break;
            continue;
        }
        PrintLine(text, slotSize, options);
    }
    fflush(stdout);
    HeapFree(GetProcessHeap(), 0, copy);
    TraceRelease(module);
    return 0;
}

static int Clear() {
    TraceModule *module = AttachRing(0, 0, FALSE);
    if (module == NULL) return NoRing();
    TraceClearBuffer(module);
    TraceRelease(module);
    return 0;
}

static int Info() {
    TraceModule *module = AttachRing(0, 0, FALSE);
    if (module == NULL) return NoRing();
    DWORD noSlots, slotSize;
    TraceGetBufferSize(module, &noSlots, &slotSize);
    printf("slots %lu size %lu lines %lu\n", noSlots, slotSize, (DWORD)module->pBuffer->noLines);
    fflush(stdout);
    TraceRelease(module);
    return 0;
}

static BOOL TimeIsUp(const Options &options, DWORD start) {
    return ToolStopRequested() || (options.runTimeMs != 0 && GetTickCount() - start >= options.runTimeMs);
}

static void PrintLost(DWORD lost) {
    if (lost != 0) printf("*** %lu lines lost ***\n", lost);
}

// Which clear of the ring a clear count stands for: the count rises by one
// as a clear starts and by one as it ends, so both belong to the same clear.
static DWORD ClearNumber(DWORD clearCount) { return (clearCount >> 1) + (clearCount & 1); }

// What follow has seen of the ring: lines up to `seen` of the current clear.
struct FollowState {
    TraceModule *module;
    BOOL haveClears;  // the ring's clear count can be read
    DWORD clear;      // ClearNumber of the clear the lines belong to
    DWORD seen;
};

static BOOL SameClear(const FollowState &state) {
    DWORD clears;
    if (!state.haveClears) return TRUE;
    return TraceGetClearCount(state.module, &clears) && ClearNumber(clears) == state.clear;
}

// Prints lines seen+1 .. target. A line whose slot may already hold a newer
// line (the writers claimed noSlots lines past it) counts as lost; a clear
// that comes while we copy ends the printing (the next look reports it).
static void PrintUpTo(FollowState &state, DWORD target, char *copy, const Options &options) {
    TraceBufferHeader *header = state.module->pBuffer;
    DWORD noSlots = header->noSlots, slotSize = header->slotSize;
    DWORD lost = 0, seen = state.seen;
    if (target - seen > noSlots) {
        lost = target - seen - noSlots;
        seen = target - noSlots;
    }
    for (DWORD k = seen + 1; k - 1 != target; ++k) {
        memcpy(copy, SlotText(state.module, (k - 1) % noSlots), slotSize);
        copy[slotSize] = '\0';
        if (!SameClear(state)) {
            target = k - 1;
            break;
        }
        if ((DWORD)header->noLines - k >= noSlots) {
            ++lost;
            continue;
        }
        PrintLost(lost);
        lost = 0;
        PrintLine(copy, slotSize, options);
    }
    PrintLost(lost);
    fflush(stdout);
    state.seen = target;
}

// A clear since the last look: by the clear count where the ring has one,
// else only when the line count went back.
static BOOL ClearedSinceLastLook(FollowState &state, DWORD now) {
    DWORD clears;
    if (state.haveClears && TraceGetClearCount(state.module, &clears) &&
        ClearNumber(clears) != state.clear) {
        state.clear = ClearNumber(clears);
        return TRUE;
    }
    return (LONG)(now - state.seen) < 0;
}

static int Follow(const Options &options) {
    DWORD start = GetTickCount();
    BOOL waited = FALSE;
    TraceModule *module = AttachRing(0, 0, FALSE);
    if (module == NULL) SignalReady(options);   // waiting counts as following
    while (module == NULL) {
        if (TimeIsUp(options, start)) return 0;
        Sleep(options.intervalMs);
        module = AttachRing(0, 0, FALSE);
        waited = TRUE;
    }
    TraceBufferHeader *header = module->pBuffer;
    DWORD noSlots = header->noSlots;
    char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)header->slotSize + 1);
    if (copy == NULL) {
        TraceRelease(module);
        return 1;
    }
    FollowState state = {module, FALSE, 0, 0};
    DWORD clears;
    state.haveClears = TraceGetClearCount(module, &clears);
    state.clear = ClearNumber(clears);
    DWORD now = (DWORD)header->noLines;
    // A ring that appeared while we waited is new: all of it is news.
    state.seen = waited ? 0 : options.fromStart ? (now > noSlots ? now - noSlots : 0) : now;
    if (!waited) SignalReady(options);
    // Lines are printed one look late: a writer that claimed a slot may
    // still be formatting into it when we first see the count.
    DWORD previous = now;
    for (;;) {
        BOOL last = TimeIsUp(options, start);
        if (!last) Sleep(options.intervalMs);
        now = (DWORD)header->noLines;
        DWORD target = last ? now : previous;
        if (ClearedSinceLastLook(state, now)) {
            printf("*** ring cleared ***\n");
            fflush(stdout);
            // The count read may still be the old one (a clear under way):
            // the new lines are printed from the next look on.
            state.seen = 0;
            target = 0;
            now = 0;
        }
        if ((LONG)(target - state.seen) > 0) PrintUpTo(state, target, copy, options);
        previous = now;
        if (last) break;
    }
    HeapFree(GetProcessHeap(), 0, copy);
    TraceRelease(module);
    return 0;
}

static int Hold(DWORD noSlots, DWORD slotSize, const Options &options) {
    unsigned long long total = (unsigned long long)noSlots * slotSize + sizeof(TraceBufferHeader);
    if (total > 0xFFFFFFFFull) {
        fwprintf(stderr, L"traceview: %lu slots of %lu bytes do not fit in 4 GB\n", noSlots, slotSize);
        return 2;
    }
    TraceModule *module = AttachRing(noSlots, slotSize, TRUE);
    if (module == NULL) {
        fwprintf(stderr, L"traceview: cannot make TRACEBUFFER of %lu slots of %lu bytes (error %lu)\n", noSlots,
                 slotSize, GetLastError());
        return 1;
    }
    DWORD haveSlots, haveSize;
    TraceGetBufferSize(module, &haveSlots, &haveSize);
    if (haveSlots != noSlots || haveSize != slotSize)
        fwprintf(stderr, L"traceview: TRACEBUFFER exists with %lu slots of %lu bytes; it keeps them\n", haveSlots,
                 haveSize);
    printf("holding TRACEBUFFER: %lu slots of %lu bytes\n", haveSlots, haveSize);
    fflush(stdout);
    SignalReady(options);
    WaitForSingleObject(ToolStopEvent(), options.runTimeMs != 0 ? options.runTimeMs : INFINITE);
    TraceRelease(module);
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    _setmode(_fileno(stdout), _O_BINARY);   // lines go out byte for byte
    Options options;
    ToolArgs parsed;
    int code = ToolBegin(Spec(&options), argc, argv, &parsed);
    if (code >= 0) return code;
    if (!ToolStopInstall()) return 1;
    int count = (int)parsed.operands.size();
    const wchar_t *const *positional = parsed.operands.data();
    if (count == 0) return Usage(L"a command is missing");
    const wchar_t *command = positional[0];
    int rest = count - 1;
    const wchar_t *const *args = positional + 1;
    if (wcscmp(command, L"hold") == 0) {
        DWORD noSlots, slotSize;
        if (rest != 2) return Usage(L"hold needs SLOTS and SLOTSIZE");
        if (!ParseNumber(args[0], &noSlots) || noSlots == 0) return Usage(L"SLOTS must be a number above 0");
        if (!ParseNumber(args[1], &slotSize) || slotSize == 0)
            return Usage(L"SLOTSIZE must be a number above 0");
        return Hold(noSlots, slotSize, options);
    }
    if (rest != 0) return Usage(L"too many arguments");
    if (wcscmp(command, L"dump") == 0) return Dump(options);
    if (wcscmp(command, L"clear") == 0) return Clear();
    if (wcscmp(command, L"info") == 0) return Info();
    if (wcscmp(command, L"follow") == 0) return Follow(options);
    wchar_t problem[96];
    _snwprintf(problem, 96, L"unknown command \"%ls\"", command);
    problem[95] = L'\0';
    return Usage(problem);
}
