#include "rcd_options.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "tool_number.h"

namespace {

const wchar_t kSynopsis[] =
    L"Usage: ribexcand [options]\n"
    L"\n"
    L"A socketcand server for ribex nets: tools that speak the socketcand protocol\n"
    L"(python-can's socketcand interface, Kayak, SavvyCAN ...) connect over TCP, open a\n"
    L"net with '< open NET >' and, after '< rawmode >', receive every frame of the net\n"
    L"as '< frame ID SECONDS.MICROSECONDS DATA >'. Each connection opens its net\n"
    L"through the ribex server (started on demand). '< send ID LEN DATA >' and\n"
    L"'< sendrtr ID LEN >' put a frame on a net that has a device (\\\\.\\NET); a net\n"
    L"without a device refuses them with an error line; a connection does not get\n"
    L"its own frames back. A client that reads too slowly loses frames (counted,\n"
    L"and told in an '< error ... >' line); it never slows the other clients or\n"
    L"the server.\n"
    L"\n"
    L"The protocol has no authentication: anyone who can reach the port can read\n"
    L"every frame of every net and send frames to every device. The default address\n"
    L"127.0.0.1 keeps it on this machine.\n"
    L"\n"
    L"Options:\n";

const wchar_t kExamples[] =
    L"\n"
    L"Each connection's statistics are printed when it ends; Ctrl+C closes every\n"
    L"connection and net.\n"
    L"\n"
    L"Examples:\n"
    L"  ribexcand                         serve 127.0.0.1:29536 until Ctrl+C\n"
    L"  ribexcand -p 0 -c 2               any free port, at most two clients\n"
    L"  ribexcand -l 0.0.0.0 -e           every interface, wall-clock time stamps\n"
    L"  python3 -c \"import can; b = can.Bus(interface='socketcand', host='127.0.0.1',\n"
    L"      port=29536, channel='CAN1'); print(b.recv(5))\"\n";

// Dotted IPv4 only: four numbers 0..255.
BOOL ParseAddress(const wchar_t *text, char *out, size_t size) {
    unsigned parts[4];
    wchar_t extra;
    if (swscanf(text, L"%u.%u.%u.%u%lc", &parts[0], &parts[1], &parts[2], &parts[3], &extra) != 4)
        return FALSE;
    for (unsigned p : parts)
        if (p > 255) return FALSE;
    snprintf(out, size, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    return TRUE;
}

bool TakeAddress(const wchar_t *v, RcdOptions *o, std::wstring *error) {
    if (!ParseAddress(v, o->address, sizeof(o->address)))
        return ToolBad(error, L"not a dotted IPv4 address", v);
    return true;
}

}  // namespace

ToolSpec RcdToolSpec(RcdOptions *o) {
    return {"ribexcand", kSynopsis, kExamples, 16, false,
        {
            {L'l', nullptr, L"ADDRESS",
             L"listen on ADDRESS (IPv4, default 127.0.0.1; 0.0.0.0 = every\n"
             L"interface, which exposes the nets to the network)",
             [o](const wchar_t *v, std::wstring *e) { return TakeAddress(v, o, e); }},
            ToolNumber(L'p', nullptr, L"PORT", L"TCP port (default 29536; 0 = any free port, printed at start)",
                       L"port (0..65535)", 0, 65535, &o->port),
            ToolNumber(L'c', nullptr, L"COUNT",
                       L"at most COUNT connections at once (1..64, default 8); more are\n"
                       L"told so and closed",
                       L"connection count (1..64)", 1, RCD_MAX_CONNECTIONS, &o->maxConnections),
            ToolFlag(L'e', nullptr,
                     L"time stamps as seconds since 1970 (default: the net's clock,\n"
                     L"as candump prints it)",
                     &o->wallClock),
            ToolRunTimeOption(L"stop after MS milliseconds (default: until Ctrl+C)", &o->runTimeMs),
            ToolQueueOption([o](const wchar_t *name) { o->client.serverQueueName = name; }),
        }};
}

void RcdDefaults(RcdOptions *o) {
    memset(o, 0, sizeof(*o));
    strcpy(o->address, "127.0.0.1");
    o->port = RCD_DEFAULT_PORT;
    o->maxConnections = RCD_DEFAULT_MAX_CONNECTIONS;
}
