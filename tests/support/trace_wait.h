// Reading the machine-wide trace ring from a test: a mark is the number of
// lines written so far, and a test looks at (or waits for) the lines
// written after it. The lines are read through the view, not the trace
// library's reader, which switches the ring off while it copies and would
// lose a line written meanwhile. Header-only: a test that includes it
// links the trace library.
#pragma once

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "trace.h"
#include "wait_until.h"

namespace ribex_test {

inline LONG TraceMark(const TraceModule *reader) { return reader->pBuffer->noLines; }

// The lines written after mark that the ring still holds, oldest first.
inline std::vector<std::string> TraceLinesSince(const TraceModule *reader, LONG mark) {
    const TraceBufferHeader *pHeader = reader->pBuffer;
    const char *pSlots = (const char *)pHeader + sizeof(TraceBufferHeader);
    LONG now = pHeader->noLines, noSlots = (LONG)pHeader->noSlots;
    std::vector<std::string> lines;
    for (LONG k = now - mark > noSlots ? now - noSlots : mark; k < now; ++k) {
        const char *pSlot = pSlots + (size_t)((DWORD)k % (DWORD)noSlots) * pHeader->slotSize;
        if (*pSlot) lines.emplace_back(pSlot, strnlen(pSlot, pHeader->slotSize));
    }
    return lines;
}

// How many lines after mark contain text.
inline int CountTraceLines(const TraceModule *reader, LONG mark, const std::string &text) {
    int found = 0;
    for (const std::string &line : TraceLinesSince(reader, mark))
        found += line.find(text) != std::string::npos;
    return found;
}

// Waits (up to limitMs) until a line after mark contains text.
inline bool ReadTraceUntil(const TraceModule *reader, LONG mark, const std::string &text,
                           DWORD limitMs) {
    return WaitUntil([&] { return CountTraceLines(reader, mark, text) > 0; }, limitMs, 20);
}

}  // namespace ribex_test
