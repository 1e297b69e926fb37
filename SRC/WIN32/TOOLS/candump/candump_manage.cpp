#include "candump_manage.h"

#include <stdio.h>
#include <wchar.h>

#include "candump_line.h"
#include "tool_nets.h"
#include "tool_number.h"

namespace {

enum class Command { Enable, Disable, List, DisableAll };

Command CommandOf(const wchar_t *word) {
    if (wcscmp(word, L"enable") == 0) return Command::Enable;
    if (wcscmp(word, L"disable") == 0) return Command::Disable;
    if (wcscmp(word, L"list") == 0) return Command::List;
    return Command::DisableAll;
}

void PrintError(const char *what, const wchar_t *net) {
    fprintf(stderr, "candump: %s %ls failed, error %lu\n", what, net, GetLastError());
}

bool ListReplies(RibexClientNet *pNet, const wchar_t *net) {
    for (DWORD index = 0;; ++index) {
        DWORD id = 0;
        if (!RibexEnumRemFrame(pNet, index, &id)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) return true;
            PrintError("list of", net);
            return false;
        }
        char text[32];
        FormatCanId(id & ~RX_REMOTE_FRAME_FLAG, text, sizeof(text));
        printf("%ls %s%s\n", net, text, (id & RX_REMOTE_FRAME_FLAG) ? " (bit 31 set)" : "");
    }
}

bool Carry(Command command, RibexClientNet *pNet, const wchar_t *net, DWORD canId, DWORD length) {
    switch (command) {
    case Command::Enable:
        if (RibexEnableRemFrame(pNet, canId, length)) return true;
        PrintError("enable on", net);
        return false;
    case Command::Disable:
        if (RibexDisableRemFrame(pNet, canId)) return true;
        PrintError("disable on", net);
        return false;
    case Command::List:
        return ListReplies(pNet, net);
    case Command::DisableAll:
        if (RibexDisableAllRemFrames(pNet)) return true;
        PrintError("disable-all on", net);
        return false;
    }
    return false;
}

}  // namespace

int RunManagement(const ToolSpec &optionTable, const std::vector<const wchar_t *> &words,
                  const DumpOptions *o) {
    std::wstring error;
    if (words.size() < 2) {
        ToolBad(&error, L"missing net for", words[0]);
        return ToolFail(optionTable, error);
    }
    Command command = CommandOf(words[0]);
    const wchar_t *net = words[1];
    DWORD canId = 0, length = 0;
    if (command == Command::Enable || command == Command::Disable) {
        if (words.size() < 3 || !ParseArgDword(words[2], 16, 0xFFFFFFFF, &canId)) {
            ToolBad(&error, L"bad or missing identifier", words.size() < 3 ? L"" : words[2]);
            return ToolFail(optionTable, error);
        }
        if (command == Command::Enable && words.size() >= 4 &&
            !ParseArgDword(words[3], 10, 0xFFFFFFFF, &length)) {
            ToolBad(&error, L"bad length", words[3]);
            return ToolFail(optionTable, error);
        }
    }
    std::vector<RibexClientNet *> nets;
    if (!ToolOpenNets("candump", {net}, &o->client, ToolUniqueIds::Same, &nets)) return 1;
    int rc = Carry(command, nets[0], net, canId, length) ? 0 : 1;
    fflush(stdout);
    if (!ToolCloseNets("candump", {net}, &nets)) rc = 1;
    return rc;
}
