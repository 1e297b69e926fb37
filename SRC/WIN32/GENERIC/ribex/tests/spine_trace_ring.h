// The test's hold on the shared trace ring: the test creates it before it
// starts ribex.exe (which inherits TRACESIZE and the level masks) and keeps
// it, so the server's lines survive the server's exit.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "trace.h"

namespace spine_test {

class TraceRing {
  public:
    // slots x slotSize as TRACESIZE; serverMask for every module of ribex.exe.
    TraceRing(const wchar_t *serverMask);
    ~TraceRing();
    bool ok() const { return module_ != nullptr; }
    // Only while the server writes nothing: lines met meanwhile are dropped.
    void Clear() { TraceClearBuffer(module_); }
    // The lines in the order written, read while the server may write.
    std::vector<std::string> Lines() const;
    // The same through the library's reading operation; for a quiet ring.
    std::vector<std::string> Snapshot() const;
    // Lines that contain text.
    int Count(const std::string &text) const;
    // Polls until a line containing text appears (count times in all).
    bool WaitFor(const std::string &text, DWORD timeoutMs, int count = 1) const;

  private:
    TraceModule *module_ = nullptr;
};

}  // namespace spine_test
