// The test-only simulated peer (ribex_receive_peer) as a child process.
#pragma once

#include <windows.h>

#include <string>

#include "child_process.h"
#include "test_names.h"

namespace receive_test {

class PeerProcess {
  public:
    // Starts the peer for net with the given items (see receive_peer.cpp)
    // and waits until its queue exists: until its first "wait" item when
    // there is one, else until it has sent everything.
    bool Start(const std::wstring &net, const std::wstring &items) {
        sync_ = ribex_test::UniqueName(L"rxpeer");
        if (!ribex_test::StartChild(L"ribex_receive_peer", net + L" " + sync_ + L" " + items,
                                    child_.get()))
            return false;
        if (items.find(L"wait") != std::wstring::npos) return WaitPhase(0);
        return WaitSent();
    }
    // The peer reached its k-th "wait" item.
    bool WaitPhase(int k) {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, (sync_ + L"-" + std::to_wstring(k)).c_str());
        bool reached = h && WaitForSingleObject(h, 20000) == WAIT_OBJECT_0;
        if (h) CloseHandle(h);
        return reached;
    }
    // Lets the peer go on behind its k-th "wait" item.
    void Go(int k) {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, (sync_ + L"-go" + std::to_wstring(k)).c_str());
        if (h) {
            SetEvent(h);
            CloseHandle(h);
        }
    }
    // The peer has sent its last item.
    bool WaitSent() { return ribex_test::WaitForPoint(sync_ + L"-end", 20000) != FALSE; }
    void Kill() { ribex_test::KillChild(child_.get()); }

  private:
    ribex_test::ScopedChild child_;
    std::wstring sync_;
};

}  // namespace receive_test
