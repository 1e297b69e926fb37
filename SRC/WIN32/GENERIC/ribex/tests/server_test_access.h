// Server functions that only tests call: the text of the version notice
// and the number of listed nets.
#pragma once

#include <windows.h>

// The text of the "Version incompatibility" box, built into text (room for
// textChars characters, the server uses 780).
void BuildVersionMessage(HMODULE hModule, const wchar_t *otherName, DWORD count,
                         const DWORD *accepted, DWORD major, DWORD minor, wchar_t *text,
                         DWORD textChars);

// Number of nets in the registry's list.
DWORD CountRibexNets(void);
