// Frames per second through a net's receive thread into the shared ring:
// from a simulated peer's queue, and from the virtual CAN driver with the
// device alone (reads straight into the ring) for several batch sizes.
// Prints figures; asserts nothing.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "msgq.h"
#include "receive_harness.h"
#include "vcan_control.h"

using namespace receive_test;

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(f.QuadPart);
}

// Waits (as a client would, on its event) until `count` more entries are
// published; reads them to keep the reader position current.
bool AwaitEntries(TestNet *t, HANDLE hEvent, DWORD count) {
    DWORD seen = 0;
    while (seen < count) {
        seen += static_cast<DWORD>(TakeAvailable(t).size());
        if (seen >= count) break;
        if (WaitForSingleObject(hEvent, 5000) != WAIT_OBJECT_0) return false;
    }
    return true;
}

struct SendJob {
    MsgQHandle hQueue;
    DWORD count;
};

DWORD WINAPI SendSimFrames(LPVOID param) {
    auto *job = static_cast<SendJob *>(param);
    SimCanMsg m = {};
    m.uniqueIdHigh = 1;
    m.frame.length = 8;
    for (DWORD i = 0; i < job->count; i++) {
        m.frame.can.id = i & 0x7FF;
        if (!MsgQSend(job->hQueue, &m, sizeof(m), INFINITE)) return GetLastError();
    }
    return 0;
}

// Adds one client whose wake-up event the benchmark waits on. The net
// closes its own duplicate of the event when it ends.
HANDLE AttachBenchClient(TestNet *t) {
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hMine = nullptr;
    DuplicateHandle(GetCurrentProcess(), hEvent, GetCurrentProcess(), &hMine, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    AddClient(t, 1, 1, hMine);
    return hEvent;
}

void BenchSimulated(DWORD frames) {
    std::wstring name = UniqueNetName(L"rxbench");
    MsgQHandle hQueue = MsgQCreate(name.c_str(), 128, 32, MSGQ_NAMED);
    TestNet t;
    if (!hQueue || StartTestNet(name, &t) != 0) {
        printf("simulated peer: net could not be opened (%lu)\n", GetLastError());
        return;
    }
    HANDLE hEvent = AttachBenchClient(&t);
    SendJob job = {hQueue, frames};
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    HANDLE hSender = CreateThread(nullptr, 0, SendSimFrames, &job, 0, nullptr);
    // The ring holds 256: count through the store counter instead.
    while (t.pRxBuffer->header.noRxMsgs < frames) {
        if (WaitForSingleObject(hEvent, 5000) != WAIT_OBJECT_0) break;
    }
    QueryPerformanceCounter(&end);
    DWORD got = t.pRxBuffer->header.noRxMsgs;
    printf("simulated peer: %lu frames in %.3f s = %.0f frames/s (one wake pass per frame)\n", got,
           Seconds(start, end), got / Seconds(start, end));
    WaitForSingleObject(hSender, INFINITE);
    CloseHandle(hSender);
    StopTestNet(&t);
    CloseHandle(hEvent);
    MsgQClose(hQueue);
}

void BenchDevice(const std::wstring &service, const std::wstring &device, DWORD noMsgPerRead,
                 DWORD frames) {
    VcanSetServiceValue(service.c_str(), L"NoMsgPerRead", noMsgPerRead);
    TestNet t;
    DWORD error = StartTestNet(device, &t);
    HANDLE hWriter = VcanOpenDevice(device.c_str());
    if (error != 0 || hWriter == INVALID_HANDLE_VALUE) {
        printf("device: net could not be opened (%lu)\n", error ? error : GetLastError());
        if (t.net) StopTestNet(&t);
        return;
    }
    HANDLE hEvent = AttachBenchClient(&t);
    // Chunks well inside the ring, so that the client never falls a lap behind.
    const DWORD chunk = 128;
    std::vector<RxMsg> batch(chunk);
    for (DWORD i = 0; i < chunk; i++) {
        batch[i] = RxMsg();
        batch[i].can.id = i;
        batch[i].length = 8;
    }
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    DWORD sent = 0;
    for (; sent < frames; sent += chunk) {
        if (!VcanWriteFrames(hWriter, batch.data(), chunk) || !AwaitEntries(&t, hEvent, chunk))
            break;
    }
    QueryPerformanceCounter(&end);
    printf("device alone, NoMsgPerRead %3lu: %lu frames in %.3f s = %.0f frames/s\n", noMsgPerRead,
           sent, Seconds(start, end), sent / Seconds(start, end));
    StopTestNet(&t);
    CloseHandle(hEvent);
    CloseHandle(hWriter);
}

}  // namespace

int wmain() {
    BenchSimulated(5000);

    std::wstring service = L"rxbench" + std::to_wstring(GetCurrentProcessId());
    std::wstring prefix = L"RXB" + std::to_wstring(GetCurrentProcessId()) + L"_";
    VcanUninstallService(service.c_str());
    if (!VcanInstallService(service.c_str(), prefix.c_str(), 1, nullptr) ||
        !VcanStartService(service.c_str())) {
        printf("device: virtual CAN driver not available (%lu), skipped\n", GetLastError());
        VcanUninstallService(service.c_str());
        return 0;
    }
    for (DWORD n : {1u, 2u, 16u, 64u}) BenchDevice(service, prefix + L"1", n, 20480);
    VcanUninstallService(service.c_str());
    return 0;
}
