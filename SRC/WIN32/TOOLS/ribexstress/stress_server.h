// The server process as the run sees it from outside: found by its file
// name, sampled for handle count and memory, waited for at the end.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <vector>

// Every process in the system's process list, as one snapshot.
std::vector<PROCESSENTRY32W> ProcessList(void);

struct ServerSample {
    DWORD atS;  // seconds into the run
    DWORD handles;
    SIZE_T workingSet;
    SIZE_T privateBytes;
    DWORD life;  // 1 for the first server, one more after each kill
};

struct ServerWatch {
    HANDLE hProcess = nullptr;
    DWORD pid = 0;
    std::vector<ServerSample> samples;
    std::vector<DWORD> knownPids;  // ribex.exe processes from before the run, and killed ones
    DWORD life = 1;
};

// Notes the ribex.exe processes there before the run starts its server.
void NoteServersBefore(ServerWatch *pWatch);
// Finds the running ribex.exe that was not there before and holds the
// instance marker (waits up to timeoutMs for the marker and for every
// other new ribex.exe to end).
BOOL FindServer(ServerWatch *pWatch, DWORD timeoutMs);
// One look for the new server after a kill; TRUE once it is found.
BOOL TryFindServer(ServerWatch *pWatch);
// Terminates the server and waits until it has ended; the next server is
// a new life, to be found with TryFindServer.
BOOL KillServer(ServerWatch *pWatch, DWORD timeoutMs);
// Adds a sample taken now; FALSE when the process has ended or cannot be
// asked.
BOOL SampleServer(ServerWatch *pWatch, DWORD atS);
// TRUE and the exit code once the server has ended within timeoutMs.
BOOL WaitServerExit(ServerWatch *pWatch, DWORD timeoutMs, DWORD *pExitCode);
void ReleaseServerWatch(ServerWatch *pWatch);

// Spread of the samples from fromS on, relative to the first of them.
struct ServerDrift {
    size_t samples;
    ServerSample first, last, minimum, maximum;
    double handlesPercent, workingSetPercent, privatePercent;  // (max - min) / first
};

BOOL ComputeServerDrift(const std::vector<ServerSample> &samples, DWORD fromS, ServerDrift *pDrift);
// The same over the samples of one server's life only.
BOOL ComputeLifeDrift(const std::vector<ServerSample> &samples, DWORD life, DWORD fromS,
                      ServerDrift *pDrift);
