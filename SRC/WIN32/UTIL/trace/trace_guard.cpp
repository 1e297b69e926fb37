// Containing memory faults of the print path and the reading operations.
//
// MinGW GCC has no __try/__except, so a vectored exception handler does the
// job: when an access violation hits a thread that has armed a guard, the
// handler resumes that thread at the guard's landing point (the frame,
// landing address and stack saved by __builtin_setjmp) and the interrupted
// line is abandoned. Faults outside a guard go on to the usual handlers.
#include "trace_internal.h"

#if !defined(_MSC_VER)

static DWORD g_guardTlsIndex = TLS_OUT_OF_INDEXES;
static INIT_ONCE g_guardOnce = INIT_ONCE_STATIC_INIT;

static BOOL IsMemoryFault(DWORD code) {
    return code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR ||
           code == EXCEPTION_DATATYPE_MISALIGNMENT || code == EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
}

static LONG CALLBACK TraceFaultHandler(EXCEPTION_POINTERS *info) {
    if (!IsMemoryFault(info->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    // TlsGetValue clears the last error; a fault that is not ours must
    // reach the next handler with the value it had.
    DWORD lastError = GetLastError();
    TraceGuard *guard = (TraceGuard *)TlsGetValue(g_guardTlsIndex);
    SetLastError(lastError);
    if (guard == NULL) return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT *context = info->ContextRecord;
#if defined(__x86_64__)
    context->Rbp = (DWORD64)guard->jumpBuffer[0];
    context->Rip = (DWORD64)guard->jumpBuffer[1];
    context->Rsp = (DWORD64)guard->jumpBuffer[2];
#elif defined(__i386__)
    context->Ebp = (DWORD)guard->jumpBuffer[0];
    context->Eip = (DWORD)guard->jumpBuffer[1];
    context->Esp = (DWORD)guard->jumpBuffer[2];
#else
#error "no landing for this processor"
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

static BOOL CALLBACK InstallOnce(PINIT_ONCE, PVOID, PVOID *) {
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return FALSE;
    // First in line: a guarded fault is ours, and nobody else should see an
    // access violation that we are about to contain.
    if (AddVectoredExceptionHandler(1, TraceFaultHandler) == NULL) {
        TlsFree(index);
        return FALSE;
    }
    g_guardTlsIndex = index;
    return TRUE;
}

BOOL TraceGuardInstall(void) { return InitOnceExecuteOnce(&g_guardOnce, InstallOnce, NULL, NULL); }

void TraceGuardEnter(TraceGuard *guard) {
    if (g_guardTlsIndex == TLS_OUT_OF_INDEXES) {
        guard->pPrevious = NULL;
        return;
    }
    guard->pPrevious = (TraceGuard *)TlsGetValue(g_guardTlsIndex);
    TlsSetValue(g_guardTlsIndex, guard);
}

void TraceGuardLeave(TraceGuard *guard) {
    if (g_guardTlsIndex == TLS_OUT_OF_INDEXES) return;
    TlsSetValue(g_guardTlsIndex, guard->pPrevious);
}

#else  // MSVC contains faults with __try/__except in TRACE_GUARDED itself.

BOOL TraceGuardInstall(void) { return TRUE; }
void TraceGuardEnter(TraceGuard *) {}
void TraceGuardLeave(TraceGuard *) {}

#endif
