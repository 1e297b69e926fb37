// canslcan's serial side: the adapter's set-up, its lines, the answers to
// our commands, and the frames it receives (see canslcan_bridge.h).
#include <stdio.h>
#include <string.h>

#include "canslcan_bridge.h"

namespace {

// Resets and open commands whose refusal ends the set-up.
bool IsEssential(const char *command)
{
    return command[0] == 'S' || command[0] == 's' || command[0] == 'O' || command[0] == 'L';
}

bool IsTransmit(const char *command)
{
    return strchr("tTrR", command[0]) != nullptr;
}

// Printable form of a line from the adapter, for messages.
void Printable(const char *text, char *out, size_t size)
{
    size_t j = 0;
    for (size_t i = 0; text[i] && j + 5 < size; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c < 0x7F) {
            out[j++] = (char)c;
        } else {
            j += (size_t)snprintf(out + j, size - j, "\\x%02X", c);
        }
    }
    out[j] = 0;
}

void PendingPush(PendingCommands *p, const char *command, size_t length)
{
    if (p->count == PENDING_MAX) {
        // An adapter that does not answer: the oldest is given up.
        p->first = (p->first + 1) % PENDING_MAX;
        p->count--;
        p->answered++;
    }
    char *slot = p->text[(p->first + p->count) % PENDING_MAX];
    size_t n = length < SLCAN_COMMAND_MAX - 1 ? length : SLCAN_COMMAND_MAX - 1;
    memcpy(slot, command, n);
    slot[n] = 0;
    if (n && slot[n - 1] == '\r') slot[n - 1] = 0;
    p->count++;
    p->written++;
}

// Takes back the last n pushed commands whose write failed.
void PendingUnpush(PendingCommands *p, DWORD n)
{
    p->count -= n;
    p->written -= n;
}

// The oldest unanswered command into out; FALSE when none was pending.
bool PendingPop(PendingCommands *p, char *out, LONG64 *sequence)
{
    EnterCriticalSection(&p->lock);
    bool had = p->count > 0;
    if (had) {
        memcpy(out, p->text[p->first], SLCAN_COMMAND_MAX);
        p->first = (p->first + 1) % PENDING_MAX;
        p->count--;
        p->answered++;
        *sequence = p->answered;
    }
    LeaveCriticalSection(&p->lock);
    return had;
}

void OnAnswer(Bridge *b, const char *line, bool refused)
{
    char command[SLCAN_COMMAND_MAX];
    LONG64 sequence = 0;
    if (b->flushing) {
        b->flushAnswers++;
        return;
    }
    if (!PendingPop(&b->pending, command, &sequence)) {
        if (refused) {
            InterlockedIncrement64(&b->stats.refused);
            BridgeMessage(b, "the adapter refused a command (BEL) when none was pending");
        }
        return;
    }
    // A closed channel refuses to close: not worth a word.
    if (refused && command[0] == 'C' && command[1] == 0) return;
    if (refused) {
        InterlockedIncrement64(&b->stats.refused);
        InterlockedExchange64(&b->pending.lastRefused, sequence);
        if (!IsTransmit(command)) {
            BridgeMessage(b, "the adapter refused '%s'", command);
            return;
        }
        InterlockedIncrement64(&b->stats.lostTx);
        if (!b->txRefusalShown) {
            b->txRefusalShown = true;
            BridgeMessage(b,
                          "the adapter refused '%s' (is the channel listen-only?); further "
                          "refused frames are only counted",
                          command);
        }
    } else if (b->options->verbose && line[0] &&
               (command[0] == 'V' || command[0] == 'N' || command[0] == 'F')) {
        BridgeMessage(b, "the adapter answered '%s' with '%s'", command, line);
    }
}

void OnMalformed(Bridge *b, const char *text)
{
    InterlockedIncrement64(&b->stats.malformed);
    if (b->flushing || !b->options->verbose) return;
    char shown[4 * SLCAN_LINE_MAX + 8];
    Printable(text, shown, sizeof(shown));
    BridgeMessage(b, "malformed line skipped: '%s'", shown);
}

void OnFrame(Bridge *b, const SlcanLine &line)
{
    uint64_t adapterMs = 0;
    if (line.hasStamp) adapterMs = SlcanClockUnwrap(&b->clock, line.stampMs, BridgeHostMs(b));
    if (b->options->verbose) BridgePrintFrame(b, &line.msg, line.hasStamp, adapterMs);
    b->batch[b->batchCount++] = line.msg;
}

void OnLine(Bridge *b, const char *text)
{
    SlcanLine line = SlcanParseLine(text);
    switch (line.kind) {
    case SlcanLineKind::Frame: OnFrame(b, line); break;
    case SlcanLineKind::Ok:
    case SlcanLineKind::TxOk:
    case SlcanLineKind::Answer: OnAnswer(b, text, false); break;
    case SlcanLineKind::Malformed: OnMalformed(b, text); break;
    }
}

// Hands the frames of one read to the target; what does not fit in time
// is lost, the serial reader goes on.
void FlushBatch(Bridge *b)
{
    if (!b->batchCount) return;
    DWORD sent = 0;
    AcquireSRWLockShared(&b->sinkLock);
    BOOL ok = CanSinkSend(&b->sink, b->batch, b->batchCount, b->options->sendTimeoutMs, &sent);
    DWORD error = GetLastError();
    ReleaseSRWLockShared(&b->sinkLock);
    if (!ok) {
        LONG64 lost = InterlockedAdd64(&b->stats.lostRx, b->batchCount - sent);
        // Say it once per run of losses, not once per frame.
        if (lost == (LONG64)(b->batchCount - sent)) {
            BridgeMessage(b, "%s: error %lu%s; frames are counted as lost", b->iface, error,
                          error == ERROR_TIMEOUT ? " (full: is a server reading it?)" : "");
        }
    }
    InterlockedAdd64(&b->stats.rxFrames, sent);
    b->batchCount = 0;
}

void HandleBytes(Bridge *b, const char *data, DWORD n)
{
    const char *p = data;
    const char *end = data + n;
    while (p < end) {
        bool cut = false;
        switch (SlcanAssemble(&b->assembler, &p, end, &cut)) {
        case SlcanEvent::None: break;
        case SlcanEvent::Line: OnLine(b, b->assembler.line); break;
        case SlcanEvent::Overlong: OnMalformed(b, "(line too long)"); break;
        case SlcanEvent::Refused:
            if (cut) OnMalformed(b, "(line cut by BEL)");
            OnAnswer(b, "", true);
            break;
        }
        if (b->batchCount == READ_BATCH_MAX) FlushBatch(b);
    }
    FlushBatch(b);
}

// Waits for the answer to command sequence; FALSE when the port failed,
// the user stopped, or no answer came in time.
bool WaitAnswer(Bridge *b, LONG64 sequence, const char *command)
{
    const DWORD start = GetTickCount();
    while (b->pending.answered < sequence) {
        if (GetTickCount() - start > b->options->answerTimeoutMs) {
            BridgeMessage(b, "no answer from %s to '%s'", b->portName, command);
            b->portError = ERROR_TIMEOUT;
            return false;
        }
        if (AdapterPump(b, 50) != PumpResult::Idle) return false;
    }
    return true;
}

// Sends one set-up command and waits for its answer. FALSE ends the set-up.
bool SetUpCommand(Bridge *b, const char *command)
{
    LONG64 sequence = AdapterWriteCommand(b, command);
    if (!sequence) {
        b->portError = GetLastError();
        return false;
    }
    if (!WaitAnswer(b, sequence, command)) return false;
    if (b->pending.lastRefused == sequence && IsEssential(command)) {
        b->setupRefused = true;
        return false;
    }
    return true;
}

// Ends whatever half command the adapter holds and drops the answers, all
// three of them (or what came in 500 ms): a late one would be taken for the
// answer to the next command.
bool FlushAdapter(Bridge *b)
{
    b->flushing = true;
    b->flushAnswers = 0;
    bool ok = SlcanPortWrite(&b->port, "\r\r\r", 3, 1000) != FALSE;
    if (!ok) b->portError = GetLastError();
    const DWORD start = GetTickCount();
    while (ok && b->flushAnswers < 3 && GetTickCount() - start < 500) {
        ok = AdapterPump(b, 50) == PumpResult::Idle;
    }
    b->flushing = false;
    SlcanAssemblerReset(&b->assembler);
    return ok;
}

}  // namespace

void PendingInit(PendingCommands *p)
{
    InitializeCriticalSection(&p->lock);
    p->first = p->count = 0;
    p->written = p->answered = p->lastRefused = 0;
}

void PendingDelete(PendingCommands *p)
{
    DeleteCriticalSection(&p->lock);
}

LONG64 AdapterWriteCommand(Bridge *b, const char *command)
{
    char line[SLCAN_COMMAND_MAX + 1];
    size_t n = strlen(command);
    if (n >= SLCAN_COMMAND_MAX) n = SLCAN_COMMAND_MAX - 1;
    memcpy(line, command, n);
    line[n++] = '\r';
    EnterCriticalSection(&b->pending.lock);
    PendingPush(&b->pending, line, n);
    LONG64 sequence = b->pending.written;
    BOOL ok = SlcanPortWrite(&b->port, line, (DWORD)n, 1000);
    DWORD error = GetLastError();
    if (!ok) PendingUnpush(&b->pending, 1);
    LeaveCriticalSection(&b->pending.lock);
    SetLastError(error);
    return ok ? sequence : 0;
}

BOOL AdapterWriteFrames(Bridge *b, const char *commands, const DWORD *lengths, DWORD n)
{
    DWORD total = 0;
    EnterCriticalSection(&b->pending.lock);
    for (DWORD i = 0; i < n; i++) {
        PendingPush(&b->pending, commands + total, lengths[i]);
        total += lengths[i];
    }
    BOOL ok = SlcanPortWrite(&b->port, commands, total, 1000);
    DWORD error = GetLastError();
    if (!ok) PendingUnpush(&b->pending, n);
    LeaveCriticalSection(&b->pending.lock);
    SetLastError(error);
    return ok;
}

PumpResult AdapterPump(Bridge *b, DWORD waitMs)
{
    DWORD n = 0;
    BOOL stopped = FALSE;
    if (!SlcanPortRead(&b->port, b->readBuffer, sizeof(b->readBuffer), &n, b->hStop, waitMs,
                       &stopped)) {
        b->portError = GetLastError();
        return PumpResult::PortFailed;
    }
    if (n) HandleBytes(b, b->readBuffer, n);
    return stopped ? PumpResult::Stopped : PumpResult::Idle;
}

BOOL AdapterSetUp(Bridge *b)
{
    const SlcanOptions &o = *b->options;
    b->setupRefused = false;
    b->txRefusalShown = false;
    SlcanAssemblerReset(&b->assembler);
    SlcanClockReset(&b->clock);
    if (!FlushAdapter(b)) return FALSE;
    const char *commands[] = {"C", "V", o.bitRateCommand.c_str(), o.adapterStamps ? "Z1" : "Z0",
                              o.listenOnly ? "L" : "O"};
    for (const char *command : commands) {
        if (!SetUpCommand(b, command)) return FALSE;
    }
    return TRUE;
}

void AdapterShutDown(Bridge *b)
{
    LONG64 sequence = AdapterWriteCommand(b, "C");
    if (!sequence) return;
    const DWORD start = GetTickCount();
    // Frames may still come before the answer; they are passed on.
    while (b->pending.answered < sequence && GetTickCount() - start < b->options->answerTimeoutMs) {
        DWORD n = 0;
        BOOL stopped = FALSE;
        if (!SlcanPortRead(&b->port, b->readBuffer, sizeof(b->readBuffer), &n, nullptr, 50,
                           &stopped))
            break;
        if (n) HandleBytes(b, b->readBuffer, n);
    }
}

void AdapterPortLost(Bridge *b)
{
    if (SlcanAssemblerPending(&b->assembler)) InterlockedIncrement64(&b->stats.lostRx);
    SlcanAssemblerReset(&b->assembler);
    EnterCriticalSection(&b->pending.lock);
    for (DWORD i = 0; i < b->pending.count; i++) {
        if (IsTransmit(b->pending.text[(b->pending.first + i) % PENDING_MAX])) {
            InterlockedIncrement64(&b->stats.lostTx);
        }
    }
    b->pending.answered = b->pending.written;
    b->pending.first = b->pending.count = 0;
    LeaveCriticalSection(&b->pending.lock);
}
