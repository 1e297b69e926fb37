// Messages of a DBC database as canpeer sends them: the command line's
// "MSG.SIG=VALUE,MSG.SIG=VALUE" arguments and the rest bus's
// "set MSG.SIG VALUE" lines, made into frames.
#pragma once

#include <string>
#include <vector>

#include "candb.h"
#include "rx_buffer_layout.h"

// One physical value for one signal of a message.
struct SignalAssignment {
    const CanDbMessage *msg;
    int signal;  // index in msg->signals
    double physical;
};

// A value the signal could not hold: its minimum..maximum or its bits.
struct SignalClamp {
    std::string name;  // "MSG.SIG"
    double asked;
    double written;
};

// "MSG.SIG" and a value: a number, or a text of the signal's value table.
// FALSE with *error saying what is unknown (and what there is).
bool ParseSignalAssignment(const CanDatabase *db, const std::string &target, const std::string &value,
                           SignalAssignment *assignment, std::string *error);

// "MSG.SIG=VALUE,MSG.SIG=VALUE": every signal of one message.
bool ParseMessageAssignments(const CanDatabase *db, const std::string &text,
                             std::vector<SignalAssignment> *assignments, std::string *error);

// "set MSG.SIG VALUE", a line of the rest bus's stdin.
bool ParseSetLine(const CanDatabase *db, const std::string &line, SignalAssignment *assignment,
                  std::string *error);

// Replaces the value of the same signal in values, or adds it.
void PutAssignment(std::vector<SignalAssignment> *values, const SignalAssignment &assignment);

// The frame of msg: every signal's start value, then the values given
// (one message's). A multiplexor given selects its signals, which then
// carry their start values unless given too; a multiplexed signal its
// multiplexor does not select is an error. clamps (may be NULL) receives
// every value that was clamped.
bool EncodeMessageFrame(const CanDbMessage *msg, const std::vector<SignalAssignment> &values, RxMsg *frame,
                        std::vector<SignalClamp> *clamps, std::string *error);

// "EEC1 (18FEF100)" for messages on stderr.
std::string MessageLabel(const CanDbMessage *msg);
