#include "server_check.h"

#include "client_liveness.h"
#include "msgq_mapping.h"

namespace ribex_test {

DWORD QueueHandleCount(MsgQHandle hQueue) {
    DWORD count = 0;
    return GetObjectHandleCount(MsgQGetMappingHandle(hQueue), &count) ? count : 0;
}

bool WaitForIdleClientCheck(MsgQHandle hServerQueue, DWORD limitMs) {
    // A check a request asked for may still be going on: the most handles
    // seen is the server holding its queue.
    DWORD held = 0;
    bool dipped = false;
    for (DWORD start = GetTickCount(); GetTickCount() - start <= limitMs; Sleep(2)) {
        DWORD now = QueueHandleCount(hServerQueue);
        if (now > held) {
            held = now;
            dipped = false;
        } else if (now < held) {
            dipped = true;
        } else if (dipped) {
            return true;
        }
    }
    return false;
}

}  // namespace ribex_test
