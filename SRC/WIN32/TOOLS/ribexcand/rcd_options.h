// Command line of ribexcand.
#pragma once

#include <windows.h>

#include "ribex_client.h"
#include "tool_options.h"

#define RCD_DEFAULT_PORT 29536u
#define RCD_DEFAULT_MAX_CONNECTIONS 8u
#define RCD_MAX_CONNECTIONS 64u

typedef struct RcdOptions {
    char address[64];  // dotted IPv4 address to listen on
    DWORD port;        // 0: the system picks one (printed at start)
    DWORD maxConnections;
    BOOL wallClock;   // time stamps as seconds since 1970
    DWORD runTimeMs;  // 0: until Ctrl+C
    RibexClientOptions client;
} RcdOptions;

// The defaults: 127.0.0.1, port 29536, 8 connections, the net's clock.
void RcdDefaults(RcdOptions *o);

// The option table, filling *o (its usage text with worked examples).
ToolSpec RcdToolSpec(RcdOptions *o);
