// canmon's console: the table's lines carry their colours as virtual-terminal
// SGR sequences; they reach the screen as character cells with attributes,
// one write per line that changed, following the window's size. The keys
// come from the console input.
//
// Cells rather than the sequences themselves: Wine's console, in a
// terminal, counts the characters of a sequence as columns when it wraps a
// line and loses text after a cursor-position sequence, so a wide coloured
// table came out torn.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct MonConsole {
    HANDLE hOut = nullptr, hIn = nullptr;
    DWORD inMode = 0;            // as found, put back at the end
    CONSOLE_CURSOR_INFO cursor;  // as found
    WORD baseAttributes = 0;     // the console's colours: SGR 0 returns to them
    int width = 0, height = 0;
    std::vector<std::wstring> shown;  // what is on the screen, line by line
};

// False when the output is not a console (a pipe, a file): plain tables then.
bool MonConsoleOpen(MonConsole *c);
// Clears the table away and puts the cursor and the input mode back.
void MonConsoleClose(MonConsole *c);

// Shows the lines from the top; lines that did not change are not written
// again, and after a size change everything is.
void MonConsoleDraw(MonConsole *c, const std::vector<std::wstring> &lines);

// Waits up to timeoutMs for input and appends the characters typed to
// *keys. False when the input cannot be read.
bool MonConsoleReadKeys(MonConsole *c, DWORD timeoutMs, std::wstring *keys);

// One line as width cells: the SGR sequences in it (0 reset, 1 bold,
// 7 reverse, 30-37 and 40-47 colours) become attributes starting from
// base; the rest of the row is blank.
void MonLineToCells(const std::wstring &line, WORD base, CHAR_INFO *cells, int width);
