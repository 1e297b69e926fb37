// canslcan: feeds a ribex net from a serial-line CAN (slcan) adapter on a
// COM port, as the simulated peer of the net or through the virtual CAN
// bus. Run "canslcan -h" for the usage.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

#include "can_frame_text.h"
#include "canslcan_bridge.h"
#include "tool_clock.h"
#include "tool_stop.h"

namespace {

void CopyName(const std::wstring &name, char *out, size_t size)
{
    size_t i = 0;
    for (; i < name.size() && i + 1 < size; i++) out[i] = name[i] < 128 ? (char)name[i] : '?';
    out[i] = 0;
}

// Host time for log lines without adapter stamps: seconds since 1970.
uint64_t HostEpoch100ns()
{
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return t - 116444736000000000ull;
}

bool OpenTarget(Bridge *b)
{
    const SlcanOptions &o = *b->options;
    if (o.target == SlcanTarget::Device) {
        if (CanSinkOpenDevice(&b->sink, o.targetName.c_str())) return DeviceStart(b);
        DWORD error = GetLastError();
        fprintf(stderr, "canslcan: cannot open device \\\\.\\%s: error %lu%s\n", b->iface, error,
                error == ERROR_FILE_NOT_FOUND ? " (is the driver started?)" : "");
        return false;
    }
    bool existed = false;
    uint32_t high = o.uniqueIdGiven ? o.uniqueIdHigh : GetCurrentProcessId();
    if (!CanSinkCreateQueue(&b->sink, o.targetName.c_str(), o.queueSize, high, o.uniqueIdLow,
                            &existed)) {
        fprintf(stderr, "canslcan: cannot create the queue '%s': error %lu\n", b->iface,
                GetLastError());
        return false;
    }
    if (existed) BridgeMessage(b, "queue '%s' existed already; sending into it", b->iface);
    return true;
}

// Opens and sets up the port; FALSE when that failed (the cause printed).
bool Connect(Bridge *b)
{
    if (!SlcanPortOpen(&b->port, b->options->port.c_str(), b->options->serialBaud)) {
        b->portError = GetLastError();
        return false;
    }
    if (AdapterSetUp(b)) {
        BridgeMessage(b, "%s open (%s%s%s), feeding %s", b->portName,
                      b->options->bitRateCommand.c_str(),
                      b->options->listenOnly ? ", listen-only" : "",
                      b->options->adapterStamps ? ", Z1" : "", b->iface);
        return true;
    }
    SlcanPortClose(&b->port);
    return false;
}

// Waits before the next attempt: 250 ms doubling up to the maximum.
bool BackOff(Bridge *b, DWORD *delayMs)
{
    bool stopped = WaitForSingleObject(b->hStop, *delayMs) == WAIT_OBJECT_0;
    *delayMs = *delayMs * 2 > b->options->retryMaxMs ? b->options->retryMaxMs : *delayMs * 2;
    return !stopped;
}

// The main loop: connect, pass frames on until the port fails, reconnect.
// Returns the exit code.
int Run(Bridge *b)
{
    bool everConnected = false;
    DWORD delayMs = 250;
    for (;;) {
        if (!Connect(b)) {
            if (b->setupRefused) return 1;
            if (WaitForSingleObject(b->hStop, 0) == WAIT_OBJECT_0) return 0;
            if (!everConnected) {
                BridgeMessage(b, "cannot open %s: error %lu", b->portName, b->portError);
                return 1;
            }
            if (!BackOff(b, &delayMs)) return 0;
            continue;
        }
        if (everConnected) InterlockedIncrement64(&b->stats.reconnects);
        everConnected = true;
        delayMs = 250;
        PumpResult r;
        while ((r = AdapterPump(b, INFINITE)) == PumpResult::Idle) {}
        if (r == PumpResult::Stopped) {
            AdapterShutDown(b);
            SlcanPortClose(&b->port);
            return 0;
        }
        BridgeMessage(b, "%s failed (error %lu): the adapter is gone; reopening until it is back",
                      b->portName, b->portError);
        SlcanPortClose(&b->port);
        AdapterPortLost(b);
    }
}

void PrintStatistics(Bridge *b)
{
    const BridgeStats &s = b->stats;
    fprintf(stderr,
            "canslcan: %s <-> %s: %lld frames received, %lld transmitted, %lld lost (%lld to %s, "
            "%lld to the "
            "adapter), %lld malformed, %lld refused, %lld reconnects\n",
            b->portName, b->iface, s.rxFrames, s.txFrames, s.lostRx + s.lostTx, s.lostRx, b->iface,
            s.lostTx, s.malformed, s.refused, s.reconnects);
    if (s.deviceReopens) {
        fprintf(stderr, "canslcan: reopens of the device after it went away: %lld\n",
                s.deviceReopens);
    }
    if (s.overflows) {
        fprintf(stderr, "canslcan: the device queue overflowed %lld times\n", s.overflows);
    }
    fflush(stderr);
}

bool InitBridge(Bridge *b, const SlcanOptions *o)
{
    ZeroMemory(b, sizeof(*b));
    b->options = o;
    b->sink = CanSink{INVALID_HANDLE_VALUE, nullptr, nullptr, 0, 0};
    InitializeSRWLock(&b->sinkLock);
    SlcanPortInit(&b->port);
    PendingInit(&b->pending);
    InitializeCriticalSection(&b->printLock);
    CopyName(o->targetName, b->iface, sizeof(b->iface));
    CopyName(o->port, b->portName, sizeof(b->portName));
    if (!ToolStopInstall() || !ToolStopAfter(o->runTimeMs)) return false;
    b->hStop = ToolStopEvent();
    return true;
}

void DeleteBridge(Bridge *b)
{
    DeviceStop(b);
    SlcanPortDelete(&b->port);
    CanSinkClose(&b->sink, 0);
    PendingDelete(&b->pending);
    DeleteCriticalSection(&b->printLock);
}

}  // namespace

void BridgeMessage(Bridge *b, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    EnterCriticalSection(&b->printLock);
    fprintf(stderr, "canslcan: %s\n", text);
    fflush(stderr);
    LeaveCriticalSection(&b->printLock);
}

uint64_t BridgeHostMs(const Bridge *)
{
    return ToolNowMs();
}

void BridgePrintFrame(Bridge *b, const RxMsg *msg, bool adapterStamp, uint64_t adapterMs)
{
    RxMsg shown = *msg;
    shown.timeStamp = adapterStamp ? adapterMs * 10000ull : HostEpoch100ns();
    char line[CAN_LOG_LINE_MAX];
    if (!CanLogLineFormat(&shown, b->iface, line, sizeof(line))) return;
    EnterCriticalSection(&b->printLock);
    printf("%s\n", line);
    fflush(stdout);
    LeaveCriticalSection(&b->printLock);
}

int wmain(int argc, wchar_t **argv)
{
    SlcanOptions options;
    ToolSpec optionTable = SlcanToolSpec(&options);
    ToolArgs args;
    std::wstring error;
    if (!ParseSlcanOptions(argc, argv, &options, &error)) return ToolFail(optionTable, error);
    if (options.help || options.version) return ToolBegin(optionTable, argc, argv, &args);
    static Bridge bridge;
    if (!InitBridge(&bridge, &options)) return 1;
    int code = 1;
    if (OpenTarget(&bridge)) {
        code = Run(&bridge);
        PrintStatistics(&bridge);
    }
    DeleteBridge(&bridge);
    return code;
}
