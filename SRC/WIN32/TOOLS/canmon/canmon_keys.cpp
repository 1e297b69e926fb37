#include "canmon_keys.h"

#include <wchar.h>

namespace {

const wchar_t kCtrlC = 3, kBackspace = 8, kEnter = 13, kEscape = 27, kDelete = 127;

MonAction PromptKey(MonKeyState *k, MonViewSettings *view, wchar_t key) {
    if (key == kEscape) {
        k->prompting = false;
        k->message = L"filter unchanged";
    } else if (key == kEnter || key == L'\n') {
        std::wstring error;
        std::vector<CanIdFilter> filters;
        k->prompting = false;
        if (ParseMonFilters(k->input, &filters, &error)) {
            view->filters = filters;
            k->message = filters.empty() ? L"no filter" : L"filter " + MonFilterText(filters);
        } else {
            k->message = error;
        }
    } else if (key == kBackspace || key == kDelete) {
        if (!k->input.empty()) k->input.pop_back();
    } else if (key == kCtrlC) {
        return MonAction::Quit;
    } else if (key >= L' ' && k->input.size() < 200) {
        k->input += key;
    }
    return MonAction::None;
}

}  // namespace

std::wstring MonFilterText(const std::vector<CanIdFilter> &filters) {
    std::wstring text;
    for (const CanIdFilter &f : filters) {
        wchar_t part[24];
        swprintf(part, 24, L"%lX:%lX", f.id, f.mask);
        if (!text.empty()) text += L' ';
        text += part;
    }
    return text;
}

MonAction MonHandleKey(MonKeyState *k, MonViewSettings *view, wchar_t key) {
    if (k->prompting) return PromptKey(k, view, key);
    k->message.clear();
    switch (key) {
    case L'q':
    case L'Q':
    case kEscape:
    case kCtrlC:
        return MonAction::Quit;
    case L'p':
    case L'P':
    case L' ':
        k->paused = !k->paused;
        return MonAction::None;
    case L'c':
    case L'C':
        k->message = L"counters cleared";
        return MonAction::Clear;
    case L'd':
    case L'D':
        return MonAction::Drop;
    case L'i':
    case L'I':
        view->sort = MonSort::Id;
        return MonAction::None;
    case L'r':
    case L'R':
        view->sort = MonSort::Rate;
        return MonAction::None;
    case L'a':
    case L'A':
        view->sort = MonSort::Age;
        return MonAction::None;
    case L's':
    case L'S':
        if (view->haveSignals)
            view->signalsView = !view->signalsView;
        else
            k->message = L"no signals: start canmon with -d FILE.dbc";
        return MonAction::None;
    case L'f':
    case L'F':
        k->prompting = true;
        k->input = MonFilterText(view->filters);
        return MonAction::None;
    }
    return MonAction::None;
}
