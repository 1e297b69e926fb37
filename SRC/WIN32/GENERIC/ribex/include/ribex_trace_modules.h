// The server's 15 trace modules, registered first and released last by the
// process entry; each function traces through the module of its own name.
#pragma once

#include "trace.h"

enum RibexTraceModuleIndex {
    TM_MAIN = 0,
    TM_GET_RIBEX_NET,
    TM_GET_RIBEX_UNIQUE_ID,
    TM_REALLOC_EVENT_SPACE,
    TM_REALLOC_REM_REPLY_SPACE,
    TM_REGISTER_RIBEX_CLIENT,
    TM_UNREGISTER_ALL_RIBEX_CLIENTS,
    TM_UNREGISTER_RIBEX_CLIENT,
    TM_GET_REM_FRAME_INDEX,
    TM_ENABLE_REM_FRAME,
    TM_DISABLE_REM_FRAME,
    TM_ENUM_REM_FRAME,
    TM_DISABLE_ALL_REM_FRAMES,
    TM_CHECK_SIM_CAN_BUFFER_STORE,
    TM_CAN_READ_THREAD,
    TM_COUNT
};

// Null entries are fine: every trace call then does nothing.
extern TraceModule *g_ribexTrace[TM_COUNT];

// Registers the 15 modules in table order / releases them in that order.
void RegisterRibexTraceModules(void);
void ReleaseRibexTraceModules(void);
