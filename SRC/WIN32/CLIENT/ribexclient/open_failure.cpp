// Turning a failed open into a line for the user: what was tried, what to
// do about it, and the Windows error with its text. candump and canmon
// print it as it stands.
#include "ribex_client.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "ribex_messages.h"

namespace {

// Appends to a text that is always NUL-terminated and cut where it is full.
struct TextBuffer {
    wchar_t *text;
    DWORD chars;
    DWORD used;
};

void Append(TextBuffer *out, const wchar_t *format, ...) {
    if (out->chars == 0 || out->used + 1 >= out->chars) return;
    va_list args;
    va_start(args, format);
    DWORD room = out->chars - out->used;
    int n = _vsnwprintf(out->text + out->used, room, format, args);
    va_end(args);
    out->used = (n < 0 || (DWORD)n >= room) ? out->chars - 1 : out->used + (DWORD)n;
    out->text[out->used] = L'\0';
}

// The system's text for an error code, without its line end and full stop.
void AppendSystemText(TextBuffer *out, DWORD errorCode) {
    wchar_t message[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                             errorCode, 0, message, sizeof(message) / sizeof(message[0]), NULL);
    while (n > 0 && (message[n - 1] == L'\r' || message[n - 1] == L'\n' || message[n - 1] == L' ' ||
                     message[n - 1] == L'.'))
        --n;
    if (n == 0) {
        Append(out, L" (error %lu)", errorCode);
        return;
    }
    message[n] = L'\0';
    Append(out, L" (error %lu: %ls)", errorCode, message);
}

// What the server's error answer to an open means for this net.
void AppendRefusal(TextBuffer *out, const wchar_t *net, const RibexOpenFailure *f) {
    switch (f->errorCode) {
    case ERROR_TIMEOUT:
        // The server found no device and then tried the peer's queue last.
        Append(out,
               L"no device \\\\.\\%ls, and no simulated peer queue named %ls appeared in time: "
               L"start 'canpeer -s %ls' for a simulated net, or load the CAN driver that "
               L"provides %ls (the virtual driver: sc start vcan)",
               net, net, net, net);
        break;
    case ERROR_REVISION_MISMATCH:
        Append(out,
               L"the server refused the version: this client speaks interface version %lu, "
               L"or the driver of \\\\.\\%ls has a version the server does not accept",
               f->majorVersion, net);
        break;
    case ERROR_FILE_NOT_FOUND:
        Append(out,
               L"device \\\\.\\%ls is there, but the server could not read its driver's "
               L"configuration (the driver's service key)",
               net);
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        Append(out, L"device \\\\.\\%ls is there, but the server could not open it", net);
        break;
    default:
        Append(out, L"the server could not open %ls", net);
        break;
    }
}

void AppendStep(TextBuffer *out, const wchar_t *net, const RibexOpenFailure *f) {
    switch (f->step) {
    case RIBEX_OPEN_DONE:
        Append(out, L"%ls is open", net);
        return;
    case RIBEX_OPEN_ARGUMENTS:
        Append(out, L"a net name must have 1 to %u characters", RIBEX_NET_NAME_MAX - 1);
        break;
    case RIBEX_OPEN_SERVER_QUEUE:
        Append(out, L"the ribex server's queue could not be created or opened");
        break;
    case RIBEX_OPEN_SERVER_START:
        Append(out,
               L"the ribex server could not be started from '%ls': ribex.exe belongs beside "
               L"this program",
               f->serverPath);
        break;
    case RIBEX_OPEN_REPLY_QUEUE:
    case RIBEX_OPEN_WAKE_EVENT:
        if (f->errorCode == ERROR_ALREADY_EXISTS)
            Append(out, L"another client already uses the unique id %lx:%lx on %ls: choose another",
                   f->uniqueIdHigh, f->uniqueIdLow, net);
        else
            Append(out, L"this client's %ls for %ls could not be created",
                   f->step == RIBEX_OPEN_REPLY_QUEUE ? L"reply queue" : L"wake-up event", net);
        break;
    case RIBEX_OPEN_REQUEST:
        if (f->errorCode == ERROR_TIMEOUT)
            Append(out, L"the ribex server did not answer the open request within %lu ms",
                   f->confirmTimeoutMs);
        else
            Append(out, L"the open request could not be sent to the ribex server");
        break;
    case RIBEX_OPEN_REFUSED:
        AppendRefusal(out, net, f);
        break;
    case RIBEX_OPEN_RX_BUFFER:
        Append(out, L"the server opened %ls, but its receive buffer could not be mapped", net);
        break;
    case RIBEX_OPEN_MEMORY:
        Append(out, L"out of memory");
        break;
    }
    AppendSystemText(out, f->errorCode);
}

}  // namespace

DWORD RibexDescribeOpenFailure(const wchar_t *netName, const RibexOpenFailure *pFailure,
                               wchar_t *text, DWORD chars) {
    if (text == NULL || chars == 0) return 0;
    text[0] = L'\0';
    if (pFailure == NULL) return 0;
    TextBuffer out = {text, chars, 0};
    AppendStep(&out, netName != NULL ? netName : L"", pFailure);
    return out.used;
}
