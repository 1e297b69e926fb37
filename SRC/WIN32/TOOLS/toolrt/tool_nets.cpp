#include "tool_nets.h"

#include <stdio.h>

namespace {

BOOL OpenOne(const char *tool, const wchar_t *name, const RibexClientOptions *client,
             RibexClientNet **ppNet) {
    RibexOpenFailure failure;
    if (RibexOpenNetEx(name, client, ppNet, &failure)) return TRUE;
    wchar_t text[768];
    RibexDescribeOpenFailure(name, &failure, text, sizeof(text) / sizeof(text[0]));
    fprintf(stderr, "%s: cannot open %ls: %ls\n", tool, name, text);
    return FALSE;
}

}  // namespace

BOOL ToolOpenNets(const char *tool, const std::vector<std::wstring> &names,
                  const RibexClientOptions *client, ToolUniqueIds ids,
                  std::vector<RibexClientNet *> *nets) {
    RibexClientOptions options = *client;
    for (size_t i = 0; i < names.size(); ++i) {
        if (ids == ToolUniqueIds::LowPerNet) options.uniqueIdLow = client->uniqueIdLow + (DWORD)i;
        RibexClientNet *pNet = NULL;
        if (!OpenOne(tool, names[i].c_str(), &options, &pNet)) {
            for (RibexClientNet *pOpen : *nets) RibexCloseNet(pOpen);
            nets->clear();
            return FALSE;
        }
        nets->push_back(pNet);
    }
    return TRUE;
}

BOOL ToolCloseNets(const char *tool, const std::vector<std::wstring> &names,
                   std::vector<RibexClientNet *> *nets) {
    BOOL ok = TRUE;
    for (size_t i = 0; i < nets->size(); ++i) {
        if (RibexCloseNet((*nets)[i])) continue;
        fprintf(stderr, "%s: close of %ls failed, error %lu\n", tool,
                i < names.size() ? names[i].c_str() : L"?", GetLastError());
        ok = FALSE;
    }
    nets->clear();
    return ok;
}
