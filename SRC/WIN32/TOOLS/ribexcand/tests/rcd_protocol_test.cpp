// The socketcand framing and messages of ribexcand: what a client's byte
// stream turns into, which send commands are taken, and the exact text
// written for each kind of receive-buffer entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rcd_protocol.h"

namespace {

struct Fed {
    std::vector<std::string> commands;
    int garbage = 0, tooLong = 0;
};

Fed Feed(const std::string &stream) {
    RcdCommandReader reader;
    RcdReaderInit(&reader);
    Fed fed;
    for (char c : stream) {
        switch (RcdReaderPush(&reader, c)) {
            case RCD_STEP_COMMAND:
                fed.commands.push_back(reader.text);
                break;
            case RCD_STEP_GARBAGE:
                fed.garbage++;
                break;
            case RCD_STEP_TOO_LONG:
                fed.tooLong++;
                break;
            case RCD_STEP_NONE:
                break;
        }
    }
    return fed;
}

TEST(RcdReader, FramesCommandsWhateverTheWhiteSpaceAndFlagsWhatIsNotACommand) {
    Fed f = Feed("< hi >\r\n<open CAN1>  \t< rawmode >< send 123 0 >");
    ASSERT_EQ(f.commands.size(), 4u);
    EXPECT_EQ(f.commands[0], " hi ");
    EXPECT_EQ(f.commands[1], "open CAN1");
    EXPECT_EQ(f.commands[3], " send 123 0 ");
    EXPECT_EQ(f.garbage, 0);

    f = Feed("GET / HTTP/1.1\r\n< echo >");
    EXPECT_EQ(f.garbage, 12);  // every byte outside "< >" that is not blank
    ASSERT_EQ(f.commands.size(), 1u);
    EXPECT_EQ(f.commands[0], " echo ");
}

TEST(RcdReader, AnOverLongCommandIsReportedOnceAndSkippedToItsEnd) {
    std::string longOne =
        "<" + std::string(RCD_MAX_COMMAND, 'x') + "y" + std::string(500, 'z') + ">";
    Fed f = Feed(longOne + "< echo >");
    EXPECT_EQ(f.tooLong, 1);
    ASSERT_EQ(f.commands.size(), 1u);
    EXPECT_EQ(f.commands[0], " echo ");

    f = Feed("<" + std::string(RCD_MAX_COMMAND, 'x') + ">");  // exactly the limit is taken
    EXPECT_EQ(f.tooLong, 0);
    ASSERT_EQ(f.commands.size(), 1u);
    EXPECT_EQ(f.commands[0].size(), RCD_MAX_COMMAND);
}

struct SendCase {
    const char *command;
    BOOL remote;
    BOOL ok;
    DWORD id, length;
    std::vector<BYTE> data;
    const char *error;  // part of the refusal text
};

TEST(RcdParseSend, TakesWhatPythonCanAndTheProtocolWriteAndRefusesTheRest) {
    const SendCase cases[] = {
        {"send 123 3 11 22 33", FALSE, TRUE, 0x123, 3, {0x11, 0x22, 0x33}, ""},
        {"send 1ABCDEF 8 1 2 3 4 5 6 7 ff",
         FALSE,
         TRUE,
         0x1ABCDEF,
         8,
         {1, 2, 3, 4, 5, 6, 7, 0xFF},
         ""},
        {"send 7FF 0", FALSE, TRUE, 0x7FF, 0, {}, ""},
        {"sendrtr 123 4", TRUE, TRUE, 0x123 | RX_REMOTE_FRAME_FLAG, 4, {}, ""},
        {"send 123", FALSE, FALSE, 0, 0, {}, "needs an identifier"},
        {"send 20000000 0", FALSE, FALSE, 0, 0, {}, "1FFFFFFF"},
        {"send 12G 0", FALSE, FALSE, 0, 0, {}, "1FFFFFFF"},
        {"send 123 9 1 2 3 4 5 6 7 8 9", FALSE, FALSE, 0, 0, {}, "length"},
        {"send 123 2 11", FALSE, FALSE, 0, 0, {}, "differs"},
        {"send 123 1 11 22", FALSE, FALSE, 0, 0, {}, "differs"},
        {"send 123 1 100", FALSE, FALSE, 0, 0, {}, "0 to FF"},
        {"send 123 1 -1", FALSE, FALSE, 0, 0, {}, "0 to FF"},
        {"sendrtr 123 2 11 22", TRUE, FALSE, 0, 0, {}, "no data"},
    };
    for (const SendCase &c : cases) {
        char text[RCD_MAX_COMMAND + 1];
        snprintf(text, sizeof(text), "%s", c.command);
        char *words[RCD_MAX_WORDS];
        DWORD n = RcdSplitWords(text, words, RCD_MAX_WORDS);
        RxMsg msg;
        const char *error = "";
        BOOL ok = RcdParseSend(words, n, c.remote, &msg, &error);
        ASSERT_EQ(ok, c.ok) << c.command;
        if (!ok) {
            EXPECT_NE(std::string(error).find(c.error), std::string::npos)
                << c.command << ": " << error;
            continue;
        }
        EXPECT_EQ(msg.can.id, c.id) << c.command;
        EXPECT_EQ(msg.length, c.length) << c.command;
        for (size_t i = 0; i < 8; ++i)
            EXPECT_EQ(msg.can.data[i], i < c.data.size() ? c.data[i] : 0) << c.command;
    }
}

RibexFrame Entry(DWORD id, DWORD length, std::vector<BYTE> data, DWORD errorCode = 0) {
    RibexFrame f = {};
    f.msg.can.id = id;
    f.msg.length = length;
    for (size_t i = 0; i < data.size(); ++i) f.msg.can.data[i] = data[i];
    f.errorCode = errorCode;
    return f;
}

TEST(RcdFormatEntry, WritesEachKindOfEntryAsOneSpacePrefixedMessage) {
    const struct {
        RibexFrame entry;
        unsigned long long stamp;
        const char *text;
    } cases[] = {
        {Entry(0x123, 3, {0x11, 0x22, 0xAB}), 234242420000ull,
         " < frame 123 23424.242000 1122AB >"},
        {Entry(0x1ABCDEF, 1, {0x01}), 10ull, " < frame 01ABCDEF 0.000001 01 >"},
        // No data: the empty data field keeps its blank.
        {Entry(0x7, 0, {}), 15000000ull, " < frame 007 1.500000  >"},
        {Entry(0x123 | RX_REMOTE_FRAME_FLAG, 4, {}), 20000000ull, " < rtr 123 2.000000 4 >"},
        {Entry(0, 0, {}, 1117), 30000009ull, " < error receive error 1117 at 3.000000 >"},
    };
    for (const auto &c : cases) {
        char out[RCD_MAX_MESSAGE];
        size_t n = RcdFormatEntry(&c.entry, c.stamp, out, sizeof(out));
        EXPECT_EQ(std::string(out, n), c.text);
    }
    RibexFrame full = Entry(0x1FFFFFFF, 8, {1, 2, 3, 4, 5, 6, 7, 8});
    char out[RCD_MAX_MESSAGE];
    EXPECT_GT(RcdFormatEntry(&full, ~0ull, out, sizeof(out)), 0u);  // the longest message fits
    EXPECT_EQ(RcdFormatEntry(&full, 0, out, 20), 0u);               // a short buffer is refused
    RibexFrame bad = Entry(0x123, 9, {});
    EXPECT_EQ(RcdFormatEntry(&bad, 0, out, sizeof(out)), 0u);  // more than 8 bytes: not a frame
}

}  // namespace
