#include "rcd_connection.h"

#include <stdio.h>
#include <string.h>

#include "can_sink.h"
#include "rcd_echo.h"
#include "rcd_protocol.h"
#include "ribex_messages.h"

namespace {

// Bytes of messages a connection keeps for its client beyond what the
// socket holds; past that, frames are dropped and counted.
const DWORD kOutCapacity = 64 * 1024;
// The socket's own send buffer, kept small for the same reason.
const int kSocketSendBuffer = 32 * 1024;
// After "< ok >" to rawmode the first frame waits this long: python-can
// reads that "< ok >" with one recv and compares it whole, so a frame must
// not arrive in the same read.
const DWORD kRawModeGraceMs = 150;
const DWORD kBatch = 64;
const DWORD kMaxGarbageRuns = 4;
const DWORD kMaxNetName = RIBEX_NET_NAME_MAX - 1;  // the terminator not counted
const DWORD kCloseFlushMs = 2000;
const DWORD kDeviceWriteMs = 2000;
const DWORD kBatchHoldMs = 1;
const DWORD kBusyBatch = 4;
const DWORD kReadsPerTurn = 16;

enum Mode { MODE_NO_BUS, MODE_BCM, MODE_RAW };

struct Connection {
    RcdShared *shared;
    SOCKET s;
    HANDLE hSocketEvent;
    DWORD number;
    char peer[48];
    RcdCommandReader reader;
    Mode mode;
    BOOL inGarbage;
    DWORD garbageRuns;

    RibexClientNet *pNet;
    HANDLE hWake;
    char net[kMaxNetName + 1];
    wchar_t netW[kMaxNetName + 1];
    CanSink device;  // the net's device, opened at the first send
    BOOL deviceOpen;
    BOOL noDevice;
    RcdEchoList echoes;  // frames sent, whose echo from the bus is skipped

    char *out;
    DWORD outStart, outEnd;
    BOOL writeBlocked;
    DWORD streamFrom;  // tick count before which nothing is written in raw mode
    BOOL graceActive;

    DWORD pendingLost;  // dropped frames not yet told to the client
    DWORD holdUntil;    // while holding, the net's wake-up is not waited for
    BOOL holding;
    DWORD frames, lost, toBus, errors, receiveErrors;
    DWORD startTick;
    BOOL closing;  // flush what is there, then close
    BOOL serverGone;  // told the client that the server went away, not yet that the net is back
    DWORD closingSince;
    const char *endReason;
};

DWORD OutFree(const Connection *c) {
    return kOutCapacity - (c->outEnd - c->outStart);
}

// Appends a whole message or nothing.
BOOL Append(Connection *c, const char *text, size_t length) {
    if (length > OutFree(c)) return FALSE;
    if (c->outEnd + length > kOutCapacity) {
        memmove(c->out, c->out + c->outStart, c->outEnd - c->outStart);
        c->outEnd -= c->outStart;
        c->outStart = 0;
    }
    memcpy(c->out + c->outEnd, text, length);
    c->outEnd += (DWORD)length;
    return TRUE;
}

BOOL GraceOver(Connection *c) {
    if (c->graceActive && (LONG)(GetTickCount() - c->streamFrom) >= 0) c->graceActive = FALSE;
    return !c->graceActive;
}

// Writes what is buffered, whole buffer per send(). FALSE when the
// connection is broken.
BOOL Flush(Connection *c) {
    while (c->outEnd > c->outStart && !c->writeBlocked && GraceOver(c)) {
        int n = send(c->s, c->out + c->outStart, (int)(c->outEnd - c->outStart), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                c->writeBlocked = TRUE;
                return TRUE;
            }
            c->endReason = "connection broken while writing";
            return FALSE;
        }
        c->outStart += (DWORD)n;
        if (c->outStart == c->outEnd) c->outStart = c->outEnd = 0;
    }
    return TRUE;
}

// A handshake reply ("< hi >", "< ok >") goes out alone: python-can
// compares what one recv returns with it.
void Reply(Connection *c, const char *text) {
    Append(c, text, strlen(text));
    Flush(c);
}

// Text from the client, cut to printable characters, for error lines.
void Quote(const char *text, char *out, size_t size) {
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < size && n < 24; ++n) {
        char ch = text[n];
        out[n] = (ch > ' ' && ch < 127 && ch != '<' && ch != '>') ? ch : '?';
    }
    out[n] = 0;
}

void Complain(Connection *c, const char *what, const char *detail) {
    char line[RCD_MAX_MESSAGE + 64];
    int n = detail != NULL ? snprintf(line, sizeof(line), " < error %s %s >", what, detail)
                           : snprintf(line, sizeof(line), " < error %s >", what);
    if (n > 0 && (size_t)n < sizeof(line) && Append(c, line, (size_t)n)) c->errors++;
}

void StartClosing(Connection *c, const char *reason) {
    if (c->closing) return;
    c->closing = TRUE;
    c->closingSince = GetTickCount();
    c->endReason = reason;
}

BOOL ValidNetName(const char *name) {
    size_t n = strlen(name);
    if (n == 0 || n > kMaxNetName) return FALSE;
    for (size_t i = 0; i < n; ++i) {
        char ch = name[i];
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
              ch == '_' || ch == '-' || ch == '.'))
            return FALSE;
    }
    return TRUE;
}

void OpenNet(Connection *c, char **words, DWORD noWords) {
    if (c->mode != MODE_NO_BUS) return Complain(c, "a net is open already:", c->net);
    if (noWords != 2) return Complain(c, "open needs one net name", NULL);
    char quoted[32];
    Quote(words[1], quoted, sizeof(quoted));
    if (!ValidNetName(words[1]))
        return Complain(c, "not a net name (letters, digits, _ - . only):", quoted);
    strcpy(c->net, words[1]);
    for (size_t i = 0; i <= strlen(c->net); ++i) c->netW[i] = (wchar_t)c->net[i];
    if (!RibexOpenNet(c->netW, &c->shared->options->client, &c->pNet)) {
        char detail[96];
        snprintf(detail, sizeof(detail), "%s: error %lu", c->net, GetLastError());
        c->pNet = NULL;
        Complain(c, "cannot open net", detail);
        // The protocol ends the connection when a bus cannot be opened.
        StartClosing(c, "the net could not be opened");
        return;
    }
    c->hWake = RibexGetWakeEvent(c->pNet);
    c->mode = MODE_BCM;
    printf("ribexcand: #%lu %s opened %s\n", c->number, c->peer, c->net);
    fflush(stdout);
    Reply(c, "< ok >");
}

// Opens the net's device at the first send; FALSE with an error line
// when it cannot (a net without a device is remembered as such).
BOOL OpenDevice(Connection *c) {
    if (c->deviceOpen) return TRUE;
    if (!c->noDevice && CanSinkOpenDevice(&c->device, c->netW)) {
        c->deviceOpen = TRUE;
        return TRUE;
    }
    DWORD error = GetLastError();
    if (!c->noDevice && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        char detail[96];
        snprintf(detail, sizeof(detail), "%s: error %lu", c->net, error);
        Complain(c, "cannot open the device of", detail);
        return FALSE;
    }
    c->noDevice = TRUE;
    Complain(c, "send refused: no device behind net", c->net);
    return FALSE;
}

// FALSE with an error line when the net has no device or the write fails.
BOOL WriteToBus(Connection *c, const RxMsg *msg) {
    if (!OpenDevice(c)) return FALSE;
    DWORD sent = 0;
    if (!CanSinkSend(&c->device, msg, 1, kDeviceWriteMs, &sent)) {
        DWORD error = GetLastError();
        bool gone = CanSinkDeviceWentAway(error);
        char detail[96];
        snprintf(detail, sizeof(detail), "%s: error %lu%s", c->net, error,
                 gone ? " (the device went away; the next send opens it again)" : "");
        Complain(c, "send failed on", detail);
        if (gone) {
            // A handle whose device went away stays dead: a new open reaches
            // the device once it is back.
            CanSinkClose(&c->device, 0);
            c->deviceOpen = FALSE;
        }
        return FALSE;
    }
    c->toBus++;
    InterlockedIncrement(&c->shared->toBus);
    RcdEchoAdd(&c->echoes, msg, GetTickCount());
    return TRUE;
}

void SendFrame(Connection *c, char **words, DWORD noWords, BOOL remote) {
    if (c->mode == MODE_NO_BUS) return Complain(c, "open a net first", NULL);
    RxMsg msg;
    const char *why = NULL;
    if (!RcdParseSend(words, noWords, remote, &msg, &why))
        return Complain(c, remote ? "sendrtr:" : "send:", why);
    WriteToBus(c, &msg);  // socketcand answers a good send with nothing
}

void HandleCommand(Connection *c) {
    char *words[RCD_MAX_WORDS];
    DWORD n = RcdSplitWords(c->reader.text, words, RCD_MAX_WORDS);
    if (n == 0) return Complain(c, "empty command", NULL);
    const char *cmd = words[0];
    if (strcmp(cmd, "open") == 0) return OpenNet(c, words, n);
    if (strcmp(cmd, "echo") == 0) return Reply(c, c->mode == MODE_RAW ? " < echo >" : "< echo >");
    if (strcmp(cmd, "send") == 0) return SendFrame(c, words, n, FALSE);
    if (strcmp(cmd, "sendrtr") == 0) return SendFrame(c, words, n, TRUE);
    if (strcmp(cmd, "rawmode") == 0 || strcmp(cmd, "bcmmode") == 0) {
        if (c->mode == MODE_NO_BUS) return Complain(c, "open a net first", NULL);
        BOOL raw = cmd[0] == 'r';
        Reply(c, "< ok >");
        if (raw && c->mode != MODE_RAW) {
            c->streamFrom = GetTickCount() + kRawModeGraceMs;
            c->graceActive = TRUE;
        }
        c->mode = raw ? MODE_RAW : MODE_BCM;
        return;
    }
    static const char *const kNotSupported[] = {
        "add",         "update",      "delete",     "filter",    "muxfilter", "subscribe",
        "unsubscribe", "controlmode", "statistics", "isotpmode", "isotpconf", "sendpdu"};
    char quoted[32];
    Quote(cmd, quoted, sizeof(quoted));
    for (const char *name : kNotSupported)
        if (strcmp(cmd, name) == 0) return Complain(c, "not supported (raw mode only):", quoted);
    Complain(c, "unknown command", quoted);
}

void TakeByte(Connection *c, char ch) {
    switch (RcdReaderPush(&c->reader, ch)) {
        case RCD_STEP_NONE:
            if (ch == '<') c->inGarbage = FALSE;
            break;
        case RCD_STEP_COMMAND:
            c->inGarbage = FALSE;
            HandleCommand(c);
            break;
        case RCD_STEP_GARBAGE:
            if (c->inGarbage) break;  // one complaint per run of garbage
            c->inGarbage = TRUE;
            Complain(c, "data outside a command", NULL);
            if (++c->garbageRuns >= kMaxGarbageRuns)
                StartClosing(c, "too much data outside commands");
            break;
        case RCD_STEP_TOO_LONG:
            Complain(c, "command too long", NULL);
            StartClosing(c, "command too long");
            break;
    }
}

// Reads and handles what the client sent, at most kReadsPerTurn buffers a
// turn so that a client that never stops writing still gets its frames
// (the socket signals again while data is left). FALSE when it has gone.
BOOL ReadClient(Connection *c) {
    char buffer[4096];
    for (DWORD turn = 0; turn < kReadsPerTurn; ++turn) {
        int n = recv(c->s, buffer, sizeof(buffer), 0);
        if (n == 0) {
            // The client closed its side: what it is owed still goes out
            // ("printf '< open CAN1 >' | nc" gets its "< ok >").
            if (c->outEnd == c->outStart) {
                c->endReason = "client closed the connection";
                return FALSE;
            }
            StartClosing(c, "client closed the connection");
            return TRUE;
        }
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) return TRUE;
            c->endReason = "connection broken while reading";
            return FALSE;
        }
        for (int i = 0; i < n && !c->closing; ++i) TakeByte(c, buffer[i]);
        if (c->closing) return TRUE;  // the rest of its input is not looked at
    }
    return TRUE;
}

BOOL HandleSocketEvents(Connection *c) {
    WSANETWORKEVENTS ne;
    if (WSAEnumNetworkEvents(c->s, c->hSocketEvent, &ne) == SOCKET_ERROR) {
        c->endReason = "socket failed";
        return FALSE;
    }
    if (ne.lNetworkEvents & FD_WRITE) c->writeBlocked = FALSE;
    if ((ne.lNetworkEvents & (FD_READ | FD_CLOSE)) && !c->closing) return ReadClient(c);
    if ((ne.lNetworkEvents & FD_CLOSE) && c->closing) {
        c->endReason = "client closed the connection";
        return FALSE;
    }
    return TRUE;
}

void TellLost(Connection *c) {
    if (c->pendingLost == 0) return;
    char line[96];
    int n = snprintf(line, sizeof(line), " < error %lu frames lost: the client reads too slowly >",
                     c->pendingLost);
    if (n > 0 && Append(c, line, (size_t)n)) {
        c->pendingLost = 0;
        c->errors++;
    }
}

void Drop(Connection *c, DWORD count) {
    c->pendingLost += count;
    c->lost += count;
    InterlockedExchangeAdd(&c->shared->lost, (LONG)count);
}

// Writes one receive-buffer entry for the client, or drops it when the
// output buffer is full (or frames are waiting to be told as lost).
void EmitEntry(Connection *c, const RibexFrame *entry) {
    TellLost(c);
    char line[RCD_MAX_MESSAGE];
    size_t length = RcdFormatEntry(entry, entry->msg.timeStamp + c->shared->stampShift, line,
                                   sizeof(line));
    if (length == 0) return;  // an impossible frame: nothing to show
    if (entry->errorCode != 0) c->receiveErrors++;
    if (c->pendingLost != 0 || !Append(c, line, length)) {
        Drop(c, 1);
        return;
    }
    c->frames++;
    InterlockedIncrement(&c->shared->frames);
}

// The client library opens a net again when its server went away; the
// connection stays, and its client reads of it in an error line each way.
BOOL TellServerEvent(Connection *c, DWORD errorCode) {
    char detail[96];
    if (errorCode == RIBEX_ERROR_NET_REOPENED && !c->serverGone)
        TellServerEvent(c, RIBEX_ERROR_SERVER_GONE);  // another client was quicker
    if (errorCode == RIBEX_ERROR_SERVER_GONE && !c->serverGone) {
        c->serverGone = TRUE;
        snprintf(detail, sizeof(detail), "%s: reopening it", c->net);
        Complain(c, "the ribex server went away", detail);
        return TRUE;
    }
    if (errorCode == RIBEX_ERROR_NET_REOPENED) {
        snprintf(detail, sizeof(detail), "%s on a new server, frames in between are lost", c->net);
        Complain(c, "reopened net", detail);
        c->serverGone = FALSE;
        return TRUE;
    }
    return FALSE;
}

// Moves every published entry of the receive buffer into the output buffer
// (raw mode) or past (otherwise). Entries that do not fit are dropped.
// Returns the number of entries taken.
DWORD PumpFrames(Connection *c) {
    if (c->pNet == NULL || c->closing) return 0;
    RibexFrame frames[kBatch];
    DWORD taken = 0;
    for (;;) {
        DWORD n = 0, lapped = 0;
        if (!RibexReadFrames(c->pNet, frames, kBatch, &n, &lapped, 0)) {
            if (TellServerEvent(c, GetLastError())) continue;
            char detail[96];
            snprintf(detail, sizeof(detail), "%s: error %lu", c->net, GetLastError());
            Complain(c, "cannot read net", detail);
            StartClosing(c, "the net could not be read");
            return taken;
        }
        taken += n;
        if (c->mode == MODE_RAW && lapped != 0) Drop(c, lapped);
        DWORD tick = GetTickCount();
        for (DWORD i = 0; i < n; ++i) {
            if (c->echoes.count != 0 && RcdEchoTake(&c->echoes, &frames[i], tick)) continue;
            if (c->mode == MODE_RAW) EmitEntry(c, &frames[i]);
        }
        if (n < kBatch) break;
    }
    if (c->mode == MODE_RAW) TellLost(c);
    return taken;
}

DWORD TicksLeft(DWORD until) {
    LONG left = (LONG)(until - GetTickCount());
    return left > 0 ? (DWORD)left : 0;
}

BOOL Holding(Connection *c) {
    if (c->holding && TicksLeft(c->holdUntil) == 0) c->holding = FALSE;
    return c->holding;
}

DWORD WaitTime(Connection *c) {
    if (c->closing) return 100;
    if (c->graceActive && c->outEnd > c->outStart) return TicksLeft(c->streamFrom);
    if (Holding(c)) return TicksLeft(c->holdUntil);
    return 250;
}

void Serve(Connection *c) {
    Reply(c, "< hi >");
    for (;;) {
        HANDLE handles[3] = {c->hSocketEvent, c->shared->hStop, c->hWake};
        DWORD count = c->hWake != NULL && !Holding(c) ? 3 : 2;
        DWORD r = WaitForMultipleObjects(count, handles, FALSE, WaitTime(c));
        if (r == WAIT_OBJECT_0 + 1) {
            c->endReason = "ribexcand stopped";
            break;
        }
        if (r == WAIT_FAILED) {
            c->endReason = "wait failed";
            break;
        }
        if (r == WAIT_OBJECT_0 && !HandleSocketEvents(c)) break;
        // Several frames came at once: the net is busy, and the next ones
        // are taken together after a short hold, so that it costs a
        // wake-up and a send() per batch rather than per frame. Frames that
        // come one at a time still go out at once.
        if (PumpFrames(c) >= kBusyBatch && c->mode == MODE_RAW) {
            c->holding = TRUE;
            c->holdUntil = GetTickCount() + kBatchHoldMs;
        }
        if (!Flush(c)) break;
        if (c->closing &&
            (c->outEnd == c->outStart || GetTickCount() - c->closingSince > kCloseFlushMs))
            break;
    }
}

void PrintStatistics(Connection *c, BOOL netClosed, DWORD closeError) {
    double seconds = (GetTickCount() - c->startTick) / 1000.0;
    char netText[96];
    if (c->pNet == NULL)
        snprintf(netText, sizeof(netText), "no net open");
    else if (netClosed)
        snprintf(netText, sizeof(netText), "net %s closed", c->net);
    else
        snprintf(netText, sizeof(netText), "closing net %s failed: error %lu", c->net, closeError);
    // "frames" counts what was written for the client, receive errors
    // included; "lost" what it never got because it read too slowly.
    printf("ribexcand: #%lu %s ended (%s): %lu frames, %lu lost, %lu sent to the bus, "
           "%lu receive errors, %lu error lines, %.1f s, %s\n",
           c->number, c->peer, c->endReason ? c->endReason : "done", c->frames, c->lost, c->toBus,
           c->receiveErrors, c->errors, seconds, netText);
    fflush(stdout);
}

void EndConnection(Connection *c) {
    BOOL netClosed = TRUE;
    DWORD closeError = 0;
    if (c->pNet != NULL) {
        netClosed = RibexCloseNet(c->pNet);
        if (!netClosed) closeError = GetLastError();
    }
    if (c->deviceOpen) CanSinkClose(&c->device, 0);
    PrintStatistics(c, netClosed, closeError);
    shutdown(c->s, SD_SEND);
    closesocket(c->s);
    WSACloseEvent(c->hSocketEvent);
    HeapFree(GetProcessHeap(), 0, c->out);
    InterlockedDecrement(&c->shared->active);
    HeapFree(GetProcessHeap(), 0, c);
}

DWORD WINAPI ConnectionThread(void *param) {
    Connection *c = (Connection *)param;
    Serve(c);
    EndConnection(c);
    return 0;
}

}  // namespace

HANDLE RcdStartConnection(RcdShared *shared, SOCKET s, const char *peer, DWORD number) {
    Connection *c = (Connection *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Connection));
    char *out = (char *)HeapAlloc(GetProcessHeap(), 0, kOutCapacity);
    HANDLE hSocketEvent = WSACreateEvent();
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (c != NULL && out != NULL && hSocketEvent != WSA_INVALID_EVENT) {
        c->shared = shared;
        c->s = s;
        c->hSocketEvent = hSocketEvent;
        c->number = number;
        snprintf(c->peer, sizeof(c->peer), "%s", peer);
        c->out = out;
        c->startTick = GetTickCount();
        RcdReaderInit(&c->reader);
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&noDelay, sizeof(noDelay));
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, (const char *)&kSocketSendBuffer,
                   sizeof(kSocketSendBuffer));
        if (WSAEventSelect(s, hSocketEvent, FD_READ | FD_WRITE | FD_CLOSE) == 0) {
            InterlockedIncrement(&shared->active);
            HANDLE hThread = CreateThread(NULL, 0, ConnectionThread, c, 0, NULL);
            if (hThread != NULL) return hThread;
            error = GetLastError();
            InterlockedDecrement(&shared->active);
        } else {
            error = (DWORD)WSAGetLastError();
        }
    }
    closesocket(s);
    if (hSocketEvent != WSA_INVALID_EVENT) WSACloseEvent(hSocketEvent);
    if (out != NULL) HeapFree(GetProcessHeap(), 0, out);
    if (c != NULL) HeapFree(GetProcessHeap(), 0, c);
    SetLastError(error);
    return NULL;
}
