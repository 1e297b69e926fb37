#include "msgq_testhooks.h"

namespace {
MsgQTestHook volatile testHook = nullptr;
}

void MsgQSetTestHook(MsgQTestHook hook) { testHook = hook; }

void MsgQRunTestHook(int point) {
    MsgQTestHook hook = testHook;
    if (hook) hook(point);
}
