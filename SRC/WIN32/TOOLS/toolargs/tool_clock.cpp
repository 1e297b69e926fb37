#include "tool_clock.h"

static unsigned long long FileTimeValue(const FILETIME *t) {
    return ((unsigned long long)t->dwHighDateTime << 32) | t->dwLowDateTime;
}

double ToolCpuSeconds(void) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return (double)(FileTimeValue(&kernel) + FileTimeValue(&user)) / 1e7;
}
