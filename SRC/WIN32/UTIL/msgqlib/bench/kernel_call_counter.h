// Counts this program's calls into the kernel's wait, release and I/O
// functions by redirecting its own import table, so that the library is
// measured exactly as it is shipped.
#pragma once

#include <windows.h>

// Redirects the imports; FALSE when the table could not be changed.
BOOL InstallKernelCallCounter();

// Calls counted since the start of the process.
LONG KernelCallCount();
