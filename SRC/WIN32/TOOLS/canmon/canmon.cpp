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
#include "tool_nets.h"
#include "tool_stop.h"

namespace {

const ULONGLONG kMarkHoldMs = 1000;  // a changed byte stays highlighted this long
const DWORD kPlainTickMs = 50;

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

bool ShouldStop(const Monitor &m) { return ToolStopRequested() || m.reader.reader.failed != 0; }

// Opens every net; on a failure the ones opened are closed again.
bool OpenNets(Monitor *m) {
    RibexClientOptions client = {};
    if (!m->options.queueName.empty()) client.serverQueueName = m->options.queueName.c_str();
    client.haveUniqueId = m->options.haveUniqueId;
    client.uniqueIdHigh = m->options.uniqueIdHigh;
    client.uniqueIdLow = m->options.uniqueIdLow;
    return ToolOpenNets("canmon", m->options.nets, &client, ToolUniqueIds::LowPerNet,
                        &m->reader.reader.nets) != FALSE;
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


// The view's settings from the options.
void SetUpView(Monitor *m) {
    m->view.sort = m->options.sort;
    m->view.filters = m->options.filters;
    m->view.bitRate = m->options.bitRate;
    m->view.netNames = m->options.nets;
    m->view.haveSignals = !m->options.databases.empty();
    m->view.signalsView = m->view.haveSignals && m->options.signalsFirst;
}

// The table fed by the reader thread, shown until q, Ctrl+C or -T.
int RunMonitor(Monitor *m) {
    MonTableInit(&m->table, (DWORD)m->options.nets.size());
    if (m->view.haveSignals) MonTableSetDatabases(&m->table, &m->databases, NetNamesUtf8(m->options));
    m->reader.table = &m->table;
    m->reader.reader.readDelayMs = m->options.readDelayMs;
    if (!MonReaderStart(&m->reader)) {
        fprintf(stderr, "canmon: the reader thread could not be started, error %lu\n", GetLastError());
        return 1;
    }
    m->startMs = GetTickCount64();
    MonConsole con;
    if (!m->options.plain && MonConsoleOpen(&con)) {
        m->view.styled = true;
        RunInteractive(m, &con);
        MonConsoleClose(&con);
    } else {
        RunPlain(m);
    }
    MonReaderStop(&m->reader);
    if (!m->reader.reader.failed) return 0;
    fprintf(stderr, "canmon: read of %ls failed, error %lu\n",
            m->options.nets[m->reader.reader.failedNet].c_str(), m->reader.reader.errorCode);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    Monitor m;
    ToolSpec optionTable = MonToolSpec(&m.options);
    ToolArgs args;
    int code = ToolBegin(optionTable, argc, argv, &args);
    if (code >= 0) return code;
    std::wstring error;
    if (!MonTakeNets(args.operands, &m.options, &error)) return ToolFail(optionTable, error);
    SetUpView(&m);
    if (!LoadDatabases(&m) || !ToolStopInstall() || !OpenNets(&m)) return 1;
    int rc = RunMonitor(&m);
    if (!ToolCloseNets("canmon", m.options.nets, &m.reader.reader.nets)) rc = 1;
    PrintSummary(m);
    return rc;
}
