// The file canlog writes CSV or JSON Lines into: a path, or "-" for
// standard output (switched to binary, so that line ends stay as written).
#pragma once

#include <stdio.h>

// NULL when the file cannot be created; *ownFile: canlog closes it.
FILE *CanlogOpenOutput(const wchar_t *path, bool *ownFile);
// Flushes and, when it is canlog's own, closes it; false on a write error.
bool CanlogCloseOutput(FILE *file, bool ownFile);
