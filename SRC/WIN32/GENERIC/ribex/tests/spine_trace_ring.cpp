#include "spine_trace_ring.h"

namespace spine_test {

TraceRing::TraceRing(const wchar_t *serverMask) {
    SetEnvironmentVariableW(L"TRACESIZE", L"400 256");
    SetEnvironmentVariableW(L"TRACEPORT", nullptr);
    SetEnvironmentVariableW(L"ribex.exe", serverMask);
    module_ = TraceRegister(nullptr, L"spinetest");
    Clear();
}

TraceRing::~TraceRing() {
    TraceRelease(module_);
    SetEnvironmentVariableW(L"ribex.exe", nullptr);
    SetEnvironmentVariableW(L"TRACESIZE", nullptr);
}

// Reads the slots through the view, without the reading operation: that
// one switches the ring off while it copies, and a line the server writes
// in that moment would be lost to a test that polls.
std::vector<std::string> TraceRing::Lines() const {
    std::vector<std::string> lines;
    if (module_ == nullptr || module_->pBuffer == nullptr) return lines;
    const TraceBufferHeader *pHeader = module_->pBuffer;
    DWORD noSlots = pHeader->noSlots, slotSize = pHeader->slotSize;
    DWORD noLines = (DWORD)pHeader->noLines;
    if (noSlots == 0 || slotSize == 0) return lines;
    const char *pSlots = (const char *)pHeader + sizeof(TraceBufferHeader);
    DWORD first = noLines < noSlots ? 0 : noLines % noSlots;
    DWORD count = noLines < noSlots ? noLines : noSlots;
    for (DWORD k = 0; k < count; ++k) {
        const char *pSlot = pSlots + (size_t)((first + k) % noSlots) * slotSize;
        std::string line(pSlot, strnlen(pSlot, slotSize));
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> TraceRing::Snapshot() const {
    DWORD noSlots = 0, slotSize = 0;
    TraceGetBufferSize(module_, &noSlots, &slotSize);
    std::vector<std::string> lines;
    if (noSlots == 0 || slotSize == 0) return lines;
    std::vector<char> buffer((size_t)noSlots * slotSize + 1);
    TraceReadBuffer(module_, buffer.data(), (DWORD)buffer.size());
    for (DWORD i = 0; i < noSlots; ++i) {
        const char *pSlot = buffer.data() + (size_t)i * slotSize;
        std::string line(pSlot, strnlen(pSlot, slotSize));
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

int TraceRing::Count(const std::string &text) const {
    int n = 0;
    for (const std::string &line : Lines())
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

bool TraceRing::WaitFor(const std::string &text, DWORD timeoutMs, int count) const {
    DWORD start = GetTickCount();
    for (;;) {
        if (Count(text) >= count) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(20);
    }
}

}  // namespace spine_test
