// Frames per second from a writer handle to a reader handle through the
// virtual CAN driver, for 1, 2 and 16 frames per read, in one run.
//
//   vcan_bench            installs a private service of the driver (vcan.sys
//                         next to this program), measures, removes it
//   vcan_bench DEVICE     measures on an existing device, e.g. VCAN8
//
// The writer puts 16 frames on the bus per WriteFile and keeps at most half
// a queue ahead of the reader, so no frame is lost; the figure is how fast
// a reader that asks for N frames per read drains the bus.
//
// Then how far the driver's clock runs in 200 ms of the program's, how
// long a cancelled read takes to end, and one large write of remote frames to several handles that each enable
// the most identifiers a handle may: how long the write takes, and how long
// a control code of another thread waits meanwhile (the driver holds its
// device lock for the work of a write).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vcan_control.h"

namespace {

constexpr DWORD WRITE_BATCH = 16;

struct Run {
    HANDLE hWriter;
    HANDLE hReader;
    DWORD framesPerRead;
    DWORD total;
    DWORD window;
    volatile LONG received;
    DWORD readError;
};

DWORD WINAPI ReaderThread(void *param)
{
    Run *run = static_cast<Run *>(param);
    std::vector<RxMsg> buffer(run->framesPerRead);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint32_t expected = 0;
    while ((DWORD)run->received < run->total) {
        ResetEvent(ov.hEvent);
        DWORD bytes = 0;
        BOOL ok = ReadFile(run->hReader, buffer.data(), run->framesPerRead * (DWORD)sizeof(RxMsg), &bytes, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(run->hReader, &ov, &bytes, TRUE);
        if (!ok) {
            run->readError = GetLastError();
            break;
        }
        DWORD n = bytes / (DWORD)sizeof(RxMsg);
        for (DWORD i = 0; i < n; i++, expected++) {
            uint32_t index;
            memcpy(&index, buffer[i].can.data, 4);
            if (index != expected && !run->readError) run->readError = ERROR_INVALID_DATA;
        }
        InterlockedExchangeAdd(&run->received, (LONG)n);
    }
    CloseHandle(ov.hEvent);
    return 0;
}

double Measure(const wchar_t *device, DWORD framesPerRead, DWORD total, DWORD *lost, DWORD *error)
{
    Run run = {};
    run.hWriter = VcanOpenDevice(device);
    run.hReader = VcanOpenDevice(device);
    run.framesPerRead = framesPerRead;
    run.total = total;
    *lost = 0;
    *error = 0;
    if (run.hWriter == INVALID_HANDLE_VALUE || run.hReader == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return 0;
    }
    VcanCounters counters;
    run.window = VcanGetCounters(run.hReader, &counters) ? counters.capacity / 2 : 256;

    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    HANDLE thread = CreateThread(nullptr, 0, ReaderThread, &run, 0, nullptr);
    QueryPerformanceCounter(&t0);
    RxMsg batch[WRITE_BATCH];
    for (DWORD sent = 0; sent < total && !run.readError;) {
        if (sent - (DWORD)run.received + WRITE_BATCH > run.window) {
            Sleep(1);
            continue;
        }
        DWORD n = total - sent < WRITE_BATCH ? total - sent : WRITE_BATCH;
        for (DWORD i = 0; i < n; i++) {
            batch[i] = RxMsg{};
            batch[i].can.id = 0x100;
            batch[i].length = 8;
            uint32_t index = sent + i;
            memcpy(batch[i].can.data, &index, 4);
        }
        if (!VcanWriteFrames(run.hWriter, batch, n)) {
            *error = GetLastError();
            break;
        }
        sent += n;
    }
    if (*error) CancelIoEx(run.hReader, nullptr);
    WaitForSingleObject(thread, INFINITE);
    QueryPerformanceCounter(&t1);
    CloseHandle(thread);
    if (VcanGetCounters(run.hReader, &counters)) *lost = (DWORD)counters.lost;
    if (!*error) *error = run.readError;
    CloseHandle(run.hWriter);
    CloseHandle(run.hReader);
    double seconds = (double)(t1.QuadPart - t0.QuadPart) / (double)f.QuadPart;
    return seconds > 0 ? run.received / seconds : 0;
}

double ControlRoundTripMicros(const wchar_t *device)
{
    HANDLE h = VcanOpenDevice(device);
    if (h == INVALID_HANDLE_VALUE) return 0;
    const int calls = 500;
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < calls; i++) {
        uint64_t stamp;
        DWORD n;
        DeviceIoControl(h, IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, &stamp, sizeof(stamp), &n, nullptr);
    }
    QueryPerformanceCounter(&t1);
    CloseHandle(h);
    return (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)f.QuadPart / calls;
}

struct LatencyProbe {
    const wchar_t *device;
    volatile LONG stop;
    double worstMicros;
    DWORD calls;
};

DWORD WINAPI ProbeThread(void *param)
{
    LatencyProbe *probe = static_cast<LatencyProbe *>(param);
    HANDLE h = VcanOpenDevice(probe->device);
    if (h == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    while (!probe->stop) {
        VcanCounters counters;
        QueryPerformanceCounter(&t0);
        VcanGetCounters(h, &counters);
        QueryPerformanceCounter(&t1);
        double micros = (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)f.QuadPart;
        if (micros > probe->worstMicros) probe->worstMicros = micros;
        probe->calls++;
    }
    CloseHandle(h);
    return 0;
}

// Milliseconds one WriteFile of `frames` remote frames takes with `readers`
// handles that enabled VCAN_MAX_ENABLED_IDS identifiers each (the frames'
// own identifier last, so that every frame reaches every reader).
bool MeasureRemoteWrite(const wchar_t *device, DWORD readers, DWORD frames, double *writeMs,
                        double *worstProbeMs)
{
    std::vector<HANDLE> handles;
    bool ok = true;
    for (DWORD r = 0; r < readers && ok; r++) {
        HANDLE h = VcanOpenDevice(device);
        if (h == INVALID_HANDLE_VALUE) {
            ok = false;
            break;
        }
        handles.push_back(h);
        for (uint32_t id = 0x1000; id < 0x1000 + VCAN_MAX_ENABLED_IDS - 1 && ok; id++) {
            DWORD n;
            ok = DeviceIoControl(h, IOCTL_CAN_ENABLE_REMREPLY, &id, 4, nullptr, 0, &n, nullptr) !=
                 0;
        }
        uint32_t own = 0x7FF;
        DWORD n;
        ok = ok && DeviceIoControl(h, IOCTL_CAN_ENABLE_REMREPLY, &own, 4, nullptr, 0, &n, nullptr);
    }
    HANDLE hWriter = VcanOpenDevice(device);
    std::vector<RxMsg> batch(frames);
    for (DWORD i = 0; i < frames; i++) {
        batch[i] = RxMsg{};
        batch[i].can.id = 0x7FFu | RX_REMOTE_FRAME_FLAG;
    }
    LatencyProbe probe = {device, 0, 0, 0};
    HANDLE thread = nullptr;
    if (ok && hWriter != INVALID_HANDLE_VALUE) {
        thread = CreateThread(nullptr, 0, ProbeThread, &probe, 0, nullptr);
        Sleep(50);
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        ok = VcanWriteFrames(hWriter, batch.data(), frames) != 0;
        QueryPerformanceCounter(&t1);
        *writeMs = (double)(t1.QuadPart - t0.QuadPart) * 1e3 / (double)f.QuadPart;
        Sleep(50);
        probe.stop = 1;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        *worstProbeMs = probe.worstMicros / 1e3;
    } else {
        ok = false;
    }
    if (hWriter != INVALID_HANDLE_VALUE) CloseHandle(hWriter);
    for (HANDLE h : handles) CloseHandle(h);
    return ok;
}

double MicrosSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER f, now;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - start.QuadPart) * 1e6 / (double)f.QuadPart;
}

// Units the driver's clock advances while the program's runs for 200 ms
// (2,000,000 if both count 100 ns).
bool DriverClockOver200Ms(const wchar_t *device, uint64_t *units)
{
    HANDLE h = VcanOpenDevice(device);
    if (h == INVALID_HANDLE_VALUE) return false;
    uint64_t t0 = 0, t1 = 0;
    DWORD n;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    BOOL ok = DeviceIoControl(h, IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, &t0, sizeof(t0), &n, nullptr);
    while (MicrosSince(start) < 200000) Sleep(1);
    ok = ok && DeviceIoControl(h, IOCTL_CAN_GET_TIMESTAMP, nullptr, 0, &t1, sizeof(t1), &n, nullptr);
    CloseHandle(h);
    *units = t1 - t0;
    return ok != 0;
}

// Microseconds from CancelIoEx to the end of a waiting read, mean and worst.
bool CancelLatency(const wchar_t *device, DWORD reads, double *meanMicros, double *worstMicros)
{
    HANDLE h = VcanOpenDevice(device);
    if (h == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RxMsg frame;
    double sum = 0;
    *worstMicros = 0;
    bool ok = true;
    for (DWORD i = 0; i < reads && ok; i++) {
        ResetEvent(ov.hEvent);
        DWORD bytes = 0;
        ok = !ReadFile(h, &frame, sizeof(frame), &bytes, &ov) && GetLastError() == ERROR_IO_PENDING;
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        ok = ok && CancelIoEx(h, &ov) && !GetOverlappedResult(h, &ov, &bytes, TRUE) &&
             GetLastError() == ERROR_OPERATION_ABORTED;
        double micros = MicrosSince(start);
        sum += micros;
        if (micros > *worstMicros) *worstMicros = micros;
    }
    CloseHandle(ov.hEvent);
    CloseHandle(h);
    *meanMicros = reads ? sum / reads : 0;
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring service = L"vcanbench" + std::to_wstring(GetCurrentProcessId());
    std::wstring device = L"VBENCH" + std::to_wstring(GetCurrentProcessId()) + L"_1";
    bool ownService = argc < 2;
    if (!ownService) {
        device = argv[1];
    } else if (!VcanInstallService(service.c_str(), (device.substr(0, device.size() - 1)).c_str(), 1, nullptr) ||
               !VcanStartService(service.c_str())) {
        std::fwprintf(stderr, L"vcan_bench: cannot install and start the driver (error %lu); "
                              L"pass an existing device name instead\n", GetLastError());
        VcanUninstallService(service.c_str());
        return 1;
    }

    std::wprintf(L"vcan_bench: device %ls, writer %lu frames per write, reader N frames per read\n",
                 device.c_str(), (unsigned long)WRITE_BATCH);
    std::wprintf(L"control code round trip: %.1f us\n", ControlRoundTripMicros(device.c_str()));
    const DWORD perRead[] = {1, 2, 16};
    const DWORD totals[] = {3000, 6000, 40000};
    double base = 0;
    int rc = 0;
    for (int i = 0; i < 3; i++) {
        DWORD lost = 0, error = 0;
        double rate = Measure(device.c_str(), perRead[i], totals[i], &lost, &error);
        if (i == 0) base = rate;
        std::wprintf(L"frames per read %2lu: %8.0f frames/s  (x%.1f of 1 per read, %lu frames, %lu lost)\n",
                     (unsigned long)perRead[i], rate, base > 0 ? rate / base : 0.0, (unsigned long)totals[i],
                     (unsigned long)lost);
        if (error) {
            std::fwprintf(stderr, L"vcan_bench: run with %lu per read failed, error %lu\n",
                          (unsigned long)perRead[i], (unsigned long)error);
            rc = 1;
        }
    }
    uint64_t clockUnits = 0;
    if (DriverClockOver200Ms(device.c_str(), &clockUnits)) {
        std::wprintf(L"driver clock over 200 ms of the program's: %llu units (2000000 expected)\n",
                     (unsigned long long)clockUnits);
    } else {
        std::fwprintf(stderr, L"vcan_bench: time stamp run failed, error %lu\n", GetLastError());
        rc = 1;
    }
    const DWORD cancelledReads = 500;
    double cancelMean = 0, cancelWorst = 0;
    if (CancelLatency(device.c_str(), cancelledReads, &cancelMean, &cancelWorst)) {
        std::wprintf(L"cancelled read: %lu reads, %.1f us mean, %.1f us worst from CancelIoEx to its end\n",
                     (unsigned long)cancelledReads, cancelMean, cancelWorst);
    } else {
        std::fwprintf(stderr, L"vcan_bench: cancel run failed, error %lu\n", GetLastError());
        rc = 1;
    }
    const DWORD remoteReaders = 8, remoteFrames = 20000;
    double writeMs = 0, probeMs = 0;
    if (MeasureRemoteWrite(device.c_str(), remoteReaders, remoteFrames, &writeMs, &probeMs)) {
        std::wprintf(L"remote write: %lu frames to %lu handles with %lu ids each: %.1f ms; "
                     L"slowest control code meanwhile %.1f ms\n",
                     (unsigned long)remoteFrames, (unsigned long)remoteReaders,
                     (unsigned long)VCAN_MAX_ENABLED_IDS, writeMs, probeMs);
    } else {
        std::fwprintf(stderr, L"vcan_bench: remote write run failed, error %lu\n", GetLastError());
        rc = 1;
    }
    if (ownService) VcanUninstallService(service.c_str());
    return rc;
}
