// A scripted ribex client for the registry tests: runs the commands given
// on its command line in order, through our client library, and prints one
// line per command for the test to check.
//
//   queue NAME        server queue for the following opens
//   id HIGH:LOW       unique id (hex) for the following opens
//   open NET          "open <error>"; the new net becomes the current one
//   use INDEX         make the INDEX-th opened net current
//   enable ID         "enable <error>"           (hex identifier)
//   disable ID        "disable <error>"
//   list              "list <id> <id> ..." then "list end <error>" (259 ends)
//   disableall        "disableall <error>"
//   read N MS         reads until N frames are accounted for (read + lost)
//                     or MS pass: "read frames=F lost=L first=S last=E
//                     errors=X contiguous=0|1"; S and E are the sequence
//                     numbers the frames carry in their first 4 data bytes
//   readids N MS      reads until N frames came or MS pass: "ids <id> ..."
//   header            "header currSeqNo=C head=H"
//   signal NAME       sets the named event; wait NAME waits for it (30 s)
//   close             "close <error>"
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "ribex_client.h"

namespace {

HANDLE NamedEvent(const wchar_t *name) { return CreateEventW(NULL, TRUE, FALSE, name); }

DWORD Hex(const wchar_t *s) { return (DWORD)wcstoul(s, NULL, 16); }

void Report(const char *what, BOOL ok) {
    printf("%s %lu\n", what, ok ? 0ul : GetLastError());
    fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    RibexClientOptions options = {};
    RibexClientNet *nets[32] = {};
    DWORD noNets = 0;
    RibexClientNet *current = NULL;

    for (int i = 1; i < argc; ++i) {
        const wchar_t *cmd = argv[i];
        const wchar_t *arg = i + 1 < argc ? argv[i + 1] : L"";
        if (wcscmp(cmd, L"queue") == 0) {
            options.serverQueueName = arg;
            ++i;
        } else if (wcscmp(cmd, L"id") == 0) {
            const wchar_t *colon = wcschr(arg, L':');
            if (colon == NULL) return 2;
            options.haveUniqueId = TRUE;
            options.uniqueIdHigh = Hex(arg);
            options.uniqueIdLow = Hex(colon + 1);
            ++i;
        } else if (wcscmp(cmd, L"open") == 0) {
            RibexClientNet *pNet = NULL;
            BOOL ok = RibexOpenNet(arg, &options, &pNet);
            Report("open", ok);
            if (ok && noNets < 32) current = nets[noNets++] = pNet;
            ++i;
        } else if (wcscmp(cmd, L"use") == 0) {
            DWORD index = (DWORD)wcstoul(arg, NULL, 10);
            if (index >= noNets) return 2;
            current = nets[index];
            ++i;
        } else if (wcscmp(cmd, L"enable") == 0) {
            Report("enable", RibexEnableRemFrame(current, Hex(arg), 0));
            ++i;
        } else if (wcscmp(cmd, L"disable") == 0) {
            Report("disable", RibexDisableRemFrame(current, Hex(arg)));
            ++i;
        } else if (wcscmp(cmd, L"list") == 0) {
            printf("list");
            DWORD index = 0, id = 0;
            while (RibexEnumRemFrame(current, index, &id)) {
                printf(" %lx", id);
                ++index;
            }
            printf("\nlist end %lu\n", GetLastError());
            fflush(stdout);
        } else if (wcscmp(cmd, L"disableall") == 0) {
            Report("disableall", RibexDisableAllRemFrames(current));
        } else if (wcscmp(cmd, L"read") == 0) {
            DWORD want = (DWORD)wcstoul(arg, NULL, 10);
            DWORD timeoutMs = i + 2 < argc ? (DWORD)wcstoul(argv[i + 2], NULL, 10) : 5000;
            i += 2;
            DWORD frames = 0, lost = 0, errors = 0, first = 0, last = 0;
            BOOL contiguous = TRUE, any = FALSE;
            DWORD start = GetTickCount();
            RibexFrame batch[64];
            while (frames + lost + errors < want && GetTickCount() - start < timeoutMs) {
                DWORD n = 0, l = 0;
                if (!RibexReadFrames(current, batch, 64, &n, &l, 200)) {
                    Report("read failed", FALSE);
                    break;
                }
                lost += l;
                for (DWORD k = 0; k < n; ++k) {
                    if (batch[k].errorCode != 0) {
                        ++errors;
                        continue;
                    }
                    DWORD seq;
                    memcpy(&seq, batch[k].msg.can.data, 4);
                    if (!any) first = seq;
                    else if (seq != last + 1) contiguous = FALSE;
                    last = seq;
                    any = TRUE;
                    ++frames;
                }
            }
            printf("read frames=%lu lost=%lu first=%lu last=%lu errors=%lu contiguous=%d\n", frames, lost, first,
                   last, errors, contiguous ? 1 : 0);
            fflush(stdout);
        } else if (wcscmp(cmd, L"readids") == 0) {
            DWORD want = (DWORD)wcstoul(arg, NULL, 10);
            DWORD timeoutMs = i + 2 < argc ? (DWORD)wcstoul(argv[i + 2], NULL, 10) : 5000;
            i += 2;
            printf("ids");
            DWORD got = 0, start = GetTickCount();
            RibexFrame frame;
            while (got < want && GetTickCount() - start < timeoutMs) {
                DWORD n = 0, l = 0;
                if (!RibexReadFrames(current, &frame, 1, &n, &l, 100)) break;
                if (n == 1) {
                    printf(frame.errorCode ? " error%lu" : " %lx",
                           frame.errorCode ? frame.errorCode : (unsigned long)frame.msg.can.id);
                    ++got;
                }
            }
            printf("\n");
            fflush(stdout);
        } else if (wcscmp(cmd, L"header") == 0) {
            const RxBufferLayout *b = RibexGetRxBuffer(current);
            if (b == NULL) return 3;
            printf("header currSeqNo=%u head=%u\n", b->header.currSeqNo, b->header.head);
            fflush(stdout);
        } else if (wcscmp(cmd, L"signal") == 0) {
            HANDLE h = NamedEvent(arg);
            SetEvent(h);
            CloseHandle(h);
            ++i;
        } else if (wcscmp(cmd, L"wait") == 0) {
            HANDLE h = NamedEvent(arg);
            DWORD r = WaitForSingleObject(h, 30000);
            CloseHandle(h);
            if (r != WAIT_OBJECT_0) {
                printf("wait timed out\n");
                return 4;
            }
            ++i;
        } else if (wcscmp(cmd, L"close") == 0) {
            Report("close", RibexCloseNet(current));
            for (DWORD k = 0; k < noNets; ++k)
                if (nets[k] == current) nets[k] = NULL;
            current = NULL;
        } else {
            fprintf(stderr, "registry_client: unknown command %ls\n", cmd);
            return 2;
        }
    }
    return 0;
}
