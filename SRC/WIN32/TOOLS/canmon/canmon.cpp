// canmon: a live table of one or more nets through the ribex server: which
// identifiers are on the bus, how often, which bytes change, how loaded the
// bus is and whether anything is lost.
#include <windows.h>

#include <stdio.h>

#include "tool_clock.h"
#include "candb.h"

#include "canmon_console.h"
#include "canmon_keys.h"
#include "canmon_options.h"
#include "canmon_reader.h"
#include "canmon_view.h"
#include "ribex_version.h"

namespace {

const ULONGLONG kMarkHoldMs = 1000;  // a changed byte stays highlighted this long
const DWORD kPlainTickMs = 50;

volatile LONG g_stop = 0;

BOOL WINAPI OnConsoleCtrl(DWORD) {
    InterlockedExchange(&g_stop, 1);
    return TRUE;
}

struct Monitor {
    MonOptions options;
    CanDbSet databases;
    MonTable table;
    MonReader reader;
    MonViewSettings view;
    ULONGLONG startMs = 0;
};

bool TimeIsUp(const Monitor &m, ULONGLONG nowMs) {
    return m.options.runTimeMs != 0 && nowMs - m.startMs >= m.options.runTimeMs;
}

bool ShouldStop(const Monitor &m) { return g_stop != 0 || m.reader.failed != 0; }

// Opens every net; on a failure the ones opened are closed again.
bool OpenNets(Monitor *m) {
    RibexClientOptions client = {};
    if (!m->options.queueName.empty()) client.serverQueueName = m->options.queueName.c_str();
    client.haveUniqueId = m->options.haveUniqueId;
    client.uniqueIdHigh = m->options.uniqueIdHigh;
    for (size_t i = 0; i < m->options.nets.size(); ++i) {
        // Several nets with one unique id: the low part tells them apart.
        client.uniqueIdLow = m->options.uniqueIdLow + (DWORD)i;
        RibexClientNet *pNet = nullptr;
        RibexOpenFailure failure;
        const wchar_t *name = m->options.nets[i].c_str();
        if (!RibexOpenNetEx(name, &client, &pNet, &failure)) {
            wchar_t text[768];
            RibexDescribeOpenFailure(name, &failure, text, sizeof(text) / sizeof(text[0]));
            fprintf(stderr, "canmon: cannot open %ls: %ls\n", name, text);
            for (RibexClientNet *pOpen : m->reader.nets) RibexCloseNet(pOpen);
            m->reader.nets.clear();
            return false;
        }
        m->reader.nets.push_back(pNet);
    }
    return true;
}

bool CloseNets(Monitor *m) {
    bool ok = true;
    for (size_t i = 0; i < m->reader.nets.size(); ++i) {
        if (!RibexCloseNet(m->reader.nets[i])) {
            fprintf(stderr, "canmon: close of %ls failed, error %lu\n", m->options.nets[i].c_str(),
                    GetLastError());
            ok = false;
        }
    }
    m->reader.nets.clear();
    return ok;
}

void PrintPlainTable(Monitor *m, MonMarks *marks) {
    MonSnapshot snap;
    ULONGLONG now = GetTickCount64();
    MonTableSnapshot(&m->table, now, &snap);
    std::vector<std::wstring> lines;
    size_t shown = 0;
    MonBuildLines(&snap, &m->view, marks, &lines, &shown);
    printf("canmon: %.3f s, %u rows, sorted by %ls%ls%ls\n", (double)(now - m->startMs) / 1000.0,
           (unsigned)shown, MonSortName(m->view.sort), m->view.filters.empty() ? L"" : L", filter ",
           MonFilterText(m->view.filters).c_str());
    for (const std::wstring &line : lines) printf("%ls\n", line.c_str());
    printf("\n");
    fflush(stdout);
}

// Plain tables: one every interval, and one at the end (the only one with
// -t and no -i).
void RunPlain(Monitor *m) {
    const MonOptions &o = m->options;
    DWORD intervalMs = o.intervalMs != 0 ? o.intervalMs : (o.runTimeMs != 0 ? 0 : 1000);
    std::wstring names;
    for (const std::wstring &net : o.nets) names += L" " + net;
    printf("canmon: reading%ls; a table %ls%.3f s%ls\n", names.c_str(),
           intervalMs != 0 ? L"every " : L"after ",
           (intervalMs != 0 ? intervalMs : o.runTimeMs) / 1000.0,
           o.runTimeMs != 0 && intervalMs != 0 ? L" and at the end" : L"");
    fflush(stdout);
    MonMarks marks;  // plain tables mark what changed since the table before
    ULONGLONG next = m->startMs + intervalMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (ShouldStop(*m) || TimeIsUp(*m, now)) break;
        if (intervalMs != 0 && now >= next) {
            PrintPlainTable(m, &marks);
            next += intervalMs;
            if (next <= now) next = now + intervalMs;  // a slow pipe: skip, do not pile up
        }
        Sleep(kPlainTickMs);
    }
    PrintPlainTable(m, &marks);
}

std::wstring TitleLine(const Monitor &m, const MonKeyState &keys) {
    std::wstring filter = m.view.filters.empty() ? L"none" : MonFilterText(m.view.filters);
    wchar_t text[400];
    swprintf(text, 400,
             L"\x1b[7m canmon %hs  sort: %ls  filter: %ls%ls%ls \x1b[0m  q quit  p pause  c clear  "
             L"i/r/a sort  f filter  d drop (%lus)%ls",
             RIBEX_VERSION_STRING, MonSortName(m.view.sort), filter.c_str(),
             m.view.signalsView ? L"  SIGNALS" : L"", keys.paused ? L"  PAUSED" : L"",
             m.options.staleMs / 1000, m.view.haveSignals ? L"  s signals/bytes" : L"");
    return text;
}

std::wstring StatusLine(const MonKeyState &keys) {
    if (keys.prompting)
        return L"filter ID:MASK [ID:MASK...] (empty: none, Esc: keep): " + keys.input + L"_";
    return keys.message;
}

// Keys typed since the last look; false when the monitor is to quit.
bool HandleInput(Monitor *m, MonConsole *con, MonKeyState *keys, MonMarks *marks, DWORD waitMs,
                 bool *pChanged) {
    std::wstring typed;
    if (!MonConsoleReadKeys(con, waitMs, &typed)) {
        Sleep(waitMs);  // no input to read: the display goes on, Ctrl+C ends it
        return true;
    }
    if (!typed.empty() || con->width == 0) *pChanged = true;
    for (wchar_t key : typed) {
        switch (MonHandleKey(keys, &m->view, key)) {
        case MonAction::Quit:
            return false;
        case MonAction::Clear:
            MonTableClear(&m->table);
            marks->rows.clear();
            break;
        case MonAction::Drop:
            MonTableDropStale(&m->table, GetTickCount64(), m->options.staleMs);
            keys->message =
                L"rows not seen for " + std::to_wstring(m->options.staleMs / 1000) + L" s dropped";
            break;
        case MonAction::None:
            break;
        }
    }
    return true;
}

void RunInteractive(Monitor *m, MonConsole *con) {
    MonKeyState keys;
    MonMarks marks;
    MonSnapshot snap;
    std::vector<std::wstring> lines;
    ULONGLONG nextDraw = 0;
    bool haveSnapshot = false;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (ShouldStop(*m) || TimeIsUp(*m, now)) break;
        bool changed = false;
        DWORD waitMs = nextDraw > now ? (DWORD)(nextDraw - now) : 0;
        if (!HandleInput(m, con, &keys, &marks, waitMs, &changed)) break;
        now = GetTickCount64();
        if (!changed && now < nextDraw) continue;
        if (!keys.paused || !haveSnapshot) {
            MonTableSnapshot(&m->table, now, &snap);
            MonUpdateMarks(&marks, &snap, kMarkHoldMs);
            haveSnapshot = true;
        }
        MonBuildLines(&snap, &m->view, &marks, &lines, nullptr);
        lines.insert(lines.begin(), {TitleLine(*m, keys), StatusLine(keys)});
        MonConsoleDraw(con, lines);
        nextDraw = now + m->options.refreshMs;
    }
}

void PrintSummary(const Monitor &m) {
    for (size_t i = 0; i < m.table.nets.size(); ++i) {
        const MonNetStats &net = m.table.nets[i];
        printf("canmon: %ls closed: %llu frames, %llu lost, %llu error entries\n",
               m.options.nets[i].c_str(), net.frames, net.lost, net.errorEntries);
    }
    printf("canmon: CPU %.2f s (user + kernel) in %.1f s\n", ToolCpuSeconds(),
           (double)(GetTickCount64() - m.startMs) / 1000.0);
    fflush(stdout);
}

// A file that does not load ends canmon before any net is opened.
bool LoadDatabases(Monitor *m) {
    for (const std::wstring &argument : m->options.databases) {
        CanDbError error;
        if (!CanDbSetLoadArgument(&m->databases, argument.c_str(), &error)) {
            fprintf(stderr, "canmon: %s\n", CanDbErrorText(&error).c_str());
            return false;
        }
    }
    return true;
}

std::vector<std::string> NetNamesUtf8(const MonOptions &o) {
    std::vector<std::string> names;
    for (const std::wstring &net : o.nets) {
        char text[128];
        WideCharToMultiByte(CP_UTF8, 0, net.c_str(), -1, text, sizeof(text), nullptr, nullptr);
        names.push_back(text);
    }
    return names;
}

int Usage(FILE *out, const std::wstring &error) {
    if (!error.empty()) fprintf(out, "canmon: %ls\n\n", error.c_str());
    fputws(MonUsage(), out);
    return error.empty() ? 0 : 2;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    // -V wins over any other argument, as in every tool of ours.
    if (RibexVersionAsked(argc, argv)) {
        printf("canmon " RIBEX_VERSION_STRING "\n");
        return 0;
    }
    Monitor m;
    std::wstring error;
    if (!ParseMonOptions(argc, argv, &m.options, &error)) return Usage(stderr, error);
    if (m.options.help) return Usage(stdout, L"");
    m.view.sort = m.options.sort;
    m.view.filters = m.options.filters;
    m.view.bitRate = m.options.bitRate;
    m.view.netNames = m.options.nets;
    m.view.haveSignals = !m.options.databases.empty();
    m.view.signalsView = m.view.haveSignals && m.options.signalsFirst;

    if (!LoadDatabases(&m)) return 1;

    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    if (!OpenNets(&m)) return 1;
    MonTableInit(&m.table, (DWORD)m.options.nets.size());
    if (m.view.haveSignals) MonTableSetDatabases(&m.table, &m.databases, NetNamesUtf8(m.options));
    m.reader.table = &m.table;
    m.reader.readDelayMs = m.options.readDelayMs;
    int rc = 0;
    if (!MonReaderStart(&m.reader)) {
        fprintf(stderr, "canmon: the reader thread could not be started, error %lu\n",
                GetLastError());
        rc = 1;
    } else {
        m.startMs = GetTickCount64();
        MonConsole con;
        if (!m.options.plain && MonConsoleOpen(&con)) {
            m.view.styled = true;
            RunInteractive(&m, &con);
            MonConsoleClose(&con);
        } else {
            RunPlain(&m);
        }
        MonReaderStop(&m.reader);
    }
    if (m.reader.failed) {
        fprintf(stderr, "canmon: read of %ls failed, error %lu\n",
                m.options.nets[m.reader.failedNet].c_str(), m.reader.errorCode);
        rc = 1;
    }
    if (!CloseNets(&m)) rc = 1;
    PrintSummary(m);
    return rc;
}
