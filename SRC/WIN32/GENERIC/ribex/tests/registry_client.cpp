// A scripted ribex client for the registry tests: runs the commands on its
// command line in order, through our client library, one output line each.
//
//   queue NAME / id HIGH:LOW   server queue and unique id (hex) for later opens
//   timeout MS                 how long later requests wait for their confirm
//   open NET                   "open <error>"; the new net becomes current
//   use INDEX                  makes the INDEX-th opened net current
//   enable ID / disable ID     "enable <error>" / "disable <error>" (hex id)
//   list                       "list <id> ..." then "list end <error>"
//   disableall / close         "disableall <error>" / "close <error>"
//   read N MS                  reads until N frames are read or lost, or MS
//                              pass: "read F+L exact|gap"; exact means every
//                              frame carries the sequence number (first 4
//                              data bytes, the peer counts from 0) equal to
//                              the frames read and lost before it
//   readids N MS               "ids <id> ..." of up to N frames
//   errors N MS                reads until N error entries came, or MS pass:
//                              "errors <code> ..." (frames are skipped)
//   header                     "header currSeqNo=C head=H"
//   signal NAME / wait NAME    sets / waits for (30 s) a named event
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "ribex_client.h"

namespace {

DWORD Num(const wchar_t *s, int base = 16) { return (DWORD)wcstoul(s, NULL, base); }

void Report(const char *what, BOOL ok) { printf("%s %lu\n", what, ok ? 0ul : GetLastError()); }

}  // namespace

int wmain(int argc, wchar_t **argv) {
    RibexClientOptions options = {};
    RibexClientNet *nets[32] = {};
    DWORD noNets = 0;
    RibexClientNet *current = NULL;
    setvbuf(stdout, NULL, _IONBF, 0);

    for (int i = 1; i < argc; ++i) {
        const wchar_t *cmd = argv[i];
        const wchar_t *arg = i + 1 < argc ? argv[i + 1] : L"";
        const wchar_t *arg2 = i + 2 < argc ? argv[i + 2] : L"5000";
        int args = 1;
        if (wcscmp(cmd, L"queue") == 0) {
            options.serverQueueName = arg;
        } else if (wcscmp(cmd, L"id") == 0) {
            options.haveUniqueId = TRUE;
            options.uniqueIdHigh = Num(arg);
            options.uniqueIdLow = wcschr(arg, L':') ? Num(wcschr(arg, L':') + 1) : 0;
        } else if (wcscmp(cmd, L"timeout") == 0) {
            options.confirmTimeoutMs = Num(arg, 10);
        } else if (wcscmp(cmd, L"open") == 0) {
            RibexClientNet *pNet = NULL;
            BOOL ok = RibexOpenNet(arg, &options, &pNet);
            Report("open", ok);
            if (ok && noNets < 32) current = nets[noNets++] = pNet;
        } else if (wcscmp(cmd, L"use") == 0) {
            if (Num(arg, 10) >= noNets) return 2;
            current = nets[Num(arg, 10)];
        } else if (wcscmp(cmd, L"enable") == 0) {
            Report("enable", RibexEnableRemFrame(current, Num(arg), 0));
        } else if (wcscmp(cmd, L"disable") == 0) {
            Report("disable", RibexDisableRemFrame(current, Num(arg)));
        } else if (wcscmp(cmd, L"list") == 0) {
            printf("list");
            DWORD index = 0, id = 0;
            while (RibexEnumRemFrame(current, index++, &id)) printf(" %lx", id);
            printf("\nlist end %lu\n", GetLastError());
            args = 0;
        } else if (wcscmp(cmd, L"disableall") == 0) {
            Report("disableall", RibexDisableAllRemFrames(current));
            args = 0;
        } else if (wcscmp(cmd, L"read") == 0 || wcscmp(cmd, L"readids") == 0) {
            bool ids = cmd[4] == L'i';
            DWORD want = Num(arg, 10), timeoutMs = Num(arg2, 10), frames = 0, lost = 0;
            bool exact = true;
            if (ids) printf("ids");
            RibexFrame batch[64];
            for (DWORD start = GetTickCount();
                 frames + lost < want && GetTickCount() - start < timeoutMs;) {
                DWORD n = 0, l = 0;
                if (!RibexReadFrames(current, batch, ids ? 1 : 64, &n, &l, 100)) {
                    Report("read failed", FALSE);
                    break;
                }
                lost += ids ? 0 : l;
                for (DWORD k = 0; k < n; ++k, ++frames) {
                    DWORD seq;
                    memcpy(&seq, batch[k].msg.can.data, 4);
                    if (ids) printf(" %lx", (unsigned long)batch[k].msg.can.id);
                    if (batch[k].errorCode != 0 || seq != frames + lost) exact = false;
                }
            }
            if (ids)
                printf("\n");
            else
                printf("read %lu+%lu %s\n", frames, lost, exact ? "exact" : "gap");
            args = 2;
        } else if (wcscmp(cmd, L"errors") == 0) {
            DWORD want = Num(arg, 10), timeoutMs = Num(arg2, 10), seen = 0;
            printf("errors");
            RibexFrame frame;
            for (DWORD start = GetTickCount(); seen < want && GetTickCount() - start < timeoutMs;) {
                DWORD n = 0, l = 0;
                if (!RibexReadFrames(current, &frame, 1, &n, &l, 100)) {
                    Report(" read failed", FALSE);
                    break;
                }
                if (n == 1 && frame.errorCode != 0) {
                    printf(" %lu", (unsigned long)frame.errorCode);
                    ++seen;
                }
            }
            printf("\n");
            args = 2;
        } else if (wcscmp(cmd, L"header") == 0) {
            const RxBufferLayout *b = RibexGetRxBuffer(current);
            if (b == NULL) return 3;
            printf("header currSeqNo=%u head=%u\n", b->header.currSeqNo, b->header.head);
            args = 0;
        } else if (wcscmp(cmd, L"signal") == 0 || wcscmp(cmd, L"wait") == 0) {
            HANDLE h = CreateEventW(NULL, TRUE, FALSE, arg);
            DWORD r = cmd[0] == L's' ? (SetEvent(h), WAIT_OBJECT_0) : WaitForSingleObject(h, 30000);
            CloseHandle(h);
            if (r != WAIT_OBJECT_0) return 4;
        } else if (wcscmp(cmd, L"close") == 0) {
            Report("close", RibexCloseNet(current));
            for (DWORD k = 0; k < noNets; ++k)
                if (nets[k] == current) nets[k] = NULL;
            current = NULL;
            args = 0;
        } else {
            fprintf(stderr, "registry_client: unknown command %ls\n", cmd);
            return 2;
        }
        i += args;
    }
    return 0;
}
