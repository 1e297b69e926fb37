// Reaching the server: the server queue is created or opened under the
// machine-wide global lock, and the server is started when no running
// server holds its instance marker.
#pragma once

#include <windows.h>

#include "msgq.h"
#include "ribex_client.h"
#include "ribex_names.h"

#define RIBEX_SERVER_QUEUE_MSGS 64u
#define RIBEX_SERVER_QUEUE_MSG_SIZE 124u

// Returns this process's handle of the server queue, the server running
// or started; null with the last error on failure (the queue handle is
// then not kept). serverPath null: ribex.exe beside the calling program.
// On failure pFailure gets the step (server queue or server start, with
// the program tried).
MsgQHandle ConnectRibexServer(const wchar_t *queueName, const wchar_t *serverPath,
                              RibexOpenFailure *pFailure);
