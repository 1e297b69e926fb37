// canmon on a full 1 Mbit/s bus: canpeer puts 7,600 eight-byte frames a
// second on a virtual driver device for ten seconds while canmon and candump
// read the same net side by side; once with the server's default device
// batch (NoMsgPerRead unset: 2 frames per read) and once with the value that
// vcan_service.sh and the installer write (64). Prints the
// frames each reader got, the frames it lost (fell behind the ring), the
// error entries (the driver's queue overflowed), and canmon's own CPU time
// (Wine reports another process's CPU time as zero, so canmon prints its
// own at exit).
//
//   canmon_bench [DEVICE]     default VCAN6; the driver must be loaded as
//                             service "vcan" (./ribex.sh bench does it)
#include <windows.h>

#include <stdio.h>

#include <string>

#include "child_process.h"
#include "vcan_control.h"

namespace {

const DWORD kRate = 7600;
const DWORD kSeconds = 10;
const DWORD kRunMs = (kSeconds + 20) * 1000;  // start-up, traffic on a busy machine, drain
const wchar_t kService[] = L"vcan";
// The server's frames per device read without a value in the service key,
// and the value vcan_service.sh and the installer write there.
const unsigned kServerDefaultNoMsgPerRead = 2;
const DWORD kInstalledNoMsgPerRead = 64;

struct Reader {
    const char *name;
    ribex_test::ChildProcess child;
    std::string text;
    HANDLE hDrain = nullptr;
};

DWORD WINAPI DrainThread(void *param) {
    Reader *r = static_cast<Reader *>(param);
    r->text = ribex_test::ReadAllOutput(&r->child);
    return 0;
}

bool StartReader(Reader *r, const std::wstring &program, const std::wstring &args) {
    if (!ribex_test::StartChild(program, args, &r->child, true)) {
        printf("canmon_bench: %ls could not be started, error %lu\n", program.c_str(),
               GetLastError());
        return false;
    }
    r->hDrain = CreateThread(nullptr, 0, DrainThread, r, 0, nullptr);
    return true;
}

unsigned long long After(const std::string &text, size_t from, const char *marker,
                         const char *format) {
    if (from == std::string::npos) return 0;
    const char *p = strstr(text.c_str() + from, marker);
    unsigned long long value = 0;
    if (p != nullptr) sscanf(p + strlen(marker), format, &value);
    return value;
}

// Where the last line holding marker starts.
size_t LineOf(const std::string &text, const char *marker) {
    size_t at = text.rfind(marker);
    if (at == std::string::npos) return at;
    size_t lineEnd = text.rfind('\n', at);
    return lineEnd == std::string::npos ? 0 : lineEnd + 1;
}

// The CPU time a reader printed at exit ("TOOL: CPU 1.23 s ..."), as a
// share of one core over the traffic.
std::string CpuText(const std::string &out, const char *marker, double trafficSeconds) {
    size_t at = out.rfind(marker);
    double seconds = 0;
    if (at == std::string::npos || sscanf(out.c_str() + at + strlen(marker), "%lf", &seconds) != 1)
        return std::string();
    char text[96];
    snprintf(text, sizeof(text), ", CPU %.2f s = %.1f%% of one core over the traffic", seconds,
             100.0 * seconds / trafficSeconds);
    return text;
}

void Report(Reader *r, double trafficSeconds) {
    DWORD code = 99;
    if (!ribex_test::WaitChild(&r->child, kRunMs + 30000, &code))
        printf("%s did not end\n", r->name);
    WaitForSingleObject(r->hDrain, 30000);
    CloseHandle(r->hDrain);
    ribex_test::ReleaseChild(&r->child);
    const std::string &out = r->text;
    unsigned long long frames, lost, errors;
    std::string cpu;
    if (strcmp(r->name, "canmon") == 0) {
        size_t header = out.rfind("== ");
        lost = After(out, header, " bit/s, ", "%llu");
        errors = After(out, header, " lost, ", "%llu");
        frames = After(out, header, "error entries, ", "%llu");
        cpu = CpuText(out, "canmon: CPU ", trafficSeconds);
    } else {
        // "candump: N frames in S s, R frames/s, L lost, ..." and "candump: E
        // error entries, ..." (stdout and stderr share the pipe).
        size_t stats = LineOf(out, " frames in ");
        frames = After(out, stats, "candump: ", "%llu");
        lost = After(out, stats, " frames/s, ", "%llu");
        errors = After(out, LineOf(out, " error entries, "), "candump: ", "%llu");
        cpu = CpuText(out, "candump: CPU ", trafficSeconds);
    }
    printf("  %-8s exit %lu: %llu frames, %llu lost, %llu error entries%s\n", r->name, code, frames,
           lost, errors, cpu.c_str());
}

// One run: both readers on the device, then the traffic.
int Run(const std::wstring &device, const std::wstring &queue) {
    std::wstring runMs = std::to_wstring(kRunMs);
    std::wstring common = L"-q " + queue + L" -b 1000000 ";
    Reader mon, dump;
    mon.name = "canmon";
    dump.name = "candump";
    if (!StartReader(&mon, L"canmon", common + L"-S -t " + runMs + L" " + device) ||
        !StartReader(&dump, L"candump", common + L"-s -T " + runMs + L" " + device))
        return 1;
    Sleep(4000);  // both have opened the net by now
    std::wstring peerArgs = L"-d " + device + L" -g -n " + std::to_wstring(kRate * kSeconds) +
                            L" -r " + std::to_wstring(kRate) + L" -I 123 -L 8";
    DWORD peerStart = GetTickCount();
    int rc = 0;
    if (ribex_test::RunProgram(L"canpeer", peerArgs, 120000, nullptr) != 0) {
        printf("canmon_bench: canpeer failed (is the driver loaded? ./ribex.sh bench loads it)\n");
        rc = 1;
    }
    double seconds = (GetTickCount() - peerStart) / 1000.0;
    printf("  canpeer  put %lu frames on the bus in %.1f s (%.0f frames/s)\n", kRate * kSeconds,
           seconds, kRate * kSeconds / seconds);
    Report(&mon, seconds);
    Report(&dump, seconds);
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::wstring device = argc > 1 ? argv[1] : L"VCAN6";
    std::wstring queue = L"canmonBenchQ" + std::to_wstring(GetCurrentProcessId());
    printf("canmon_bench: %lu frames/s of 8 bytes (a full 1 Mbit/s bus) on %ls for %lu s\n", kRate,
           device.c_str(), kSeconds);
    // The server reads NoMsgPerRead from the driver's service key when it
    // opens the net; the installed value is back in place afterwards.
    VcanDeleteServiceValue(kService, L"NoMsgPerRead");
    printf("server's default device batch (NoMsgPerRead unset: %u frames per read):\n",
           kServerDefaultNoMsgPerRead);
    fflush(stdout);
    int rc = Run(device, queue);
    if (VcanSetServiceValue(kService, L"NoMsgPerRead", kInstalledNoMsgPerRead)) {
        printf("NoMsgPerRead %lu, as installed:\n", kInstalledNoMsgPerRead);
        fflush(stdout);
        Sleep(4000);  // the first run's server ends by itself
        rc |= Run(device, queue + L"b");
    } else {
        printf("canmon_bench: NoMsgPerRead could not be set, error %lu\n", GetLastError());
    }
    return rc;
}
