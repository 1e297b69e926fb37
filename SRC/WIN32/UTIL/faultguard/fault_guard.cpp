// The fault guard: one vectored handler and one thread-local slot per
// process, whichever libraries use it. The slot holds the innermost guard
// of the thread; guards nest through pPrevious.
#include "fault_guard.h"

#include <string.h>

namespace {

struct FaultGuard {
    void *jumpBuffer[5];  // __builtin_setjmp layout: frame, landing, stack
    FaultGuard *pPrevious;
};

DWORD volatile g_guardTlsIndex = TLS_OUT_OF_INDEXES;
INIT_ONCE g_guardOnce = INIT_ONCE_STATIC_INIT;

BOOL IsMemoryFault(DWORD code) {
    return code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR ||
           code == EXCEPTION_DATATYPE_MISALIGNMENT || code == EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
}

#if !defined(_MSC_VER)
LONG CALLBACK FaultGuardHandler(EXCEPTION_POINTERS *info) {
    if (!IsMemoryFault(info->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    // TlsGetValue clears the last error; a fault that is not ours must
    // reach the next handler with the value it had.
    DWORD lastError = GetLastError();
    FaultGuard *guard = (FaultGuard *)TlsGetValue(g_guardTlsIndex);
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

BOOL CALLBACK InstallOnce(PINIT_ONCE, PVOID, PVOID *) {
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return FALSE;
    // First in line: a guarded fault is ours, and nobody else should see an
    // access violation that we are about to contain.
    if (AddVectoredExceptionHandler(1, FaultGuardHandler) == NULL) {
        TlsFree(index);
        return FALSE;
    }
    g_guardTlsIndex = index;
    return TRUE;
}

void Enter(FaultGuard *guard) {
    DWORD lastError = GetLastError();
    guard->pPrevious = (FaultGuard *)TlsGetValue(g_guardTlsIndex);
    TlsSetValue(g_guardTlsIndex, guard);
    SetLastError(lastError);
}

void Leave(FaultGuard *guard) {
    DWORD lastError = GetLastError();
    TlsSetValue(g_guardTlsIndex, guard->pPrevious);
    SetLastError(lastError);
}
#endif

struct CopyRequest {
    void *destination;
    const void *source;
    SIZE_T bytes;
};

void CopyBytes(void *context) {
    CopyRequest *request = (CopyRequest *)context;
    memcpy(request->destination, request->source, request->bytes);
}

}  // namespace

#if !defined(_MSC_VER)

extern "C" BOOL FaultGuardInstall(void) {
    if (g_guardTlsIndex != TLS_OUT_OF_INDEXES) return TRUE;
    return InitOnceExecuteOnce(&g_guardOnce, InstallOnce, NULL, NULL);
}

// Registers are not restored at the landing: everything this function needs
// after it lives in memory (the guard, the volatile result). A function that
// holds a __builtin_setjmp landing saves every callee-saved register, so the
// caller finds its own intact.
extern "C" __attribute__((noinline)) BOOL FaultGuardRun(FaultGuardedCall call, void *context) {
    if (!FaultGuardInstall()) {
        call(context);
        return TRUE;
    }
    FaultGuard guard;
    volatile BOOL completed = FALSE;
    volatile DWORD lastError = GetLastError();
    if (__builtin_setjmp(guard.jumpBuffer) == 0) {
        Enter(&guard);
        call(context);
        completed = TRUE;
    }
    Leave(&guard);
    // The exception dispatch leaves a last error of its own behind.
    if (!completed) SetLastError(lastError);
    return completed;
}

#else  // MSVC has structured exception handling of its own.

extern "C" BOOL FaultGuardInstall(void) { return TRUE; }

extern "C" BOOL FaultGuardRun(FaultGuardedCall call, void *context) {
    __try {
        call(context);
    } __except (IsMemoryFault(GetExceptionCode()) ? EXCEPTION_EXECUTE_HANDLER
                                                  : EXCEPTION_CONTINUE_SEARCH) {
        return FALSE;
    }
    return TRUE;
}

#endif

extern "C" BOOL FaultGuardCopy(void *destination, const void *source, SIZE_T bytes) {
    CopyRequest request = {destination, source, bytes};
    return FaultGuardRun(CopyBytes, &request);
}
