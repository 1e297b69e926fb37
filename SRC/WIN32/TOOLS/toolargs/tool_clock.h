// Times the tools report in their statistics.
#pragma once

#include <windows.h>

// The CPU time this process has used so far (user + kernel), in seconds.
// Wine reports another process's CPU time as zero: a tool says its own.
double ToolCpuSeconds(void);
