// candump -d on a full 1 Mbit/s bus: canpeer puts 7,600 eight-byte frames a
// second on a virtual driver device for ten seconds while two candump runs
// decode them with a DBC file of its own (eight signals, both byte orders, a
// value table), one printing text lines, one JSON Lines. Prints per run the
// frames it got, those it lost (fell behind the ring), the lines it decoded
// and its CPU time (candump prints its own at exit: Wine reports another
// process's as zero).
//
//   candump_signals_bench [DEVICE]   default VCAN6; the driver must be loaded
//                                    as service "vcan" (./ribex.sh bench does it)
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "child_process.h"
#include "vcan_control.h"

namespace {

const DWORD kRate = 7600;
const DWORD kSeconds = 10;
const DWORD kRunMs = (kSeconds + 20) * 1000;  // start-up, traffic on a busy machine, drain

const char kDbc[] =
    "VERSION \"\"\n\nBS_:\n\nBU_: Gen\n\n"
    "BO_ 291 Generated: 8 Gen\n"
    " SG_ Seq : 0|8@1+ (1,0) [0|255] \"\" Gen\n"
    " SG_ Speed : 8|16@1+ (0.125,0) [0|8031.875] \"rpm\" Gen\n"
    " SG_ Torque : 24|8@1+ (1,-125) [-125|130] \"%\" Gen\n"
    " SG_ Temp : 39|10@0- (0.25,40) [0|0] \"degC\" Gen\n"
    " SG_ State : 41|2@1+ (1,0) [0|3] \"\" Gen\n"
    " SG_ Flag : 43|1@1+ (1,0) [0|1] \"\" Gen\n"
    " SG_ Level : 44|12@1+ (0.1,0) [0|409.5] \"%\" Gen\n"
    " SG_ Count : 63|8@0+ (1,0) [0|255] \"\" Gen\n\n"
    "VAL_ 291 State 0 \"Off\" 1 \"On\" 2 \"Error\" 3 \"Unknown\" ;\n";

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

bool WriteDbc(std::wstring *path) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    *path = std::wstring(dir) + L"candump_signals_bench_" + std::to_wstring(GetCurrentProcessId()) + L".dbc";
    HANDLE h = CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, kDbc, (DWORD)strlen(kDbc), &written, nullptr);
    CloseHandle(h);
    return ok && written == strlen(kDbc);
}

unsigned long long After(const std::string &text, const char *marker, const char *format) {
    size_t at = text.rfind(marker);
    unsigned long long value = 0;
    if (at != std::string::npos) sscanf(text.c_str() + at + strlen(marker), format, &value);
    return value;
}

size_t Count(const std::string &text, const char *what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void Report(Reader *r, double trafficSeconds) {
    DWORD code = 99;
    if (!ribex_test::WaitChild(&r->child, kRunMs + 30000, &code)) printf("%s did not end\n", r->name);
    WaitForSingleObject(r->hDrain, 30000);
    CloseHandle(r->hDrain);
    ribex_test::ReleaseChild(&r->child);
    const std::string &out = r->text;
    // "candump: N frames in S s, R frames/s, L lost, ..." (stdout and stderr share the pipe)
    unsigned long long frames = 0;
    size_t at = out.rfind(" frames in ");
    if (at != std::string::npos) sscanf(out.c_str() + out.rfind('\n', at) + 1, "candump: %llu", &frames);
    unsigned long long lost = After(out, " frames/s, ", "%llu");
    unsigned long long errors = 0;
    at = out.rfind(" error entries, ");
    if (at != std::string::npos) sscanf(out.c_str() + out.rfind('\n', at) + 1, "candump: %llu", &errors);
    size_t decoded = Count(out, strcmp(r->name, "text") == 0 ? " :: Generated(" : "\"msg\":\"Generated\"");
    double cpu = 0;
    at = out.rfind("candump: CPU ");
    if (at != std::string::npos) sscanf(out.c_str() + at, "candump: CPU %lf", &cpu);
    printf("  candump -d %-5s exit %lu: %llu frames, %llu lost, %llu error entries, %zu decoded, "
           "CPU %.2f s = %.1f%% of one core\n",
           r->name, code, frames, lost, errors, decoded, cpu, 100.0 * cpu / trafficSeconds);
}

bool StartReader(Reader *r, const std::wstring &args) {
    if (!ribex_test::StartChild(L"candump", args, &r->child, true)) {
        printf("candump_signals_bench: candump could not be started, error %lu\n", GetLastError());
        return false;
    }
    r->hDrain = CreateThread(nullptr, 0, DrainThread, r, 0, nullptr);
    return true;
}

// One run: both readers on the device, then the traffic.
int Run(const std::wstring &device, const std::wstring &queue, const std::wstring &dbc) {
    std::wstring common = L"-q " + queue + L" -s -b 1000000 -T " + std::to_wstring(kRunMs) + L" -d \"" + dbc + L"\" ";
    Reader text, json;
    text.name = "text";
    json.name = "-j";
    if (!StartReader(&text, common + device) || !StartReader(&json, common + L"-j " + device)) return 1;
    Sleep(4000);  // both have opened the net by now
    std::wstring peerArgs = L"-d " + device + L" -g -n " + std::to_wstring(kRate * kSeconds) + L" -r " +
                            std::to_wstring(kRate) + L" -I 123 -L 8";
    DWORD peerStart = GetTickCount();
    int rc = 0;
    if (ribex_test::RunProgram(L"canpeer", peerArgs, 120000, nullptr) != 0) {
        printf("candump_signals_bench: canpeer failed (is the driver loaded? ./ribex.sh bench loads it)\n");
        rc = 1;
    }
    double seconds = (GetTickCount() - peerStart) / 1000.0;
    printf("  canpeer put %lu frames on the bus in %.1f s (%.0f frames/s)\n", kRate * kSeconds, seconds,
           kRate * kSeconds / seconds);
    Report(&text, seconds);
    Report(&json, seconds);
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::wstring device = argc > 1 ? argv[1] : L"VCAN6";
    std::wstring queue = L"candumpSignalsBenchQ" + std::to_wstring(GetCurrentProcessId());
    std::wstring dbc;
    if (!WriteDbc(&dbc)) {
        printf("candump_signals_bench: the DBC file could not be written, error %lu\n", GetLastError());
        return 1;
    }
    printf("candump_signals_bench: %lu frames/s of 8 bytes (a full 1 Mbit/s bus) on %ls for %lu s, "
           "decoded into 8 signals each\n",
           kRate, device.c_str(), kSeconds);
    // The server reads NoMsgPerRead from the driver's service key when it
    // opens the net: the installed value (64), then none (the server's
    // default of 2), and the installed value again at the end.
    if (!VcanSetServiceValue(L"vcan", L"NoMsgPerRead", 64))
        printf("candump_signals_bench: NoMsgPerRead could not be set, error %lu\n", GetLastError());
    printf("NoMsgPerRead as installed (64):\n");
    fflush(stdout);
    int rc = Run(device, queue, dbc);
    if (VcanDeleteServiceValue(L"vcan", L"NoMsgPerRead")) {
        printf("NoMsgPerRead unset (the server's default, 2):\n");
        fflush(stdout);
        Sleep(4000);  // the first run's server ends by itself
        rc |= Run(device, queue + L"b", dbc);
    } else {
        printf("candump_signals_bench: NoMsgPerRead could not be removed, error %lu\n", GetLastError());
    }
    if (!VcanSetServiceValue(L"vcan", L"NoMsgPerRead", 64))
        printf("candump_signals_bench: NoMsgPerRead could not be set again, error %lu\n", GetLastError());
    DeleteFileW(dbc.c_str());
    return rc;
}
