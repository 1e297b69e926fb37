#include "tool_stop.h"

namespace {

volatile LONG g_requested = 0;
HANDLE g_event = NULL;

BOOL WINAPI OnConsoleCtrl(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        ToolStopRequest();
        return TRUE;
    }
    return FALSE;  // log-off and shut-down: the system's default
}

VOID CALLBACK OnRunTimeOver(PVOID, BOOLEAN) { ToolStopRequest(); }

}  // namespace

BOOL ToolStopInstall(void) {
    if (g_event != NULL) return TRUE;
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (event == NULL) return FALSE;
    if (InterlockedCompareExchangePointer(&g_event, event, NULL) != NULL) {
        CloseHandle(event);  // another thread was quicker
        return TRUE;
    }
    if (g_requested) SetEvent(g_event);
    return SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

BOOL ToolStopRequested(void) { return g_requested != 0; }

HANDLE ToolStopEvent(void) { return g_event; }

void ToolStopRequest(void) {
    InterlockedExchange(&g_requested, 1);
    if (g_event != NULL) SetEvent(g_event);
}

BOOL ToolStopAfter(DWORD ms) {
    if (ms == 0) return TRUE;
    // The timer lives as long as the tool: nothing deletes it.
    HANDLE hTimer = NULL;
    return CreateTimerQueueTimer(&hTimer, NULL, OnRunTimeOver, NULL, ms, 0,
                                 WT_EXECUTEONLYONCE);
}
