// The nets a tool reads: opened through the ribex server, or told why not.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ribex_client.h"

// How several nets share one given unique id.
enum class ToolUniqueIds {
    Same,       // every net with the id given
    LowPerNet,  // net i with low + i, so that the server tells them apart
};

// Opens every name into *nets (in order). A net that does not open is said
// on stderr, "tool: cannot open NET: what was tried, what to do", the ones
// opened are closed again and *nets is left empty: FALSE then.
BOOL ToolOpenNets(const char *tool, const std::vector<std::wstring> &names,
                  const RibexClientOptions *client, ToolUniqueIds ids,
                  std::vector<RibexClientNet *> *nets);

// Closes every net of *nets and empties it; a close that fails is said on
// stderr ("tool: close of NET failed, error N"): FALSE then.
BOOL ToolCloseNets(const char *tool, const std::vector<std::wstring> &names,
                   std::vector<RibexClientNet *> *nets);
