// Containing memory faults where a library touches memory its caller
// handed over (a string, a buffer, an output pointer), shared by the
// message queue and the trace library.
//
// MinGW GCC has no __try/__except, so a vectored exception handler does the
// job: when a memory fault hits a thread inside FaultGuardRun, the handler
// resumes that thread at the guard's landing point and the call is
// abandoned. Faults outside a guard go on to the usual handlers.
//
// Cost: no kernel call once installed. A guarded call adds a few stores and
// three thread-local slot accesses.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Installs the handler once per process (later calls only look). FALSE when
// it could not be installed; guarded calls then run unguarded.
BOOL FaultGuardInstall(void);

typedef void (*FaultGuardedCall)(void *context);

// Runs call(context). FALSE when a memory fault abandoned it: what it did
// up to the fault stays done, nothing it would have done after happens.
// The last error is what the call left, or after a fault what it was
// before the call.
BOOL FaultGuardRun(FaultGuardedCall call, void *context);

// memcpy that reports a fault in either buffer instead of raising it.
BOOL FaultGuardCopy(void *destination, const void *source, SIZE_T bytes);

#ifdef __cplusplus
}
#endif
