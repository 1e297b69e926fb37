#include "canmon_console.h"

#include <stdio.h>

namespace {

const WORD kForeground = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY;
const WORD kBackground = BACKGROUND_RED | BACKGROUND_GREEN | BACKGROUND_BLUE | BACKGROUND_INTENSITY;

// ANSI colour index (bit 0 red, 1 green, 2 blue) as console colour bits.
WORD ColourBits(int index) {
    return (WORD)(((index & 1) ? FOREGROUND_RED : 0) | ((index & 2) ? FOREGROUND_GREEN : 0) |
                  ((index & 4) ? FOREGROUND_BLUE : 0));
}

struct Style {
    WORD base;
    WORD attributes;
    bool reverse;
};

void ApplySgr(Style *s, int code) {
    if (code == 0) {
        s->attributes = s->base;
        s->reverse = false;
    } else if (code == 1) {
        s->attributes |= FOREGROUND_INTENSITY;
    } else if (code == 7) {
        s->reverse = true;
    } else if (code >= 30 && code <= 37) {
        s->attributes = (WORD)((s->attributes & ~(kForeground & ~FOREGROUND_INTENSITY)) |
                               ColourBits(code - 30));
    } else if (code >= 40 && code <= 47) {
        s->attributes = (WORD)((s->attributes & ~kBackground) | (ColourBits(code - 40) << 4));
    }
}

WORD Effective(const Style &s) {
    if (!s.reverse) return s.attributes;
    WORD fg = s.attributes & kForeground, bg = (WORD)((s.attributes & kBackground) >> 4);
    return (WORD)((s.attributes & ~(kForeground | kBackground)) | bg | (fg << 4));
}

// The parameters of ESC [ ... m from position i; returns the position after.
size_t ReadSgr(const std::wstring &line, size_t i, Style *s) {
    size_t end = i + 2;
    int code = 0;
    for (; end < line.size(); ++end) {
        wchar_t ch = line[end];
        if (ch >= L'0' && ch <= L'9') {
            code = code * 10 + (ch - L'0');
        } else if (ch == L';') {
            ApplySgr(s, code);
            code = 0;
        } else {
            if (ch == L'm') ApplySgr(s, code);
            return end + 1;  // other sequences are ignored whole
        }
    }
    return end;
}

bool ReadSize(MonConsole *c, int *width, int *height, SHORT *top) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(c->hOut, &info)) return false;
    // The window, within the buffer (a console may shrink one before the other).
    *width = info.srWindow.Right - info.srWindow.Left + 1;
    *height = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (info.dwSize.X < *width) *width = info.dwSize.X;
    if (info.dwSize.Y - info.srWindow.Top < *height) *height = info.dwSize.Y - info.srWindow.Top;
    if (top != nullptr) *top = info.srWindow.Top;
    return *width > 0 && *height > 0;
}

void WriteRow(MonConsole *c, const std::wstring &line, SHORT y, std::vector<CHAR_INFO> *cells) {
    cells->resize((size_t)c->width);
    MonLineToCells(line, c->baseAttributes, cells->data(), c->width);
    COORD size = {(SHORT)c->width, 1}, origin = {0, 0};
    SMALL_RECT area = {0, y, (SHORT)(c->width - 1), y};
    WriteConsoleOutputW(c->hOut, cells->data(), size, origin, &area);
}

void ClearWindow(MonConsole *c) {
    int width = 0, height = 0;
    SHORT top = 0;
    if (!ReadSize(c, &width, &height, &top)) return;
    COORD at = {0, top};
    DWORD written = 0;
    FillConsoleOutputCharacterW(c->hOut, L' ', (DWORD)(width * height), at, &written);
    FillConsoleOutputAttribute(c->hOut, c->baseAttributes, (DWORD)(width * height), at, &written);
    SetConsoleCursorPosition(c->hOut, at);
}

}  // namespace

void MonLineToCells(const std::wstring &line, WORD base, CHAR_INFO *cells, int width) {
    Style style = {base, base, false};
    int column = 0;
    for (size_t i = 0; i < line.size() && column < width;) {
        if (line[i] == L'\x1b' && i + 1 < line.size() && line[i + 1] == L'[') {
            i = ReadSgr(line, i, &style);
            continue;
        }
        cells[column].Char.UnicodeChar = line[i++];
        cells[column++].Attributes = Effective(style);
    }
    for (; column < width; ++column) {
        cells[column].Char.UnicodeChar = L' ';
        cells[column].Attributes = base;
    }
}

bool MonConsoleOpen(MonConsole *c) {
    c->hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    c->hIn = GetStdHandle(STD_INPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(c->hOut, &info) || !GetConsoleMode(c->hIn, &c->inMode) ||
        !GetConsoleCursorInfo(c->hOut, &c->cursor))
        return false;
    c->baseAttributes = info.wAttributes;
    if (!ReadSize(c, &c->width, &c->height, nullptr)) return false;
    // Keys one by one, Ctrl+C among them (it quits like q), and size changes.
    SetConsoleMode(c->hIn, ENABLE_WINDOW_INPUT);
    CONSOLE_CURSOR_INFO hidden = c->cursor;
    hidden.bVisible = FALSE;
    SetConsoleCursorInfo(c->hOut, &hidden);
    ClearWindow(c);
    c->shown.clear();
    return true;
}

void MonConsoleClose(MonConsole *c) {
    ClearWindow(c);
    SetConsoleCursorInfo(c->hOut, &c->cursor);
    SetConsoleMode(c->hIn, c->inMode);
}

void MonConsoleDraw(MonConsole *c, const std::vector<std::wstring> &lines) {
    int width = c->width, height = c->height;
    SHORT top = 0;
    if (!ReadSize(c, &width, &height, &top)) return;
    if (width != c->width || height != c->height) {
        c->width = width;
        c->height = height;
        c->shown.clear();
        ClearWindow(c);
    }
    std::vector<std::wstring> next((size_t)c->height);
    for (int row = 0; row < c->height && (size_t)row < lines.size(); ++row) next[row] = lines[row];
    if (lines.size() > (size_t)c->height && c->height > 0) {
        wchar_t more[80];
        swprintf(more, 80, L"... %u more lines: a larger window, f to filter or d to drop",
                 (unsigned)(lines.size() - (size_t)c->height + 1));
        next[c->height - 1] = more;
    }
    std::vector<CHAR_INFO> cells;
    for (int row = 0; row < c->height; ++row) {
        if ((size_t)row < c->shown.size() && c->shown[row] == next[row]) continue;
        WriteRow(c, next[row], (SHORT)(top + row), &cells);
    }
    c->shown.swap(next);
}

bool MonConsoleReadKeys(MonConsole *c, DWORD timeoutMs, std::wstring *keys) {
    DWORD result = WaitForSingleObject(c->hIn, timeoutMs);
    if (result == WAIT_TIMEOUT) return true;
    if (result != WAIT_OBJECT_0) return false;
    INPUT_RECORD records[32];
    DWORD got = 0, waiting = 0;
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
