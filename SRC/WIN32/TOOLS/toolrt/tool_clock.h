// The clocks of the tools: the one the server and the virtual driver stamp
// frames with, and the times the tools report in their statistics.
#pragma once

#include <windows.h>

// value * mul / div, without the overflow of value * mul (0 for a div of 0):
// ticks of one clock in the units of another, frames due after a time.
unsigned long long ToolMulDiv(unsigned long long value, unsigned long long mul, unsigned long long div);

// counter ticks of frequency per second in 100 ns units, without the
// overflow of counter * 10^7 (0 for a frequency of 0).
unsigned long long ToolTicksTo100ns(unsigned long long counter, unsigned long long frequency);

// The performance counter now, in 100 ns units: the clock of the frames'
// time stamps.
unsigned long long ToolNow100ns(void);

// Milliseconds of the performance counter, for pacing and run times.
unsigned long long ToolNowMs(void);

// The CPU time this process has used so far (user + kernel), in seconds.
// Wine reports another process's CPU time as zero: a tool says its own.
double ToolCpuSeconds(void);
