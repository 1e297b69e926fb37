#include "canlog_output.h"

#include <fcntl.h>
#include <io.h>
#include <wchar.h>

FILE *CanlogOpenOutput(const wchar_t *path, bool *ownFile) {
    *ownFile = wcscmp(path, L"-") != 0;
    if (*ownFile) return _wfopen(path, L"wb");
    _setmode(_fileno(stdout), _O_BINARY);
    return stdout;
}

bool CanlogCloseOutput(FILE *file, bool ownFile) {
    bool ok = fflush(file) == 0;
    if (ownFile && fclose(file) != 0) ok = false;
    return ok;
}
