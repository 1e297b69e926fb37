// The rest bus (see canpeer_restbus.h).
#include "canpeer_restbus.h"

#include <stdio.h>

#include <algorithm>

#include "tool_stop.h"

namespace {

constexpr uint64_t TICKS_PER_MS = 10000;
// The name DBC files give to "no node".
const char NO_NODE[] = "Vector__XXX";

// Wakes the run loop when a line came from stdin (Ctrl+C wakes it with the
// stop event).
HANDLE g_wake = nullptr;

// Lines read from stdin, handed to the run loop. The lock guards lines.
struct LineInbox {
    CRITICAL_SECTION lock;
    std::vector<std::string> lines;
};

LineInbox g_inbox;

void PostLine(const std::string &line)
{
    EnterCriticalSection(&g_inbox.lock);
    g_inbox.lines.push_back(line);
    LeaveCriticalSection(&g_inbox.lock);
    SetEvent(g_wake);
}

std::vector<std::string> TakeLines()
{
    std::vector<std::string> lines;
    EnterCriticalSection(&g_inbox.lock);
    lines.swap(g_inbox.lines);
    LeaveCriticalSection(&g_inbox.lock);
    return lines;
}

// Reads stdin with ReadFile rather than the C runtime: a thread blocked in
// fgets holds the stream's lock, and the runtime's exit would wait for it.
DWORD WINAPI ReadStdinLines(void *)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[512];
    DWORD got = 0;
    while (in && in != INVALID_HANDLE_VALUE && ReadFile(in, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") != std::string::npos) PostLine(line);
        }
    }
    if (pending.find_first_not_of(" \t\r") != std::string::npos) PostLine(pending);
    return 0;
}

bool SendsIt(const CanDbMessage &m, const std::vector<std::string> &nodes)
{
    for (const std::string &t : m.transmitters) {
        if (t.empty() || t == NO_NODE) continue;
        for (const std::string &n : nodes)
            if (n == "all" || n == t) return true;
    }
    return false;
}

bool IsKnownNode(const CanDatabase *db, const std::string &node)
{
    for (const CanDbNode &n : db->nodes)
        if (n.name == node) return true;
    for (const CanDbMessage &m : db->messages)
        for (const std::string &t : m.transmitters)
            if (t == node) return true;
    return false;
}

std::string NodeNames(const CanDatabase *db)
{
    std::string text;
    for (const CanDbNode &n : db->nodes) text += (text.empty() ? "" : ", ") + n.name;
    return text.empty() ? "no nodes" : text;
}

RestBusMessage *FindScheduled(RestBus *bus, const CanDbMessage *msg)
{
    for (RestBusMessage &m : bus->messages)
        if (m.msg == msg) return &m;
    return nullptr;
}

std::string FormatValue(double v)
{
    char text[40];
    snprintf(text, sizeof(text), "%.15g", v);
    return text;
}

}  // namespace

bool RestBusInit(RestBus *bus, const CanDatabase *db, const std::vector<std::string> &nodes,
                 std::vector<std::string> *notes, std::string *error)
{
    bus->db = db;
    bus->messages.clear();
    for (const std::string &node : nodes) {
        if (node == "all") continue;
        if (!IsKnownNode(db, node)) {
            *error = "no node '" + node + "' in " + db->fileName + "; it has " + NodeNames(db);
            return false;
        }
        if (CanDbMessagesOfNode(db, node.c_str()).empty())
            notes->push_back("node " + node + " sends no message in " + db->fileName);
    }
    for (const CanDbMessage &m : db->messages) {
        if (!SendsIt(m, nodes)) continue;
        RestBusMessage r = {};
        r.msg = &m;
        std::string why;
        if (!EncodeMessageFrame(&m, r.values, &r.frame, nullptr, &why)) {
            notes->push_back(why + "; not sent");
            continue;
        }
        r.period = (uint64_t)CanDbCycleTime(&m) * TICKS_PER_MS;
        r.pending = r.period == 0;
        if (r.period == 0) {
            notes->push_back(MessageLabel(&m) +
                             " has no GenMsgCycleTime: sent at the start and whenever a value of it is set");
        }
        bus->messages.push_back(r);
    }
    if (bus->messages.empty()) {
        *error = "the nodes given send no message of " + db->fileName + " that canpeer can send";
        return false;
    }
    return true;
}

void RestBusTakeDue(RestBus *bus, uint64_t now, std::vector<RxMsg> *batch)
{
    for (RestBusMessage &m : bus->messages) {
        if (m.nextDue > now || (m.period == 0 && !m.pending)) continue;
        batch->push_back(m.frame);
        m.sent++;
        m.pending = false;
        if (m.period) m.nextDue += m.period;
    }
}

uint64_t RestBusNextDue(const RestBus *bus)
{
    uint64_t next = UINT64_MAX;
    for (const RestBusMessage &m : bus->messages)
        if (m.period || m.pending) next = std::min(next, m.nextDue);
    return next;
}

bool RestBusApplyLine(RestBus *bus, const std::string &line, std::string *done, std::string *error)
{
    SignalAssignment a;
    if (!ParseSetLine(bus->db, line, &a, error)) return false;
    RestBusMessage *m = FindScheduled(bus, a.msg);
    if (!m) {
        *error = a.msg->name + " is not a message of the nodes canpeer stands in for";
        return false;
    }
    std::vector<SignalAssignment> values = m->values;
    PutAssignment(&values, a);
    std::vector<SignalClamp> clamps;
    RxMsg frame;
    if (!EncodeMessageFrame(a.msg, values, &frame, &clamps, error)) return false;
    m->values = values;
    m->frame = frame;
    if (m->period == 0) m->pending = true;
    const CanDbSignal &sig = a.msg->signals[(size_t)a.signal];
    // The value that goes out: a clamped one says what was asked.
    double value = clamps.empty() ? a.physical : clamps.front().written;
    *done = a.msg->name + "." + sig.name + " = " + FormatValue(value) + (sig.unit.empty() ? "" : " " + sig.unit);
    if (!clamps.empty()) *done += " (clamped from " + FormatValue(a.physical) + ")";
    return true;
}

bool RestBusRunUntilStopped(RestBus *bus, DWORD runTimeMs, const RestBusIo *io, RestBusRun *run)
{
    *run = RestBusRun{};
    InitializeCriticalSection(&g_inbox.lock);
    g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ToolStopInstall();
    HANDLE reader = CreateThread(nullptr, 0, ReadStdinLines, nullptr, 0, nullptr);
    if (reader) CloseHandle(reader);

    const uint64_t start = io->now(io->context);
    const uint64_t end = runTimeMs ? (uint64_t)runTimeMs * TICKS_PER_MS : UINT64_MAX;
    std::vector<RxMsg> batch;
    bool ok = true;
    for (;;) {
        for (const std::string &line : TakeLines()) {
            std::string done, error;
            if (RestBusApplyLine(bus, line, &done, &error))
                fprintf(stderr, "canpeer: set %s\n", done.c_str());
            else
                fprintf(stderr, "canpeer: %s\n", error.c_str());
        }
        uint64_t now = io->now(io->context) - start;
        if (ToolStopRequested() || now >= end) break;
        batch.clear();
        RestBusTakeDue(bus, now, &batch);
        if (!batch.empty()) {
            if (!io->send(io->context, batch.data(), (DWORD)batch.size())) {
                ok = false;
                break;
            }
            run->frames += batch.size();
            continue;  // a message behind takes its next frame at once
        }
        uint64_t next = std::min(RestBusNextDue(bus), end);
        uint64_t waitMs = (next - now + TICKS_PER_MS - 1) / TICKS_PER_MS;
        HANDLE wakes[2] = {g_wake, ToolStopEvent()};
        WaitForMultipleObjects(wakes[1] != nullptr ? 2 : 1, wakes, FALSE, waitMs > 1000 ? 1000 : (DWORD)waitMs);
    }
    run->seconds = (double)(io->now(io->context) - start) / 1e7;
    run->stoppedByUser = ToolStopRequested() != FALSE;
    return ok;
}

void RestBusPrintStatistics(const RestBus *bus, const RestBusRun *run, const char *target)
{
    fprintf(stderr, "canpeer: rest bus: %llu frames of %zu messages to %s in %.3f s%s\n",
            (unsigned long long)run->frames, bus->messages.size(), target, run->seconds,
            run->stoppedByUser ? " (stopped by Ctrl+C)" : "");
    for (const RestBusMessage &m : bus->messages) {
        if (m.period) {
            fprintf(stderr, "canpeer:   %-28s every %4llu ms: %8llu frames, %8.2f frames/s\n",
                    MessageLabel(m.msg).c_str(), (unsigned long long)(m.period / TICKS_PER_MS),
                    (unsigned long long)m.sent, run->seconds > 0 ? (double)m.sent / run->seconds : 0.0);
        } else {
            fprintf(stderr, "canpeer:   %-28s on change    : %8llu frames\n", MessageLabel(m.msg).c_str(),
                    (unsigned long long)m.sent);
        }
    }
}
