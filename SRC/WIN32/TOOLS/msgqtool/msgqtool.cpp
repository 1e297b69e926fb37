// msgqtool: create, send to, receive from and inspect a named message queue,
// for debugging a client or peer against the server's queues.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <string>

#include "msgq.h"
#include "msgq_block.h"
#include "tool_number.h"
#include "tool_options.h"
#include "tool_stop.h"

namespace {

constexpr DWORD MAX_DATA = 65536;

struct Options {
    DWORD timeoutMs = 1000;
    DWORD count = 1;
    bool countGiven = false;
    bool timeoutGiven = false;
    bool text = false;
};

const wchar_t kSynopsis[] =
    L"Usage: msgqtool [options] create NAME MAXMSGS MAXSIZE\n"
    L"       msgqtool [options] send NAME DATA [DATA...]\n"
    L"       msgqtool [options] recv NAME\n"
    L"       msgqtool info NAME\n"
    L"\n"
    L"Works on the named message queue NAME (kernel objects \"MsgQ\" NAME with the\n"
    L"suffixes FMO, SEM, MTX and none).\n"
    L"\n"
    L"  create  creates the queue (or joins an existing one) and holds it open until\n"
    L"          Ctrl+C, or for -t milliseconds when given.\n"
    L"  send    sends each DATA as one message: hexadecimal bytes (DEADBEEF), or text\n"
    L"          with -s. An empty message is \"\" or \"-\".\n"
    L"  recv    receives -n messages (0: until a receive times out) and prints each as\n"
    L"          LENGTH#HEX  \"TEXT\".\n"
    L"  info    prints the header, the message and free counts, the mutex state and\n"
    L"          the length and first bytes of every queued message, changing nothing.\n"
    L"\n"
    L"Options:\n";

const wchar_t kExamples[] =
    L"\n"
    L"MAXMSGS, MAXSIZE, MS and COUNT are decimal, or hexadecimal with 0x.\n"
    L"\n"
    L"Examples:\n"
    L"  msgqtool create demo 16 124\n"
    L"  msgqtool send demo 0102030405 DEADBEEF\n"
    L"  msgqtool -s send demo \"hello world\"\n"
    L"  msgqtool -n 0 -t 200 recv demo\n"
    L"  msgqtool info demo\n";

// A number as the usage says: decimal, or hex after 0x.
ToolOptionFn Number(DWORD *target, bool *given, const wchar_t *what) {
    return [=](const wchar_t *v, std::wstring *error) {
        if (!ParseArgDwordOrHex(v, 0xFFFFFFFF, target)) return ToolBad(error, what, v);
        *given = true;
        return true;
    };
}

ToolSpec Spec(Options *o) {
    return {"msgqtool", kSynopsis, kExamples, 12, false,
        {
            {L't', nullptr, L"MS", L"time-out in milliseconds for open, send and receive (default 1000)",
             Number(&o->timeoutMs, &o->timeoutGiven, L"bad time-out")},
            {L'n', nullptr, L"COUNT", L"messages to receive (default 1; 0 = until a time-out)",
             Number(&o->count, &o->countGiven, L"bad count")},
            ToolFlag(L's', nullptr, L"DATA is text, not hexadecimal", &o->text),
        }};
}

int Usage(const char *problem) {
    Options unused;
    return ToolFail(Spec(&unused), std::wstring(problem, problem + strlen(problem)));
}

bool ParseNumber(const wchar_t *text, DWORD *value) { return ParseArgDwordOrHex(text, 0xFFFFFFFF, value) != FALSE; }

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// DATA as bytes; false with the reason when it is not valid.
bool ParseData(const wchar_t *arg, bool text, BYTE *out, DWORD *length, const char **problem) {
    if (wcscmp(arg, L"-") == 0) {
        *length = 0;
        return true;
    }
    if (text) {
        int n = WideCharToMultiByte(CP_UTF8, 0, arg, -1, (char *)out, MAX_DATA, nullptr, nullptr);
        if (n <= 0) {
            *problem = "text too long";
            return false;
        }
        *length = (DWORD)n - 1;
        return true;
    }
    size_t chars = wcslen(arg);
    if (chars % 2 || chars / 2 > MAX_DATA) {
        *problem = "DATA must be an even number of hexadecimal digits";
        return false;
    }
    for (size_t i = 0; i < chars; i += 2) {
        int hi = HexDigit(arg[i]), lo = HexDigit(arg[i + 1]);
        if (hi < 0 || lo < 0) {
            *problem = "DATA holds a character that is not a hexadecimal digit";
            return false;
        }
        out[i / 2] = (BYTE)(hi * 16 + lo);
    }
    *length = (DWORD)(chars / 2);
    return true;
}

void PrintMessage(const BYTE *data, DWORD length, DWORD shown) {
    printf("%lu#", length);
    for (DWORD i = 0; i < shown; i++) printf("%02X", data[i]);
    if (shown < length) printf("...");
    printf("  \"");
    for (DWORD i = 0; i < shown; i++) putchar(data[i] >= 0x20 && data[i] < 0x7F ? data[i] : '.');
    printf("\"\n");
}

int Create(const Options &options, const wchar_t *name, const wchar_t *maxMsgsText,
           const wchar_t *maxSizeText) {
    DWORD maxMsgs, maxSize;
    if (!ParseNumber(maxMsgsText, &maxMsgs) || !maxMsgs) return Usage("MAXMSGS must be a number above 0");
    if (!ParseNumber(maxSizeText, &maxSize) || !maxSize) return Usage("MAXSIZE must be a number above 0");
    MsgQHandle q = MsgQCreate(name, maxMsgs, maxSize, MSGQ_NAMED);
    if (!q) {
        fprintf(stderr, "msgqtool: cannot create queue %ls, error %lu\n", name, GetLastError());
        return 1;
    }
    printf("%s queue %ls; holding it open%s\n", GetLastError() == ERROR_ALREADY_EXISTS ? "joined existing" : "created",
           name, options.timeoutGiven ? "" : " until Ctrl+C");
    fflush(stdout);
    if (ToolStopInstall()) WaitForSingleObject(ToolStopEvent(), options.timeoutGiven ? options.timeoutMs : INFINITE);
    MsgQClose(q);
    return 0;
}

int Send(const Options &options, const wchar_t *name, int dataCount, wchar_t **data) {
    static BYTE message[MAX_DATA];
    // Check every DATA before anything is sent.
    for (int i = 0; i < dataCount; i++) {
        DWORD length;
        const char *problem = nullptr;
        if (!ParseData(data[i], options.text, message, &length, &problem)) return Usage(problem);
    }
    MsgQHandle q = MsgQOpen(name, options.timeoutMs);
    if (!q) {
        fprintf(stderr, "msgqtool: cannot open queue %ls, error %lu\n", name, GetLastError());
        return 1;
    }
    int result = 0;
    for (int i = 0; i < dataCount; i++) {
        DWORD length;
        const char *problem = nullptr;
        ParseData(data[i], options.text, message, &length, &problem);
        if (!MsgQSend(q, message, length, options.timeoutMs)) {
            fprintf(stderr, "msgqtool: sending message %d (%lu bytes) failed, error %lu\n", i + 1, length,
                    GetLastError());
            result = 1;
            break;
        }
    }
    MsgQClose(q);
    return result;
}

int Receive(const Options &options, const wchar_t *name) {
    static BYTE buffer[MAX_DATA];
    MsgQHandle q = MsgQOpen(name, options.timeoutMs);
    if (!q) {
        fprintf(stderr, "msgqtool: cannot open queue %ls, error %lu\n", name, GetLastError());
        return 1;
    }
    int result = 0;
    for (DWORD n = 0; options.count == 0 || n < options.count; n++) {
        DWORD length = 0;
        if (!MsgQReceive(q, buffer, sizeof(buffer), &length, options.timeoutMs)) {
            DWORD error = GetLastError();
            if (error == ERROR_TIMEOUT && options.count == 0) break;
            fprintf(stderr, "msgqtool: receive failed, error %lu\n", error);
            result = 1;
            break;
        }
        PrintMessage(buffer, length, length);
        fflush(stdout);
    }
    MsgQClose(q);
    return result;
}

// The state of a kernel object without taking or releasing it.
typedef LONG(NTAPI *QueryObjectFn)(HANDLE, int, void *, ULONG, ULONG *);
struct SemaphoreState {
    LONG currentCount;
    LONG maximumCount;
};
struct MutexState {
    LONG currentCount;  // 1: free, 0 or less: owned
    BOOLEAN ownedByCaller;
    BOOLEAN abandoned;
};

void PrintSemaphore(const char *label, const wchar_t *objectName) {
    static auto query = (QueryObjectFn)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySemaphore");
    HANDLE h = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, objectName);
    SemaphoreState state{};
    if (!h) printf("%-14s missing (error %lu)\n", label, GetLastError());
    else if (!query || query(h, 0, &state, sizeof(state), nullptr) != 0) printf("%-14s cannot be read\n", label);
    else printf("%-14s %ld of %ld\n", label, state.currentCount, state.maximumCount);
    if (h) CloseHandle(h);
}

void PrintMutex(const wchar_t *objectName) {
    static auto query = (QueryObjectFn)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant");
    HANDLE h = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, objectName);
    MutexState state{};
    if (!h) printf("%-14s missing (error %lu)\n", "sender mutex", GetLastError());
    else if (!query || query(h, 0, &state, sizeof(state), nullptr) != 0) printf("%-14s cannot be read\n", "sender mutex");
    else printf("%-14s %s\n", "sender mutex",
                state.abandoned ? "abandoned (the next sender repairs the queue)"
                : state.currentCount > 0 ? "free" : "held");
    if (h) CloseHandle(h);
}

int Info(const wchar_t *name) {
    wchar_t objectName[512];
    swprintf(objectName, 512, L"MsgQ%lsFMO", name);
    HANDLE hMap = OpenFileMappingW(FILE_MAP_READ, FALSE, objectName);
    if (!hMap) {
        fprintf(stderr, "msgqtool: no queue %ls (%ls: error %lu)\n", name, objectName, GetLastError());
        return 1;
    }
    auto *block = static_cast<const MsgQBlock *>(MapViewOfFile(hMap, FILE_MAP_READ, 0, 0, 0));
    if (!block) {
        fprintf(stderr, "msgqtool: cannot map %ls, error %lu\n", objectName, GetLastError());
        CloseHandle(hMap);
        return 1;
    }
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(block, &info, sizeof(info));
    DWORD M = block->maxMsgs, S = block->msgSlotSize, w = block->writeOffset, r = block->readOffset;
    uint64_t blockSize = MsgQBlockSizeFor(M, S);
    printf("queue          %ls\n", name);
    printf("maxMsgs        %lu\n", M);
    printf("msgSlotSize    %lu (messages up to %lu bytes)\n", S, S >= 4 ? S - 4 : 0);
    int result = 0;
    if (M == 0 || S < 8 || S % 8 || blockSize > info.RegionSize) {
        printf("header         damaged: block of %llu bytes in a view of %llu\n", (unsigned long long)blockSize,
               (unsigned long long)info.RegionSize);
        result = 1;
    } else {
        DWORD R = (M + 1) * S;
        printf("ring           %lu slots, %lu bytes\n", M + 1, R);
        printf("writeOffset    %lu (slot %lu)\n", w, w / S);
        printf("readOffset     %lu (slot %lu)%s\n", r, (r >= R ? 0 : r) / S, r == R ? ", R: read as 0" : "");
        DWORD at = r >= R ? 0 : r;
        if (w >= R || w % S || at % S) {
            printf("offsets        damaged\n");
            result = 1;
        } else {
            DWORD queued = MsgQQueuedCount(at, w, M, S);
            swprintf(objectName, 512, L"MsgQ%ls", name);
            PrintSemaphore("message count", objectName);
            swprintf(objectName, 512, L"MsgQ%lsSEM", name);
            PrintSemaphore("free count", objectName);
            swprintf(objectName, 512, L"MsgQ%lsMTX", name);
            PrintMutex(objectName);
            printf("queued         %lu (from the offsets)\n", queued);
            for (DWORD i = 0; i < queued; i++) {
                DWORD offset = (at + i * S) % R;
                const BYTE *slot = reinterpret_cast<const BYTE *>(block) + MSGQ_BLOCK_HEADER_SIZE + offset;
                DWORD length;
                memcpy(&length, slot, sizeof(length));
                printf("  slot %-5lu ", offset / S);
                DWORD shown = length < 16 ? length : 16;
                if (shown > S - 4) shown = S - 4;
                PrintMessage(slot + 4, length, shown);
            }
        }
    }
    UnmapViewOfFile(block);
    CloseHandle(hMap);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    Options options;
    ToolArgs args;
    int code = ToolBegin(Spec(&options), argc, argv, &args);
    if (code >= 0) return code;
    const int noWords = (int)args.operands.size();
    wchar_t **words = const_cast<wchar_t **>(args.operands.data());
    int i = 0;
    if (i >= noWords) return Usage("no command given");
    const wchar_t *command = words[i++];
    if (i >= noWords) return Usage("no queue NAME given");
    const wchar_t *name = words[i++];
    int rest = noWords - i;
    if (wcscmp(command, L"create") == 0) {
        if (rest != 2) return Usage("create needs MAXMSGS and MAXSIZE");
        return Create(options, name, words[i], words[i + 1]);
    }
    if (wcscmp(command, L"send") == 0) {
        if (rest < 1) return Usage("send needs at least one DATA");
        return Send(options, name, rest, words + i);
    }
    if (wcscmp(command, L"recv") == 0) {
        if (rest) return Usage("recv takes no DATA");
        return Receive(options, name);
    }
    if (wcscmp(command, L"info") == 0) {
        if (rest) return Usage("info takes only NAME");
        return Info(name);
    }
    return Usage("unknown command");
}
