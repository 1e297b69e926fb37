#include "rcd_options.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "tool_number.h"

namespace {

const char kUsage[] =
    "Usage: ribexcand [options]\n"
    "\n"
    "A socketcand server for ribex nets: tools that speak the socketcand protocol\n"
    "(python-can's socketcand interface, Kayak, SavvyCAN ...) connect over TCP, open a\n"
    "net with '< open NET >' and, after '< rawmode >', receive every frame of the net\n"
    "as '< frame ID SECONDS.MICROSECONDS DATA >'. Each connection opens its net\n"
    "through the ribex server (started on demand). '< send ID LEN DATA >' and\n"
    "'< sendrtr ID LEN >' put a frame on a net that has a device (\\\\.\\NET); a net\n"
    "without a device refuses them with an error line; a connection does not get\n"
    "its own frames back. A client that reads too slowly loses frames (counted,\n"
    "and told in an '< error ... >' line); it never slows the other clients or\n"
    "the server.\n"
    "\n"
    "The protocol has no authentication: anyone who can reach the port can read\n"
    "every frame of every net and send frames to every device. The default address\n"
    "127.0.0.1 keeps it on this machine.\n"
    "\n"
    "Options:\n"
    "  -l ADDRESS    listen on ADDRESS (IPv4, default 127.0.0.1; 0.0.0.0 = every\n"
    "                interface, which exposes the nets to the network)\n"
    "  -p PORT       TCP port (default 29536; 0 = any free port, printed at start)\n"
    "  -c COUNT      at most COUNT connections at once (1..64, default 8); more are\n"
    "                told so and closed\n"
    "  -e            time stamps as seconds since 1970 (default: the net's clock,\n"
    "                as candump prints it)\n"
    "  -T MS         stop after MS milliseconds (default: until Ctrl+C)\n"
    "  -q QUEUE      server queue name (default ribexServerQueue)\n"
    "  -h            this text\n"
    "  -V            version\n"
    "\n"
    "Each connection's statistics are printed when it ends; Ctrl+C closes every\n"
    "connection and net.\n"
    "\n"
    "Examples:\n"
    "  ribexcand                         serve 127.0.0.1:29536 until Ctrl+C\n"
    "  ribexcand -p 0 -c 2               any free port, at most two clients\n"
    "  ribexcand -l 0.0.0.0 -e           every interface, wall-clock time stamps\n"
    "  python3 -c \"import can; b = can.Bus(interface='socketcand', host='127.0.0.1',\n"
    "      port=29536, channel='CAN1'); print(b.recv(5))\"\n";

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

BOOL Wrong(const char **what, const wchar_t **arg, const char *text, const wchar_t *value) {
    *what = text;
    *arg = value;
    return FALSE;
}

}  // namespace

const char *RcdUsage() {
    return kUsage;
}

BOOL RcdParseOptions(int argc, wchar_t **argv, RcdOptions *o, const char **what,
                     const wchar_t **arg) {
    memset(o, 0, sizeof(*o));
    strcpy(o->address, "127.0.0.1");
    o->port = RCD_DEFAULT_PORT;
    o->maxConnections = RCD_DEFAULT_MAX_CONNECTIONS;
    for (int i = 1; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0) {
            o->help = TRUE;
            continue;
        }
        if (wcscmp(a, L"-V") == 0 || wcscmp(a, L"--version") == 0) {
            o->version = TRUE;
            continue;
        }
        if (wcscmp(a, L"-e") == 0) {
            o->wallClock = TRUE;
            continue;
        }
        if (a[0] != L'-' || a[1] == 0 || a[2] != 0 || wcschr(L"lpcTq", a[1]) == NULL)
            return Wrong(what, arg, "unknown argument", a);
        if (i + 1 >= argc) return Wrong(what, arg, "option needs a value", a);
        const wchar_t *v = argv[++i];
        switch (a[1]) {
            case L'l':
                if (!ParseAddress(v, o->address, sizeof(o->address)))
                    return Wrong(what, arg, "-l needs a dotted IPv4 address", v);
                break;
            case L'p':
                if (!ParseArgDword(v, 10, 65535, &o->port))
                    return Wrong(what, arg, "-p needs a port 0..65535", v);
                break;
            case L'c':
                if (!ParseArgDword(v, 10, RCD_MAX_CONNECTIONS, &o->maxConnections) ||
                    o->maxConnections == 0)
                    return Wrong(what, arg, "-c needs a connection count 1..64", v);
                break;
            case L'T':
                if (!ParseArgDword(v, 10, 0xFFFFFFFF, &o->runTimeMs) || o->runTimeMs == 0)
                    return Wrong(what, arg, "-T needs milliseconds above 0", v);
                break;
            case L'q':
                if (*v == 0) return Wrong(what, arg, "-q needs a queue name", v);
                o->client.serverQueueName = v;
                break;
        }
    }
    return TRUE;
}
