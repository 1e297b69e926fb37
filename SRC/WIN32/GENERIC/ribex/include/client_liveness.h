// Client liveness: the server notices a client whose process has gone
// without a close request, and removes it as that close would have.
//
// A client holds two objects the server also holds: its wake-up event
// (one server handle per registration) and its reply queue (one server
// handle per issued hMsgQRef). The kernel counts the handles of every
// object; a client counts as gone only when neither object has a handle
// outside the server. Main thread only.
#pragma once

#include <windows.h>

// Milliseconds between two checks.
#define CLIENT_LIVENESS_PERIOD_MS 1000u

// Remembers whose reply queue an issued reference stands for. FALSE
// (ERROR_NOT_ENOUGH_MEMORY) leaves that queue unwatched.
BOOL WatchReplyQueue(DWORD hMsgQRef, const wchar_t *netName, DWORD high, DWORD low);

// The reference was retired by a close request.
void ForgetReplyQueue(DWORD hMsgQRef);

// Milliseconds until the next check is due (0: due now).
DWORD ClientLivenessDueInMs(void);

// When due: removes every registered client whose event and reply queue no
// other process holds (registration, remote-frame replies, reply queue and
// hMsgQRef; a net left without clients stops), and releases reply queues
// held without a registration once nobody else holds them. One level-4
// line per client removed; a check that removes nobody writes nothing.
void CheckClientLiveness(void);

// What the last check found and what it cost, for benchmarks.
typedef struct ClientLivenessFigures {
    DWORD noClients;    // registered clients it looked at
    DWORD noGone;       // clients it removed
    DWORD kernelCalls;  // handle-count queries and the like it made
} ClientLivenessFigures;
void GetClientLivenessFigures(ClientLivenessFigures *pFigures);

// The number of handles open on the object behind h, in every process
// (NtQueryObject basic information). FALSE when it cannot be told.
BOOL GetObjectHandleCount(HANDLE h, DWORD *pHandleCount);
