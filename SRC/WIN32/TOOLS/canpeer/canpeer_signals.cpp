// Signal values into frames (see canpeer_signals.h).
#include "canpeer_signals.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "can_frame_text.h"

namespace {

// Names to choose from, for a message that names none of them.
constexpr size_t NAMES_SHOWN = 12;

template <typename List, typename NameOf>
std::string SomeNames(const List &list, NameOf nameOf)
{
    std::string text;
    size_t n = 0;
    for (const auto &item : list) {
        if (n == NAMES_SHOWN) {
            text += ", ... (" + std::to_string(list.size()) + " in all)";
            break;
        }
        text += (n++ ? ", " : "") + nameOf(item);
    }
    return text.empty() ? "none" : text;
}

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool Fail(std::string *error, const std::string &text)
{
    *error = text;
    return false;
}

// A number, all of the text, finite.
bool ParseNumber(const std::string &text, double *value)
{
    if (text.empty()) return false;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (*end || !isfinite(v)) return false;
    *value = v;
    return true;
}

bool ParseValue(const CanDbSignal *sig, const std::string &text, double *physical)
{
    if (ParseNumber(text, physical)) return true;
    for (const CanDbValueName &name : sig->valueNames) {
        if (name.text == text) {
            *physical = CanDbRawToPhysical(sig, (uint64_t)name.raw);
            return true;
        }
    }
    return false;
}

bool IsGiven(const std::vector<SignalAssignment> &values, size_t signal)
{
    for (const SignalAssignment &a : values)
        if ((size_t)a.signal == signal) return true;
    return false;
}

double StartPhysical(const CanDbSignal *sig)
{
    return sig->startRaw * sig->factor + sig->offset;
}

// Present in the frame as it stands: its multiplexors select it.
bool IsPresent(const CanDbMessage *msg, const uint8_t *data, unsigned length, size_t signal)
{
    std::vector<CanDbValue> decoded(msg->signals.size());
    CanDbDecode(msg, data, length, decoded.data(), decoded.size());
    return decoded[signal].present;
}

}  // namespace

std::string MessageLabel(const CanDbMessage *msg)
{
    char id[16];
    snprintf(id, sizeof(id), msg->ext ? "%08lX" : "%03lX", (unsigned long)msg->id);
    return msg->name + " (" + id + ")";
}

bool ParseSignalAssignment(const CanDatabase *db, const std::string &target, const std::string &value,
                           SignalAssignment *assignment, std::string *error)
{
    size_t dot = target.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size())
        return Fail(error, "'" + target + "' is no MESSAGE.SIGNAL");
    std::string msgName = target.substr(0, dot), sigName = target.substr(dot + 1);
    const CanDbMessage *msg = CanDbFindMessageByName(db, msgName.c_str());
    if (!msg) {
        return Fail(error, "no message '" + msgName + "' in " + db->fileName + "; it has " +
                               SomeNames(db->messages, [](const CanDbMessage &m) { return m.name; }));
    }
    int signal = CanDbFindSignal(msg, sigName.c_str());
    if (signal < 0) {
        return Fail(error, "message " + msgName + " has no signal '" + sigName + "'; it has " +
                               SomeNames(msg->signals, [](const CanDbSignal &s) { return s.name; }));
    }
    const CanDbSignal *sig = &msg->signals[(size_t)signal];
    double physical = 0;
    if (!ParseValue(sig, value, &physical)) {
        std::string labels = sig->valueNames.empty()
                                 ? ""
                                 : " or one of " + SomeNames(sig->valueNames, [](const CanDbValueName &n) {
                                       return "\"" + n.text + "\"";
                                   });
        return Fail(error, "bad value '" + value + "' for " + target + ": give a number" + labels);
    }
    *assignment = SignalAssignment{msg, signal, physical};
    return true;
}

bool ParseMessageAssignments(const CanDatabase *db, const std::string &text,
                             std::vector<SignalAssignment> *assignments, std::string *error)
{
    assignments->clear();
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        std::string item = Trim(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
        begin = comma == std::string::npos ? text.size() + 1 : comma + 1;
        size_t equals = item.find('=');
        if (equals == std::string::npos)
            return Fail(error, "'" + item + "' is no MESSAGE.SIGNAL=VALUE");
        SignalAssignment a;
        if (!ParseSignalAssignment(db, Trim(item.substr(0, equals)), Trim(item.substr(equals + 1)), &a, error))
            return false;
        if (!assignments->empty() && assignments->front().msg != a.msg) {
            return Fail(error, "one message per argument: " + assignments->front().msg->name + " and " +
                                   a.msg->name + " (give each its own argument)");
        }
        PutAssignment(assignments, a);
    }
    return true;
}

bool ParseSetLine(const CanDatabase *db, const std::string &line, SignalAssignment *assignment,
                  std::string *error)
{
    char command[8], target[256], value[256], extra[2];
    int fields = sscanf(line.c_str(), "%7s %255s %255s %1s", command, target, value, extra);
    if (fields != 3 || std::string(command) != "set")
        return Fail(error, "'" + Trim(line) + "' is no line \"set MESSAGE.SIGNAL VALUE\"");
    return ParseSignalAssignment(db, target, value, assignment, error);
}

void PutAssignment(std::vector<SignalAssignment> *values, const SignalAssignment &assignment)
{
    for (SignalAssignment &a : *values) {
        if (a.msg == assignment.msg && a.signal == assignment.signal) {
            a.physical = assignment.physical;
            return;
        }
    }
    values->push_back(assignment);
}

bool EncodeMessageFrame(const CanDbMessage *msg, const std::vector<SignalAssignment> &values, RxMsg *frame,
                        std::vector<SignalClamp> *clamps, std::string *error)
{
    if (!msg->decodable)
        return Fail(error, MessageLabel(msg) + " is longer than a classic CAN frame: canpeer sends 8 bytes at most");
    if (msg->ext && msg->id <= CAN_STANDARD_ID_MAX) {
        return Fail(error, MessageLabel(msg) +
                               " is an extended identifier below 800: a frame here tells extended from standard "
                               "by the identifier alone");
    }
    RxMsg f = {};
    f.length = CanDbStartFrame(msg, f.can.data);
    f.can.id = msg->id;
    // Multiplexors first, so that the signals they select are written last.
    bool muxGiven = false;
    for (unsigned i : msg->decodeOrder) {
        for (const SignalAssignment &a : values) {
            if ((unsigned)a.signal != i) continue;
            const CanDbSignal *sig = &msg->signals[i];
            bool clamped = false;
            double written = a.physical;
            if (!CanDbEncodeSignal(sig, a.physical, f.can.data, &clamped, &written))
                return Fail(error, msg->name + "." + sig->name + " cannot be encoded: error " + std::to_string(GetLastError()));
            if (clamped && clamps) clamps->push_back(SignalClamp{msg->name + "." + sig->name, a.physical, written});
            muxGiven = muxGiven || sig->isMultiplexor;
        }
    }
    for (unsigned i : msg->decodeOrder) {
        const CanDbSignal *sig = &msg->signals[i];
        if (!sig->isMultiplexed) continue;
        bool given = IsGiven(values, i);
        bool present = IsPresent(msg, f.can.data, f.length, i);
        if (given && !present) {
            return Fail(error, msg->name + "." + sig->name + " is not in the frame: its multiplexor " +
                                   msg->signals[(size_t)sig->muxSwitch].name + " selects other signals (set it too)");
        }
        // A page the start values did not select holds no start values yet.
        if (muxGiven && present && !given) CanDbEncodeSignal(sig, StartPhysical(sig), f.can.data, nullptr, nullptr);
    }
    *frame = f;
    return true;
}
