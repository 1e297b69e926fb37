// The one stop request of a tool: Ctrl+C, Ctrl+Break and the console
// window's close all set it; the tool's loops look at it or wait on its
// event next to their own.
#pragma once

#include <windows.h>

// Installs the console handler (once; later calls do nothing). FALSE with
// the last error when the event or the handler cannot be made.
BOOL ToolStopInstall(void);

// TRUE once a stop was asked for.
BOOL ToolStopRequested(void);

// A manual-reset event, set when a stop is asked for (NULL before
// ToolStopInstall). The tool does not close it.
HANDLE ToolStopEvent(void);

// Asks for the stop as Ctrl+C would: a tool ending on its own (a run time
// that ran out, a fatal error of one thread) tells its other threads so.
void ToolStopRequest(void);

// Asks for the stop once ms milliseconds have passed (a run time); 0 sets
// nothing. FALSE with the last error when no timer can be made.
BOOL ToolStopAfter(DWORD ms);
