// The server's trace modules: one per traced function, registered in this
// order before anything else runs and released in the same order at exit.
#include "ribex_trace_modules.h"

TraceModule *g_ribexTrace[TM_COUNT];

static const wchar_t *const kModuleNames[TM_COUNT] = {
    L"main",
    L"GetRibexNet",
    L"GetRibexUniqueId",
    L"ReAllocEventSpace",
    L"ReAllocRemReplySpace",
    L"RegisterRibexClient",
    L"UnRegisterAllRibexClients",
    L"UnRegisterRibexClient",
    L"GetRemFrameIndex",
    L"EnableRemFrame",
    L"DisableRemFrame",
    L"EnumRemFrame",
    L"DisableAllRemFrames",
    L"CheckSimCanBufferStore",
    L"CanReadThread",
};

void RegisterRibexTraceModules(void) {
    for (int i = 0; i < TM_COUNT; ++i) g_ribexTrace[i] = TraceRegister(NULL, kModuleNames[i]);
}

void ReleaseRibexTraceModules(void) {
    for (int i = 0; i < TM_COUNT; ++i) {
        TraceModule *pModule = g_ribexTrace[i];
        // Cleared first: a late line of another thread then goes nowhere.
        g_ribexTrace[i] = NULL;
        TraceRelease(pModule);
    }
}
