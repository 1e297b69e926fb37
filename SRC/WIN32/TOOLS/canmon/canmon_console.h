// canmon's console: virtual-terminal sequences for colour and clearing on
// an alternate screen, redrawing only the lines that changed, following the
// window's size; the keys come from the console input.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct MonConsole {
    HANDLE hOut = nullptr, hIn = nullptr;
    DWORD outMode = 0, inMode = 0;  // as found, put back at the end
    int width = 0, height = 0;
    std::vector<std::wstring> shown;  // what is on the screen, line by line
};

// False when the output is not a console that takes virtual-terminal
// sequences (a pipe, a file, an old console): plain tables then.
bool MonConsoleOpen(MonConsole *c);
// Leaves the alternate screen and puts the console modes back.
void MonConsoleClose(MonConsole *c);

// Shows the lines from the top; lines that did not change are not written
// again, and after a size change everything is.
void MonConsoleDraw(MonConsole *c, const std::vector<std::wstring> &lines);

// Waits up to timeoutMs for input and appends the characters typed to
// *keys. False when the input cannot be read.
bool MonConsoleReadKeys(MonConsole *c, DWORD timeoutMs, std::wstring *keys);

// The line cut to width visible characters (escape sequences kept whole).
std::wstring MonCutToWidth(const std::wstring &line, int width);
