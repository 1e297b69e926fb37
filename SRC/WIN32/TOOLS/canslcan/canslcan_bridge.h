// The state canslcan's threads share: the port, the target, the adapter's
// line assembly and command answers, and the counters printed on exit.
#pragma once

#include <windows.h>

#include "can_sink.h"
#include "canslcan_options.h"
#include "slcan_port.h"
#include "slcan_text.h"

struct BridgeStats {
    volatile LONG64 rxFrames;  // adapter -> net or bus
    volatile LONG64 txFrames;  // bus -> adapter
    volatile LONG64 lostRx;    // full queue / bus, lines cut by a failing port
    volatile LONG64 lostTx;    // port down, write failed, never confirmed
    volatile LONG64 malformed;
    volatile LONG64 refused;  // BEL answers
    volatile LONG64 reconnects;
    volatile LONG64 overflows;  // the device queue of our handle overflowed
    volatile LONG64 deviceReopens;  // the device went away and was opened again
};

// Commands written and not yet answered, oldest first, so that a BEL can
// name the command it refuses.
#define PENDING_MAX 256u

struct PendingCommands {
    CRITICAL_SECTION lock;
    char text[PENDING_MAX][SLCAN_COMMAND_MAX];
    DWORD first;
    DWORD count;
    volatile LONG64 written;      // sequence number of the last command written
    volatile LONG64 answered;     // commands answered (or dropped) so far
    volatile LONG64 lastRefused;  // sequence number of the last command refused
};

#define READ_BUFFER_SIZE 512u
// A read of READ_BUFFER_SIZE bytes holds at most this many frame lines ("r123" + L + CR).
#define READ_BATCH_MAX (READ_BUFFER_SIZE / 6u + 1u)

struct Bridge {
    const SlcanOptions *options;
    SlcanPort port;
    CanSink sink;
    SRWLOCK sinkLock;  // shared by the senders, exclusive while the device thread reopens it
    HANDLE hStop;  // the tool's stop event: Ctrl+C, console close, a fatal error
    HANDLE hDeviceThread;
    char iface[17];  // the target's name in log lines
    char portName[32];
    SlcanAssembler assembler;
    SlcanClock clock;
    PendingCommands pending;
    BridgeStats stats;
    CRITICAL_SECTION printLock;
    bool setupRefused;    // the adapter refused its bit rate or open
    bool flushing;        // answers to the reset CRs are not counted
    DWORD flushAnswers;   // ... but seen, so that none comes late
    bool txRefusalShown;  // one message for refused frames per connection
    DWORD portError;      // why the port failed
    char readBuffer[READ_BUFFER_SIZE];
    RxMsg batch[READ_BATCH_MAX];
    DWORD batchCount;
};

// canslcan.cpp
void BridgeMessage(Bridge *b, const char *format, ...);
void BridgePrintFrame(Bridge *b, const RxMsg *msg, bool adapterStamp, uint64_t adapterMs);
uint64_t BridgeHostMs(const Bridge *b);

// canslcan_adapter.cpp: the serial side, run by the main thread.
enum class PumpResult { Idle, Stopped, PortFailed };

void PendingInit(PendingCommands *p);
void PendingDelete(PendingCommands *p);
// Writes a command (text without CR) and returns its sequence number, or 0
// when the write failed.
LONG64 AdapterWriteCommand(Bridge *b, const char *command);
// Writes transmit commands (each with its CR) in one piece.
BOOL AdapterWriteFrames(Bridge *b, const char *commands, const DWORD *lengths, DWORD n);
PumpResult AdapterPump(Bridge *b, DWORD waitMs);
// Resets the adapter and opens its channel; FALSE when the port failed or
// the adapter refused (b->setupRefused).
BOOL AdapterSetUp(Bridge *b);
// Closes the channel (C) and waits briefly for its answer.
void AdapterShutDown(Bridge *b);
// The port failed: counts what it took with it and forgets the answers.
void AdapterPortLost(Bridge *b);

// canslcan_device.cpp: frames other handles write on the bus go to the
// adapter (a thread of its own).
BOOL DeviceStart(Bridge *b);
void DeviceStop(Bridge *b);
