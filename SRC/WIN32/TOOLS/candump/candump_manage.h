// candump's remote-frame replies: enable, disable, list and disable-all on
// one net.
#pragma once

#include "candump_options.h"

// words: the command and its arguments. The exit code: 0 done, 1 the
// server refused, 2 a wrong argument (said with the usage).
int RunManagement(const ToolSpec &optionTable, const std::vector<const wchar_t *> &words,
                  const DumpOptions *o);
