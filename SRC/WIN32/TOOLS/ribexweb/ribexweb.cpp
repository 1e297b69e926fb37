// ribexweb: the nets and recorded logs in a browser, with the DBC's signals
// decoded and plotted, and a JSON API beside the page.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "candb.h"
#include "canlogio.h"
#include "canmon_reader.h"
#include "ribex_client.h"
#include "ribexweb_http.h"
#include "ribexweb_options.h"
#include "ribexweb_store.h"
#include "tool_clock.h"
#include "tool_nets.h"
#include "tool_stop.h"

namespace {

const DWORD kLogBatch = 4096;
const ULONGLONG kProgressMs = 1000;

struct WebApp {
    WebOptions options;
    CanDbSet databases;
    WebStore store;
    MonReader reader;
    std::vector<HANDLE> logThreads;
    ULONGLONG startMs = 0;
};

struct LogJob {
    WebApp *app;
    DWORD source;
    std::wstring path;
};

std::string Utf8(const std::wstring &text) {
    char buffer[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof(buffer), nullptr, nullptr);
    return n > 0 ? std::string(buffer) : std::string();
}

unsigned long long FileBytes(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
    return (unsigned long long)a.nFileSizeHigh << 32 | a.nFileSizeLow;
}

bool LoadDatabases(WebApp *app) {
    for (const std::wstring &argument : app->options.databases) {
        CanDbError error;
        if (!CanDbSetLoadArgument(&app->databases, argument.c_str(), &error)) {
            fprintf(stderr, "ribexweb: %s\n", CanDbErrorText(&error).c_str());
            return false;
        }
    }
    return true;
}

std::vector<WebSource> Sources(const WebOptions &o) {
    std::vector<WebSource> sources;
    for (const std::wstring &net : o.nets) {
        WebSource src = {};
        src.name = Utf8(net);
        src.live = true;
        sources.push_back(src);
    }
    for (size_t i = 0; i < o.logs.size(); ++i) {
        WebSource src = {};
        src.name = "LOG" + std::to_string(i + 1);
        src.file = Utf8(o.logs[i]);
        src.logBytes = FileBytes(o.logs[i]);
        sources.push_back(src);
    }
    return sources;
}

std::string StopText(const CanLogReadStatus *status) {
    if (status->stop == CanLogStop::None) return "";
    return std::string(status->why) + " at byte " + std::to_string(status->stopOffset);
}

// Reads one log to its end into the store, with a progress line on stderr.
DWORD WINAPI LogThread(void *param) {
    LogJob *job = static_cast<LogJob *>(param);
    WebStore *store = &job->app->store;
    CanLogReader *reader = nullptr;
    std::string name = store->sources[job->source].name;
    if (!CanLogReaderOpen(job->path.c_str(), CanLogFormat::Unknown, &reader)) {
        fprintf(stderr, "ribexweb: cannot open %ls (%s), error %lu\n", job->path.c_str(), name.c_str(),
                GetLastError());
        WebStoreLogProgress(store, job->source, 0, true, "cannot open the file");
        delete job;
        return 1;
    }
    std::vector<CanLogRecord> batch(kLogBatch);
    ULONGLONG started = GetTickCount64(), nextProgress = started + kProgressMs;
    DWORD n = 0;
    while (!ToolStopRequested()) {
        bool more = CanLogReaderNext(reader, &batch[n]) != FALSE;
        if (more) ++n;
        if (n == kLogBatch || (!more && n != 0)) {
            WebStoreAddRecords(store, job->source, batch.data(), n);
            n = 0;
            WebStoreLogProgress(store, job->source, CanLogReaderPosition(reader), false, "");
        }
        if (!more) break;
        if (GetTickCount64() >= nextProgress) {
            nextProgress += kProgressMs;
            unsigned long long bytes = store->sources[job->source].logBytes;
            fprintf(stderr, "ribexweb: %s: %llu frames read (%.0f %%)\r", name.c_str(),
                    CanLogReaderGetStatus(reader)->frames,
                    bytes ? 100.0 * (double)CanLogReaderPosition(reader) / (double)bytes : 100.0);
        }
    }
    const CanLogReadStatus *status = CanLogReaderGetStatus(reader);
    WebStoreLogProgress(store, job->source, CanLogReaderPosition(reader), true, StopText(status));
    fprintf(stderr, "ribexweb: %s: %ls: %llu frames, %llu error frames in %.2f s%s%s\n", name.c_str(),
            job->path.c_str(), status->frames, status->errorFrames,
            (double)(GetTickCount64() - started) / 1000.0, status->stop != CanLogStop::None ? "; " : "",
            StopText(status).c_str());
    CanLogReaderClose(reader);
    delete job;
    return 0;
}

bool StartLogs(WebApp *app) {
    for (size_t i = 0; i < app->options.logs.size(); ++i) {
        LogJob *job = new LogJob{app, (DWORD)(app->options.nets.size() + i), app->options.logs[i]};
        HANDLE h = CreateThread(nullptr, 0, LogThread, job, 0, nullptr);
        if (h == nullptr) {
            delete job;
            return false;
        }
        app->logThreads.push_back(h);
    }
    return true;
}

void StopLogs(WebApp *app) {
    for (HANDLE h : app->logThreads) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
    app->logThreads.clear();
}

void OnBatch(void *context, DWORD net, const RibexFrame *frames, DWORD n, ULONGLONG nowMs) {
    WebStoreAddSignals(static_cast<WebStore *>(context), net, frames, n, nowMs);
}

// A net's receive buffer holds 256 frames, 34 ms of a full 1 Mbit/s bus: the
// reader runs before the HTTP threads and the browser beside us.
bool RaiseReader(WebApp *app) {
    if (SetThreadPriority(app->reader.reader.hThread, THREAD_PRIORITY_HIGHEST)) return true;
    fprintf(stderr, "ribexweb: the reader thread's priority cannot be raised, error %lu\n", GetLastError());
    return true;  // it reads on at normal priority
}

bool OpenNets(WebApp *app) {
    const WebOptions &o = app->options;
    RibexClientOptions client = {};
    if (!o.queueName.empty()) client.serverQueueName = o.queueName.c_str();
    client.haveUniqueId = o.haveUniqueId;
    client.uniqueIdHigh = o.uniqueIdHigh;
    client.uniqueIdLow = o.uniqueIdLow;
    return ToolOpenNets("ribexweb", o.nets, &client, ToolUniqueIds::LowPerNet, &app->reader.reader.nets) != FALSE;
}

void PrintSummary(WebApp *app, const WebHttpCounts *counts) {
    MonSnapshot snap;
    MonTableSnapshot(&app->store.table, GetTickCount64(), &snap);
    for (size_t i = 0; i < snap.nets.size(); ++i)
        printf("ribexweb: %s closed: %llu frames, %llu lost, %llu error entries\n",
               app->store.sources[i].name.c_str(), snap.nets[i].frames, snap.nets[i].lost,
               snap.nets[i].errorEntries);
    AcquireSRWLockShared(&app->store.lock);
    size_t bytes = 0;
    for (const WebSignal &sig : app->store.signals) bytes += WebHistoryBytes(&sig.history);
    printf("ribexweb: %u signals, %.1f MB of history\n", (unsigned)app->store.signals.size(),
           (double)bytes / 1048576.0);
    ReleaseSRWLockShared(&app->store.lock);
    if (counts != nullptr)
        printf("ribexweb: %ld requests, %ld refused\n", counts->requests, counts->refused);
    printf("ribexweb: CPU %.2f s (user + kernel) in %.1f s\n", ToolCpuSeconds(),
           (double)(GetTickCount64() - app->startMs) / 1000.0);
    fflush(stdout);
}

// Serves until Ctrl+C, -T or a failed read.
int Serve(WebApp *app) {
    WebHttpConfig config = {&app->store, app->options.bitRate, app->options.maxStreams,
                            app->options.address, app->options.port};
    WebHttp *http = nullptr;
    int port = 0;
    std::string error;
    if (!WebHttpStart(&config, &http, &port, &error)) {
        fprintf(stderr, "ribexweb: %s\n", error.c_str());
        return 1;
    }
    printf("ribexweb: serving http://%s:%d/\n", app->options.address.c_str(), port);
    fflush(stdout);
    while (!ToolStopRequested() && !app->reader.reader.failed) {
        if (app->options.runTimeMs != 0 && GetTickCount64() - app->startMs >= app->options.runTimeMs) break;
        Sleep(50);
    }
    ToolStopRequest();
    const WebHttpCounts counts = *WebHttpGetCounts(http);
    WebHttpStop(http);
    PrintSummary(app, &counts);
    return 0;
}

// The reader of the nets and the threads of the logs, then the page until
// Ctrl+C or -T; the exit code.
int ReadAndServe(WebApp *app) {
    app->startMs = GetTickCount64();
    app->reader.table = &app->store.table;
    app->reader.onBatch = OnBatch;
    app->reader.context = &app->store;
    if (!app->reader.reader.nets.empty() && !MonReaderStart(&app->reader)) {
        fprintf(stderr, "ribexweb: the reader thread could not be started, error %lu\n", GetLastError());
        return 1;
    }
    if (app->reader.reader.hThread != nullptr && !RaiseReader(app)) return 1;
    if (StartLogs(app)) return Serve(app);
    fprintf(stderr, "ribexweb: a log thread could not be started, error %lu\n", GetLastError());
    return 1;
}

// Ends the threads; 1 when the reader had failed.
int StopReading(WebApp *app) {
    ToolStopRequest();
    StopLogs(app);
    MonReaderStop(&app->reader);
    if (!app->reader.reader.failed) return 0;
    fprintf(stderr, "ribexweb: read of %ls failed, error %lu\n",
            app->options.nets[app->reader.reader.failedNet].c_str(), app->reader.reader.errorCode);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    WebApp *app = new WebApp();  // large and shared with the threads: on the heap
    ToolSpec optionTable = WebToolSpec(&app->options);
    ToolArgs args;
    int code = ToolBegin(optionTable, argc, argv, &args);
    if (code >= 0) return code;
    std::wstring error;
    if (!WebTakeNets(args.operands, &app->options, &error)) return ToolFail(optionTable, error);
    if (!LoadDatabases(app)) return 1;
    WebStoreInit(&app->store, Sources(app->options),
                 app->options.databases.empty() ? nullptr : &app->databases, app->options.historyPoints);
    if (!ToolStopInstall() || !OpenNets(app)) return 1;
    int rc = ReadAndServe(app);
    if (StopReading(app) != 0) rc = 1;
    if (!ToolCloseNets("ribexweb", app->options.nets, &app->reader.reader.nets)) rc = 1;
    return rc;
}
