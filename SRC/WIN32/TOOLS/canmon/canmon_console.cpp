#include "canmon_console.h"

#include <stdio.h>

namespace {

void Write(MonConsole *c, const std::wstring &text) {
    const wchar_t *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        DWORD chunk = left > 8192 ? 8192 : (DWORD)left, written = 0;
        if (!WriteConsoleW(c->hOut, p, chunk, &written, nullptr) || written == 0) return;
        p += written;
        left -= written;
    }
}

bool ReadSize(MonConsole *c, int *width, int *height) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(c->hOut, &info)) return false;
    *width = info.srWindow.Right - info.srWindow.Left + 1;
    *height = info.srWindow.Bottom - info.srWindow.Top + 1;
    return *width > 0 && *height > 0;
}

}  // namespace

std::wstring MonCutToWidth(const std::wstring &line, int width) {
    std::wstring out;
    int visible = 0;
    bool styled = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == L'\x1b') {
            // ESC [ parameters final-letter: no width of its own.
            size_t end = i + 1;
            if (end < line.size() && line[end] == L'[') {
                ++end;
                while (end < line.size() && !(line[end] >= L'@' && line[end] <= L'~')) ++end;
            }
            out.append(line, i, end + 1 - i);
            styled = true;
            i = end;
            continue;
        }
        if (visible == width) break;
        out += line[i];
        ++visible;
    }
    if (styled) out += L"\x1b[0m";
    return out;
}

bool MonConsoleOpen(MonConsole *c) {
    c->hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    c->hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(c->hOut, &c->outMode) || !GetConsoleMode(c->hIn, &c->inMode)) return false;
    if (!SetConsoleMode(c->hOut, c->outMode | ENABLE_PROCESSED_OUTPUT |
                                     ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    // Keys one by one, Ctrl+C among them (it quits like q), and size changes.
    SetConsoleMode(c->hIn, ENABLE_WINDOW_INPUT);
    if (!ReadSize(c, &c->width, &c->height)) {
        MonConsoleClose(c);
        return false;
    }
    // Alternate screen, cursor hidden, screen cleared.
    Write(c, L"\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
    c->shown.clear();
    return true;
}

void MonConsoleClose(MonConsole *c) {
    // A console without an alternate screen keeps the table: clear it.
    Write(c, L"\x1b[0m\x1b[2J");
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(c->hOut, &info)) {
        COORD home = {0, info.srWindow.Top};
        SetConsoleCursorPosition(c->hOut, home);
    }
    Write(c, L"\x1b[?25h\x1b[?1049l");
    SetConsoleMode(c->hOut, c->outMode);
    SetConsoleMode(c->hIn, c->inMode);
}

void MonConsoleDraw(MonConsole *c, const std::vector<std::wstring> &lines) {
    int width = c->width, height = c->height;
    if (ReadSize(c, &width, &height) && (width != c->width || height != c->height)) {
        c->width = width;
        c->height = height;
        c->shown.clear();
        Write(c, L"\x1b[0m\x1b[H\x1b[2J");
    }
    // The last column stays empty: a character there moves the cursor on,
    // and on the last line that scrolls the screen.
    int usable = c->width > 1 ? c->width - 1 : 1;
    std::vector<std::wstring> next((size_t)c->height);
    for (int row = 0; row < c->height && (size_t)row < lines.size(); ++row)
        next[row] = MonCutToWidth(lines[row], usable);
    if (lines.size() > (size_t)c->height && c->height > 0) {
        wchar_t more[80];
        swprintf(more, 80, L"... %u more lines: a larger window, f to filter or d to drop",
                 (unsigned)(lines.size() - (size_t)c->height + 1));
        next[c->height - 1] = MonCutToWidth(more, usable);
    }
    CONSOLE_SCREEN_BUFFER_INFO info;
    SHORT top = GetConsoleScreenBufferInfo(c->hOut, &info) ? info.srWindow.Top : 0;
    for (int row = 0; row < c->height; ++row) {
        if ((size_t)row < c->shown.size() && c->shown[row] == next[row]) continue;
        // The row is reached through the console API: Wine's console, in a
        // terminal, loses text after a cursor-position sequence. Colours and
        // the erase to the end of the line are sequences.
        COORD at = {0, (SHORT)(top + row)};
        SetConsoleCursorPosition(c->hOut, at);
        Write(c, next[row] + L"\x1b[0m\x1b[K");
    }
    c->shown.swap(next);
}

bool MonConsoleReadKeys(MonConsole *c, DWORD timeoutMs, std::wstring *keys) {
    DWORD result = WaitForSingleObject(c->hIn, timeoutMs);
    if (result == WAIT_TIMEOUT) return true;
    if (result != WAIT_OBJECT_0) return false;
    INPUT_RECORD records[32];
    DWORD got = 0;
    DWORD waiting = 0;
    if (!GetNumberOfConsoleInputEvents(c->hIn, &waiting) || waiting == 0) return true;
    if (!ReadConsoleInputW(c->hIn, records, 32, &got)) return false;
    for (DWORD i = 0; i < got; ++i) {
        const INPUT_RECORD &r = records[i];
        if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown) {
            wchar_t ch = r.Event.KeyEvent.uChar.UnicodeChar;
            for (WORD n = 0; ch != 0 && n < r.Event.KeyEvent.wRepeatCount; ++n) *keys += ch;
        } else if (r.EventType == WINDOW_BUFFER_SIZE_EVENT) {
            c->width = 0;  // the next draw measures and redraws everything
        }
    }
    return true;
}
