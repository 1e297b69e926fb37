// What a key does in canmon's console: the keys act at once, 'f' opens a
// prompt line for the filter that Enter applies and Esc leaves.
#pragma once

#include <string>

#include "canmon_view.h"

enum class MonAction { None, Quit, Clear, Drop };

struct MonKeyState {
    bool paused = false;
    bool prompting = false;  // typing a filter
    std::wstring input;      // the filter being typed
    std::wstring message;    // shown on the status line until the next key
};

MonAction MonHandleKey(MonKeyState *k, MonViewSettings *view, wchar_t key);

// The filters as they are typed: "100:7F0 200:7FF", empty for none.
std::wstring MonFilterText(const std::vector<CanIdFilter> &filters);
