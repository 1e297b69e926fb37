/* ribex_listen: the smallest ribex client. Opens a net (the server starts
 * on demand), prints the frames that arrive as candump log lines and
 * closes the net again.
 *
 *   ribex_listen NET [COUNT] [SECONDS]   e.g. ribex_listen CAN1 10 30
 *
 * Stops after COUNT frames (default 10) or SECONDS without one (default
 * 30). The server ribex.exe is looked for beside this program unless
 * RIBEX_SERVER names it. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "ribex_client.h"

static void PrintFrame(const char *net, const RibexFrame *f) {
    if (f->errorCode != 0) {
        printf("(%.6f) %s ERROR#%lu\n", f->msg.timeStamp / 1e7, net, (unsigned long)f->errorCode);
        return;
    }
    unsigned long id = f->msg.can.id & ~RX_REMOTE_FRAME_FLAG;
    printf("(%.6f) %s %0*lX#", f->msg.timeStamp / 1e7, net, id > 0x7FF ? 8 : 3, id);
    if (f->msg.can.id & RX_REMOTE_FRAME_FLAG) {
        printf("R\n");
        return;
    }
    for (unsigned i = 0; i < f->msg.length && i < 8; ++i) printf("%02X", f->msg.can.data[i]);
    printf("\n");
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: ribex_listen NET [COUNT] [SECONDS]\n"
                        "  e.g. ribex_listen CAN1 10 30\n");
        return 2;
    }
    unsigned long count = argc > 2 ? strtoul(argv[2], NULL, 10) : 10;
    unsigned long seconds = argc > 3 ? strtoul(argv[3], NULL, 10) : 30;
    wchar_t net[64];
    if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, net, 64) == 0 || count == 0) {
        fprintf(stderr, "ribex_listen: bad net name or count\n");
        return 2;
    }
    printf("ribexclient %s\n", RibexGetVersion(NULL, NULL, NULL));

    RibexClientOptions options;
    ZeroMemory(&options, sizeof(options));
    wchar_t server[MAX_PATH];
    DWORD serverLength = GetEnvironmentVariableW(L"RIBEX_SERVER", server, MAX_PATH);
    if (serverLength > 0 && serverLength < MAX_PATH) options.serverPath = server;
    RibexClientNet *pNet = NULL;
    RibexOpenFailure failure;
    if (!RibexOpenNetEx(net, &options, &pNet, &failure)) {
        /* What was tried and what to do, e.g. start the net's peer. */
        wchar_t why[768];
        RibexDescribeOpenFailure(net, &failure, why, sizeof(why) / sizeof(why[0]));
        fprintf(stderr, "ribex_listen: cannot open %s: %ls\n", argv[1], why);
        return 1;
    }
    printf("listening on %s\n", argv[1]);
    fflush(stdout);

    unsigned long seen = 0, lost = 0;
    while (seen < count) {
        RibexFrame frames[16];
        DWORD got = 0, lostNow = 0;
        if (!RibexReadFrames(pNet, frames, 16, &got, &lostNow, seconds * 1000)) break;
        if (got == 0) break; /* no frame for SECONDS */
        lost += lostNow;
        for (DWORD i = 0; i < got && seen < count; ++i, ++seen) PrintFrame(argv[1], &frames[i]);
        fflush(stdout);
    }
    RibexCloseNet(pNet);
    printf("%lu frames, %lu lost\n", seen, lost);
    return 0;
}
