// Where the library passes a stopping point of msgq_testhooks.h. In the
// msgq_testhooks build each point calls the test's hook; in the msgq library
// it compiles to nothing. Private to the library's source.
#pragma once

#include "msgq_testhooks.h"

namespace {

inline void MsgQPassPoint(MsgQTestPoint point) {
#ifdef MSGQ_TEST_HOOKS
    MsgQRunTestHook(point);
#else
    (void)point;
#endif
}

}  // namespace
