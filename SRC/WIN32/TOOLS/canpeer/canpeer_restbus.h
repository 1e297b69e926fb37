// The rest bus: canpeer stands in for the nodes of a DBC database that are
// missing on a bench, sending every message they transmit at its cycle
// time, while lines on stdin change signal values.
//
// Every message runs on one clock: frame k of a message is due k cycle
// times after the start, so a late wake-up delays one frame and never the
// ones after it.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "canpeer_signals.h"

struct RestBusMessage {
    const CanDbMessage *msg;
    std::vector<SignalAssignment> values;  // set so far; the rest keep their start values
    RxMsg frame;                           // what goes out next
    uint64_t period;                       // 100 ns units; 0: sent at the start and when set
    uint64_t nextDue;                      // 100 ns units after the start
    bool pending;                          // sent at the next due time regardless of the period
    uint64_t sent;
};

struct RestBus {
    const CanDatabase *db;
    std::vector<RestBusMessage> messages;
};

// Every message that one of nodes sends ("all": every message with a
// transmitter), with its start values. FALSE with *error for an unknown
// node, a node that sends nothing, or a message that cannot be encoded.
// notes receive what the user should know (messages without a cycle time).
bool RestBusInit(RestBus *bus, const CanDatabase *db, const std::vector<std::string> &nodes,
                 std::vector<std::string> *notes, std::string *error);

// Appends the frames due at now (100 ns units after the start) to batch and
// moves each message on by its period. A message behind by several periods
// gets one frame a call, so that it catches up without a burst in one batch.
void RestBusTakeDue(RestBus *bus, uint64_t now, std::vector<RxMsg> *batch);

// When the next frame is due (100 ns units after the start); UINT64_MAX
// when nothing will be (only messages without a cycle time, all sent).
uint64_t RestBusNextDue(const RestBus *bus);

// Applies "set MSG.SIG VALUE": the message's next frame carries the value.
// *done says what was set (and what was clamped). FALSE with *error for a
// bad line or a message the rest bus does not send.
bool RestBusApplyLine(RestBus *bus, const std::string &line, std::string *done, std::string *error);

// What the rest bus sends through and the clock it keeps (100 ns units,
// any origin). send returns FALSE to end the run, having said why.
struct RestBusIo {
    void *context;
    bool (*send)(void *context, const RxMsg *frames, DWORD n);
    uint64_t (*now)(void *context);
};

struct RestBusRun {
    uint64_t frames;
    double seconds;
    bool stoppedByUser;  // Ctrl+C
};

// Runs until Ctrl+C or runTimeMs (0: no limit), reading set lines from
// stdin on a thread of its own (the end of stdin ends no run). FALSE when a
// send failed.
bool RestBusRunUntilStopped(RestBus *bus, DWORD runTimeMs, const RestBusIo *io, RestBusRun *run);

// Frames per message and per second, on stderr.
void RestBusPrintStatistics(const RestBus *bus, const RestBusRun *run, const char *target);
