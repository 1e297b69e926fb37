// ribexweb's HTTP server (Boost.Beast and Boost.URL): the page from the resources, the
// JSON API and the live stream of snapshots (Server-Sent Events).
#pragma once

#include <windows.h>

#include <string>

#include "ribexweb_store.h"

#define WEB_STREAM_PERIOD_MS 200  // a snapshot to every open page this often
#define WEB_CONNECTIONS_BESIDE_STREAMS 16  // connections at once: -c plus these

struct WebHttpConfig {
    WebStore *store;
    DWORD bitRate;
    DWORD maxStreams;
    std::string address;
    DWORD port;  // 0: any free port
};

struct WebHttpCounts {
    volatile LONG requests;
    volatile LONG refused;  // 4xx and 503 answers
    volatile LONG streams;  // open now
};

struct WebHttp;

// Binds and serves on a thread of its own; *boundPort receives the port.
// False with *error when the address or port cannot be had.
bool WebHttpStart(const WebHttpConfig *config, WebHttp **http, int *boundPort, std::string *error);

const WebHttpCounts *WebHttpGetCounts(const WebHttp *http);

// Ends the streams, stops the server and waits for its thread.
void WebHttpStop(WebHttp *http);
