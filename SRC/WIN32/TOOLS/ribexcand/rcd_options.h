// Command line of ribexcand.
#pragma once

#include <windows.h>

#include "ribex_client.h"

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
    BOOL help, version;
} RcdOptions;

// Parses argv[1..]. FALSE with *what saying what was wrong and *arg the
// argument it was wrong about.
BOOL RcdParseOptions(int argc, wchar_t **argv, RcdOptions *o, const char **what,
                     const wchar_t **arg);

const char *RcdUsage();
