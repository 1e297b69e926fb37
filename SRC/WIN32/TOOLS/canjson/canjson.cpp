#include "canjson.h"

#include <math.h>

#include <nlohmann/json.hpp>

#include "can_error_frame.h"
#include "can_frame_text.h"

namespace {

// Keys in the order the schema lists them, not sorted.
using Json = nlohmann::ordered_json;

const unsigned kMaxDlc = 8;

std::string HexBytes(const uint8_t *data, unsigned count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 2);
    for (unsigned i = 0; i < count; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

Json Number(double value) {
    // JSON has no NaN or infinity; a float signal may carry either.
    return isfinite(value) ? Json(value) : Json(nullptr);
}

void PutFrameFields(const CanJsonFrame *f, Json *obj) {
    RxMsg error = {};
    uint32_t id = f->id;
    bool ext = f->ext, rtr = f->rtr;
    unsigned dlc = f->dlc;
    const uint8_t *data = f->data;
    if (f->errorCode != 0) {
        CanErrorFrameEncode(f->errorCode, &error);
        id = error.can.id;
        ext = true;
        rtr = false;
        dlc = error.length;
        data = error.can.data;
    }
    (*obj)["id"] = id;
    (*obj)["ext"] = ext;
    (*obj)["rtr"] = rtr;
    (*obj)["dlc"] = dlc;
    (*obj)["data"] = rtr || data == nullptr ? std::string() : HexBytes(data, dlc);
}

void PutDecoded(const CanDbMessage *decoded, const CanDbValue *values, Json *obj) {
    Json signals = Json::object(), labels = Json::object();
    if (decoded != nullptr && values != nullptr) {
        for (size_t i = 0; i < decoded->signals.size(); ++i) {
            if (!values[i].present) continue;
            const std::string &name = decoded->signals[i].name;
            signals[name] = Number(values[i].physical);
            if (values[i].label != nullptr) labels[name] = values[i].label;
        }
    }
    (*obj)["msg"] = decoded != nullptr ? Json(decoded->name) : Json(nullptr);
    (*obj)["signals"] = std::move(signals);
    (*obj)["labels"] = std::move(labels);
}

}  // namespace

void CanJsonFrameFromRxMsg(const RxMsg *msg, uint32_t errorCode, unsigned long long stamp,
                           const char *net, CanJsonFrame *frame) {
    *frame = CanJsonFrame{};
    // One rounding: the nearest double to the exact value, printed shortest.
    frame->t = (double)stamp / 1e7;
    frame->net = net;
    frame->errorCode = errorCode;
    if (errorCode != 0 || msg == nullptr) return;
    frame->id = msg->can.id & ~RX_REMOTE_FRAME_FLAG;
    frame->ext = CanIdIsExtended(frame->id) != 0;
    frame->rtr = (msg->can.id & RX_REMOTE_FRAME_FLAG) != 0;
    frame->dlc = msg->length > kMaxDlc ? kMaxDlc : msg->length;
    frame->data = msg->can.data;
}

BOOL CanJsonFormatLine(const CanJsonFrame *frame, const CanDbMessage *decoded, const CanDbValue *values,
                       std::string *line) {
    if (frame == nullptr || line == nullptr || (frame->errorCode == 0 && frame->dlc > kMaxDlc)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Json obj = Json::object();
    obj["t"] = frame->t;
    obj["net"] = frame->net != nullptr ? frame->net : "";
    PutFrameFields(frame, &obj);
    if (frame->errorCode != 0) {
        PutDecoded(nullptr, nullptr, &obj);
        obj["error"] = Json{{"code", frame->errorCode}, {"text", CanErrorCodeText(frame->errorCode)}};
    } else if (frame->errorFrame) {
        PutDecoded(nullptr, nullptr, &obj);
        obj["error"] = Json{{"code", nullptr}, {"text", "an error frame (the log keeps no error code)"}};
    } else {
        PutDecoded(decoded, values, &obj);
        obj["error"] = nullptr;
    }
    // Names from a database in a wrong charset must not end the tool.
    *line = obj.dump(-1, ' ', false, Json::error_handler_t::replace);
    SetLastError(0);
    return TRUE;
}
