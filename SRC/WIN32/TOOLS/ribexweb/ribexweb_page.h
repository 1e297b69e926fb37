// The page's files, compiled into the executable as RCDATA resources.
#pragma once

#include <stddef.h>

struct WebPageFile {
    const char *data;
    size_t size;
    const char *contentType;
};

// The file served at path ("/" is the page itself); false for any other path.
bool WebPageFind(const char *path, WebPageFile *file);
