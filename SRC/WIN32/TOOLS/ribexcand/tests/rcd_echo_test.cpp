// A connection's own frames coming back from the bus: which entries are
// taken for echoes, and that nothing else is.
#include <gtest/gtest.h>

#include "rcd_echo.h"

namespace {

RxMsg Msg(DWORD id, DWORD length, BYTE first) {
    RxMsg m = {};
    m.can.id = id;
    m.length = length;
    for (DWORD i = 0; i < length; ++i) m.can.data[i] = (BYTE)(first + i);
    return m;
}

void Add(RcdEchoList *list, RxMsg m, DWORD tick) { RcdEchoAdd(list, &m, tick); }

RibexFrame Device(const RxMsg &m) {
    RibexFrame f = {};
    f.msg = m;
    f.msg.timeStamp = 12345;  // the driver's stamp differs from what was sent
    return f;
}

TEST(RcdEcho, TakesEachSentFrameOnceAndOnlyFromTheDevice) {
    RcdEchoList list = {};
    Add(&list, Msg(0x123, 2, 1), 1000);
    Add(&list, Msg(0x123, 2, 1), 1000);  // sent twice: two echoes
    Add(&list, Msg(0x1F334455, 8, 9), 1000);

    RibexFrame other = Device(Msg(0x123, 2, 7));  // same id, other data: another node's
    EXPECT_FALSE(RcdEchoTake(&list, &other, 1001));
    RibexFrame shorter = Device(Msg(0x123, 1, 1));
    EXPECT_FALSE(RcdEchoTake(&list, &shorter, 1001));
    RibexFrame sim = Device(Msg(0x123, 2, 1));
    sim.simUniqueId.high = 7;  // a simulated peer's frame is never an echo
    EXPECT_FALSE(RcdEchoTake(&list, &sim, 1001));
    RibexFrame error = Device(Msg(0x123, 2, 1));
    error.errorCode = 1117;
    EXPECT_FALSE(RcdEchoTake(&list, &error, 1001));

    RibexFrame extended = Device(Msg(0x1F334455, 8, 9));  // out of order is fine
    EXPECT_TRUE(RcdEchoTake(&list, &extended, 1002));
    RibexFrame echo = Device(Msg(0x123, 2, 1));
    EXPECT_TRUE(RcdEchoTake(&list, &echo, 1002));
    EXPECT_TRUE(RcdEchoTake(&list, &echo, 1002));
    EXPECT_FALSE(RcdEchoTake(&list, &echo, 1002));  // a third is someone else's
    EXPECT_EQ(list.count, 0u);
}

TEST(RcdEcho, RemoteFramesMatchWithoutDataAndOldEntriesAreForgotten) {
    RcdEchoList list = {};
    RxMsg rtr = Msg(0x123 | RX_REMOTE_FRAME_FLAG, 4, 0);
    RcdEchoAdd(&list, &rtr, 5000);
    RibexFrame echo = Device(rtr);
    echo.msg.can.data[0] = 0xAA;  // a remote frame's data bytes mean nothing
    EXPECT_TRUE(RcdEchoTake(&list, &echo, 5001));

    Add(&list, Msg(0x100, 1, 1), 5000);
    RibexFrame late = Device(Msg(0x100, 1, 1));
    EXPECT_FALSE(RcdEchoTake(&list, &late, 5000 + RCD_ECHO_MAX_AGE_MS + 1));
    EXPECT_EQ(list.count, 0u);

    for (DWORD i = 0; i < RCD_ECHO_SLOTS + 3; ++i) Add(&list, Msg(i, 1, 0), 6000);
    EXPECT_EQ(list.count, RCD_ECHO_SLOTS);  // the oldest went
    RibexFrame first = Device(Msg(0, 1, 0));
    EXPECT_FALSE(RcdEchoTake(&list, &first, 6001));
    RibexFrame last = Device(Msg(RCD_ECHO_SLOTS + 2, 1, 0));
    EXPECT_TRUE(RcdEchoTake(&list, &last, 6001));
}

}  // namespace
