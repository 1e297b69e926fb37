// The option table's reader and the usage printer (see tool_options.h).
#include "tool_options.h"

#include <wchar.h>

#include "ribex_messages.h"
#include "ribex_version.h"
#include "tool_number.h"

namespace {

bool IsHelp(const wchar_t *a) { return wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0; }

// The row that a, "-x" or "--name", names; NULL when none does.
const ToolOption *FindOption(const ToolSpec &optionTable, const wchar_t *a) {
    for (const ToolOption &o : optionTable.options) {
        if (!o.handle) continue;
        if (a[1] == L'-' ? o.longName != NULL && wcscmp(a + 2, o.longName) == 0
                         : o.letter != 0 && a[1] == o.letter && a[2] == 0)
            return &o;
    }
    return NULL;
}

bool IsOption(const wchar_t *a) { return a[0] == L'-' && a[1] != 0; }

// One option at argv[*i] (and its value); false with *error.
bool TakeOption(const ToolSpec &optionTable, int argc, wchar_t **argv, int *i, std::wstring *error) {
    const wchar_t *a = argv[*i];
    const ToolOption *o = FindOption(optionTable, a);
    if (o == NULL) return ToolBad(error, L"unknown option", a);
    const wchar_t *value = NULL;
    if (o->valueName != NULL) {
        if (*i + 1 >= argc) return ToolBad(error, L"option needs a value", a);
        value = argv[++*i];
    }
    std::wstring why;
    if (o->handle(value, &why)) return true;
    *error = std::wstring(a) + L": " + why;
    return false;
}

// "  -b, --bitrate RATE" as the usage lists it.
std::wstring OptionName(const ToolOption &o) {
    std::wstring name = L"  ";
    if (o.letter != 0) name += std::wstring(L"-") + o.letter;
    if (o.letter != 0 && o.longName != NULL) name += L", ";
    if (o.letter == 0) name += L"    ";
    if (o.longName != NULL) name += std::wstring(L"--") + o.longName;
    if (o.valueName != NULL) name += std::wstring(L" ") + o.valueName;
    return name;
}

void AppendOption(std::wstring *text, const std::wstring &name, const wchar_t *help, int column) {
    *text += name;
    if (name.size() < (size_t)column)
        text->append((size_t)column - name.size(), L' ');
    else
        *text += L"  ";
    for (const wchar_t *p = help; *p; ++p) {
        *text += *p;
        if (*p == L'\n' && p[1] != 0) text->append((size_t)column, L' ');
    }
    *text += L'\n';
}

}  // namespace

bool ToolParseArgs(const ToolSpec &optionTable, int argc, wchar_t **argv, ToolArgs *args,
                   std::wstring *error) {
    args->version = RibexVersionAsked(argc, argv) != 0;
    if (args->version) return true;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (optionsEnded || !IsOption(a)) {
            args->operands.push_back(a);
            optionsEnded = optionsEnded || !optionTable.permute;
            continue;
        }
        if (wcscmp(a, L"--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (IsHelp(a)) {
            args->help = true;
            return true;
        }
        if (!TakeOption(optionTable, argc, argv, &i, error)) return false;
    }
    return true;
}

std::wstring ToolUsageText(const ToolSpec &optionTable) {
    std::wstring text = optionTable.synopsis;
    for (const ToolOption &o : optionTable.options) {
        if (!o.handle && o.help != NULL)
            text += std::wstring(o.help) + L"\n";
        else if (o.help != NULL)
            AppendOption(&text, OptionName(o), o.help, optionTable.helpColumn);
    }
    AppendOption(&text, L"  -h, --help", L"this text", optionTable.helpColumn);
    AppendOption(&text, L"  -V, --version", L"print the version", optionTable.helpColumn);
    return text + optionTable.examples;
}

int ToolBegin(const ToolSpec &optionTable, int argc, wchar_t **argv, ToolArgs *args) {
    std::wstring error;
    if (!ToolParseArgs(optionTable, argc, argv, args, &error)) return ToolFail(optionTable, error);
    if (args->version) {
        printf("%s " RIBEX_VERSION_STRING "\n", optionTable.name);
        return 0;
    }
    if (args->help) {
        printf("%ls", ToolUsageText(optionTable).c_str());
        return 0;
    }
    return -1;
}

int ToolFail(const ToolSpec &optionTable, const std::wstring &error) {
    fflush(stdout);
    fprintf(stderr, "%s: %ls\n\n%ls", optionTable.name, error.c_str(), ToolUsageText(optionTable).c_str());
    return 2;
}

int ToolFailOn(const ToolSpec &optionTable, const wchar_t *what, const wchar_t *value) {
    std::wstring error;
    ToolBad(&error, what, value);
    return ToolFail(optionTable, error);
}

bool ToolAnswerVersion(const char *name, int argc, wchar_t **argv) {
    if (!RibexVersionAsked(argc, argv)) return false;
    printf("%s " RIBEX_VERSION_STRING "\n", name);
    return true;
}

bool ToolBad(std::wstring *error, const wchar_t *what, const wchar_t *value) {
    *error = std::wstring(what) + L": '" + (value != NULL ? value : L"") + L"'";
    return false;
}

bool ToolWrong(std::wstring *error, const std::wstring &text) {
    *error = text;
    return false;
}

ToolOption ToolText(const wchar_t *text) { return {0, NULL, NULL, text, ToolOptionFn()}; }

ToolOption ToolFlag(wchar_t letter, const wchar_t *longName, const wchar_t *help, bool *target) {
    return {letter, longName, NULL, help, [target](const wchar_t *, std::wstring *) {
                *target = true;
                return true;
            }};
}

ToolOption ToolFlag(wchar_t letter, const wchar_t *longName, const wchar_t *help, BOOL *target) {
    return {letter, longName, NULL, help, [target](const wchar_t *, std::wstring *) {
                *target = TRUE;
                return true;
            }};
}

ToolOption ToolString(wchar_t letter, const wchar_t *longName, const wchar_t *valueName,
                      const wchar_t *help, std::wstring *target) {
    return {letter, longName, valueName, help, [target](const wchar_t *v, std::wstring *) {
                *target = v;
                return true;
            }};
}

ToolOption ToolNumber(wchar_t letter, const wchar_t *longName, const wchar_t *valueName,
                      const wchar_t *help, const wchar_t *what, DWORD min, DWORD max,
                      DWORD *target) {
    return {letter, longName, valueName, help, [=](const wchar_t *v, std::wstring *error) {
                DWORD n;
                if (!ParseArgDword(v, 10, max, &n) || n < min)
                    return ToolBad(error, (std::wstring(L"bad ") + what).c_str(), v);
                *target = n;
                return true;
            }};
}

ToolOption ToolQueueOption(std::function<void(const wchar_t *name)> set) {
    return {L'q', L"queue", L"QUEUE", L"server queue name (default ribexServerQueue)",
            [set](const wchar_t *v, std::wstring *error) {
                if (*v == 0) return ToolBad(error, L"bad queue name", v);
                set(v);
                return true;
            }};
}

ToolOption ToolUniqueIdOption(const wchar_t *help, std::function<void(DWORD high, DWORD low)> set) {
    return {L'u', L"unique-id", L"HIGH:LOW", help != NULL ? help : L"unique id (hex)",
            [set](const wchar_t *v, std::wstring *error) {
                DWORD high, low;
                if (!ParseArgHexPair(v, &high, &low))
                    return ToolBad(error, L"unique id must be HIGH:LOW in hex", v);
                set(high, low);
                return true;
            }};
}

ToolOption ToolUniqueIdOption(const wchar_t *help, DWORD *high, DWORD *low, bool *given) {
    return ToolUniqueIdOption(help, [=](DWORD h, DWORD l) {
        *high = h;
        *low = l;
        *given = true;
    });
}

ToolOption ToolBitRateOption(const wchar_t *help, DWORD *bitRate) {
    return ToolNumber(L'b', NULL, L"BITRATE",
                      help != NULL ? help : L"bit rate for the bus load (default 500000)",
                      L"bit rate", 1, 0xFFFFFFFF, bitRate);
}

ToolOption ToolCountOption(const wchar_t *help, DWORD *count) {
    return ToolNumber(L'n', NULL, L"COUNT", help, L"count", 1, 0xFFFFFFFF, count);
}

ToolOption ToolRunTimeOption(const wchar_t *help, DWORD *runTimeMs) {
    return ToolNumber(L'T', NULL, L"MS", help != NULL ? help : L"stop after MS milliseconds",
                      L"run time", 1, 0xFFFFFFFF, runTimeMs);
}

ToolOption ToolRunTimeAlias(wchar_t letter, DWORD *runTimeMs) {
    ToolOption o = ToolRunTimeOption(NULL, runTimeMs);
    o.letter = letter;
    o.help = NULL;
    return o;
}

bool ToolCheckNetName(const wchar_t *name, std::wstring *error) {
    if (*name == 0) return ToolBad(error, L"empty net name", name);
    if (wcslen(name) >= RIBEX_NET_NAME_MAX) return ToolBad(error, L"net name too long", name);
    return true;
}
