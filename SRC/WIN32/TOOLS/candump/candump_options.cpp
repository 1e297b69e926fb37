#include "candump_options.h"

#include <wchar.h>

namespace {

const DWORD kMaxDatabases = 16;

const wchar_t kSynopsis[] =
    L"Usage: candump [options] NET [NET...]\n"
    L"       candump [options] enable NET ID [LENGTH]\n"
    L"       candump [options] disable NET ID\n"
    L"       candump [options] list NET\n"
    L"       candump [options] disable-all NET\n"
    L"\n"
    L"Opens each NET through the ribex server (started on demand) and prints every\n"
    L"frame as a candump log line: (seconds.microseconds) NET ID#DATA, ID#R for a\n"
    L"remote frame, 3 hex digits for a standard and 8 for an extended identifier,\n"
    L"and an error entry of the receive buffer as a Linux CAN error frame\n"
    L"NET 20000084#000100000000045D: error flag and class in the identifier, the\n"
    L"Windows error code in data[2..3] (high) and data[6..7] (low); stderr says in\n"
    L"words what it was. Error entries carry the time at which candump read them.\n"
    L"\n"
    L"Options:\n";

const wchar_t kExamples[] =
    L"\n"
    L"Remote-frame replies live on a net while it is open: enable/disable act on\n"
    L"the net of the given client, list shows every reply of the net, disable-all\n"
    L"drops every reply of the process part HIGH on every net. Use the same -u HIGH\n"
    L"for enable and disable from separate runs.\n"
    L"\n"
    L"Examples:\n"
    L"  candump CAN1                      print frames of CAN1 until Ctrl+C\n"
    L"  candump -n 20 -t d CAN1 VCAN1     20 frames of two nets, delta time stamps\n"
    L"  candump -f 100:700 -s -b 250000 CAN1   ids 0x100-0x1FF, statistics at 250 kbit/s\n"
    L"  candump -l can1.log -T 5000 CAN1  five seconds into can1.log as well\n"
    L"  candump -l bus.asc -L asc CAN1 VCAN1   ASC log, channel 1 CAN1, channel 2 VCAN1\n"
    L"  candump -l bus.blf -L blf CAN1 VCAN1   the same as BLF\n"
    L"  candump -d car.dbc CAN1           (..) CAN1 0CF00400#FF7D7D2C0BFFFFFF :: EEC1(...)\n"
    L"  candump -d CAN1=body.dbc -d VCAN1=engine.dbc CAN1 VCAN1   a database per net\n"
    L"  candump -j -d car.dbc -n 100 CAN1 > can1.jsonl   100 frames as JSON Lines\n"
    L"  candump -u cafe:1 enable CAN1 123     answer remote frames for 0x123 on CAN1\n"
    L"  candump -u cafe:2 disable CAN1 123\n"
    L"  candump list CAN1\n"
    L"  candump -u cafe:0 disable-all CAN1\n";

bool TakeTimeStamps(const wchar_t *v, DumpOptions *o, std::wstring *error) {
    if (wcscmp(v, L"a") != 0 && wcscmp(v, L"d") != 0)
        return ToolBad(error, L"time stamps must be a or d", v);
    o->deltaTime = wcscmp(v, L"d") == 0;
    return true;
}

bool TakeLogFormat(const wchar_t *v, DumpOptions *o, std::wstring *error) {
    if (wcscmp(v, L"log") == 0)
        o->logFormat = LogFormat::Candump;
    else if (wcscmp(v, L"asc") == 0)
        o->logFormat = LogFormat::Asc;
    else if (wcscmp(v, L"blf") == 0)
        o->logFormat = LogFormat::Blf;
    else
        return ToolBad(error, L"log format must be log, asc or blf", v);
    o->logFormatGiven = true;
    return true;
}

bool TakeDatabase(const wchar_t *v, DumpOptions *o, std::wstring *error) {
    if (o->databases.size() == kMaxDatabases) return ToolBad(error, L"too many DBC files", v);
    o->databases.push_back(v);
    return true;
}

}  // namespace

ToolSpec DumpSpec(DumpOptions *o) {
    return {"candump", kSynopsis, kExamples, 16, false,
        {
            ToolCountOption(L"stop after COUNT entries (frames and error entries)", &o->maxFrames),
            ToolRunTimeOption(nullptr, &o->runTimeMs),
            {L't', nullptr, L"a|d", L"time stamps absolute (default) or delta to the previous frame",
             [o](const wchar_t *v, std::wstring *e) { return TakeTimeStamps(v, o, e); }},
            ToolString(L'l', nullptr, L"FILE", L"also write the log lines to FILE", &o->logPath),
            {L'L', nullptr, L"log|asc|blf",
             L"format of FILE: candump log lines (default), Vector ASC or\n"
             L"Vector BLF (zlib, written at least every second), one channel\n"
             L"per NET in the order given (all read by python-can)",
             [o](const wchar_t *v, std::wstring *e) { return TakeLogFormat(v, o, e); }},
            CanIdFilterOption(L"only frames with (id & MASK) == (ID & MASK); repeatable, a frame\n"
                              L"passing any filter is shown (hex values; bit 31 marks remote)",
                              &o->filters),
            {L'd', nullptr, L"[NET=]FILE.dbc",
             L"decode frames with the DBC file: after each frame line\n"
             L"' :: MSG(Signal: value unit, ...)', value-table text in quotes,\n"
             L"unknown identifiers raw; repeatable, NET= for one net only (a\n"
             L"file without NET= serves every net that has none of its own)",
             [o](const wchar_t *v, std::wstring *e) { return TakeDatabase(v, o, e); }},
            ToolFlag(L'j', nullptr,
                     L"JSON Lines instead of text lines, one object per entry (t, net,\n"
                     L"id, ext, rtr, dlc, data, msg, signals, labels, error; see\n"
                     L"docs/json.md), decoded with -d; t is always the net's clock",
                     &o->json),
            ToolFlag(L's', nullptr,
                     L"statistics on exit: frames, frames/s, frames lost in the ring,\n"
                     L"bus load, error entries, driver overflows and CPU time (on\n"
                     L"stderr with -j)",
                     &o->statistics),
            ToolBitRateOption(L"bit rate for the bus load estimate (default 500000)", &o->bitRate),
            ToolQueueOption([o](const wchar_t *name) { o->client.serverQueueName = name; }),
            ToolUniqueIdOption(L"unique id (hex); remote-frame replies belong to HIGH",
                               [o](DWORD high, DWORD low) {
                                   o->client.uniqueIdHigh = high;
                                   o->client.uniqueIdLow = low;
                                   o->client.haveUniqueId = TRUE;
                               }),
        }};
}

bool DumpIsManagement(const wchar_t *word) {
    return wcscmp(word, L"enable") == 0 || wcscmp(word, L"disable") == 0 ||
           wcscmp(word, L"list") == 0 || wcscmp(word, L"disable-all") == 0;
}

bool DumpCheckOptions(const DumpOptions *o, std::wstring *error) {
    if (o->logFormatGiven && o->logPath.empty()) return ToolBad(error, L"-L needs -l FILE", L"-L");
    return true;
}

bool DumpTakeNets(const std::vector<const wchar_t *> &operands, DumpOptions *o,
                  std::wstring *error) {
    if (operands.empty()) {
        *error = L"no net given";
        return false;
    }
    for (const wchar_t *net : operands) {
        if (o->nets.size() == kDumpMaxNets) return ToolBad(error, L"too many nets", net);
        if (!ToolCheckNetName(net, error)) return false;
        o->nets.push_back(net);
    }
    return true;
}
