// canlog's command line (see canlog_options.h).
#include "canlog_options.h"

#include "tool_number.h"
#include "tool_options.h"

namespace {

const wchar_t kSynopsis[] =
    L"Usage: canlog [options] IN OUT\n"
    L"       canlog --dbc FILE.dbc [options] IN OUT.csv\n"
    L"\n"
    L"Converts a CAN log between the candump log (.log), Vector ASC (.asc) and\n"
    L"Vector BLF (.blf) formats, keeping every frame, error frame, time stamp,\n"
    L"channel, direction and the extended and remote flags. The formats come from\n"
    L"the extensions; IN may be - (standard input, format from -i or from the\n"
    L"content), OUT may be - (standard output, format from -o, else a candump log).\n"
    L"CAN FD frames and other events are skipped and counted. A damaged or cut-off\n"
    L"input is converted up to the damage; canlog says where it stopped and why.\n"
    L"With --dbc, OUT is CSV: a header row, then one row per frame: the time in\n"
    L"seconds, then one column per signal of the database (MESSAGE.SIGNAL), its\n"
    L"physical value where the frame carries the signal, empty elsewhere.\n"
    L"-o jsonl (or OUT.jsonl) writes JSON Lines, one object per record in the\n"
    L"schema every ribex tool shares (docs/json.md), decoded with --dbc if given.\n"
    L"\n"
    L"Options:\n";

const wchar_t kExamples[] =
    L"\n"
    L"A progress line shows on stderr when stderr is a console; statistics go to\n"
    L"stderr at the end. Ctrl+C stops the conversion and leaves a complete file\n"
    L"of what was converted. Exit code 0: done, 1: the input was damaged or a\n"
    L"file failed, 2: wrong arguments.\n"
    L"\n"
    L"Examples:\n"
    L"  canlog drive.blf drive.log            BLF into a candump log\n"
    L"  canlog drive.log drive.blf            candump log into BLF (zlib containers)\n"
    L"  canlog -z 0 drive.asc drive.blf       ASC into BLF with stored containers\n"
    L"  canlog -o asc drive.blf -             BLF as ASC on standard output\n"
    L"  canlog -i log - drive.blf < drive.log candump log from standard input\n"
    L"  canlog --dbc car.dbc drive.blf drive.csv   decoded signals as CSV\n"
    L"  canlog --dbc car.dbc drive.blf drive.jsonl decoded frames as JSON Lines\n";

// Output kinds by name; the log formats as canlogio names them.
bool OutputFromName(const std::wstring &name, CanlogOptions *o) {
    if (name == L"csv") {
        o->outputKind = CanlogOutput::Csv;
        return true;
    }
    if (name == L"jsonl") {
        o->outputKind = CanlogOutput::Jsonl;
        return true;
    }
    o->outputKind = CanlogOutput::Log;
    o->outputFormat = CanLogFormatFromName(name.c_str());
    return o->outputFormat != CanLogFormat::Unknown;
}

bool EndsWith(const std::wstring &path, const wchar_t *extension) {
    size_t n = wcslen(extension);
    return path.size() > n && _wcsicmp(path.c_str() + path.size() - n, extension) == 0;
}

bool TakeOutput(const wchar_t *v, CanlogOptions *o, std::wstring *error) {
    if (!OutputFromName(v, o)) return ToolBad(error, L"unknown format (log, asc, blf, csv, jsonl)", v);
    o->outputGiven = true;
    return true;
}

bool TakeInput(const wchar_t *v, CanlogOptions *o, std::wstring *error) {
    o->inputFormat = CanLogFormatFromName(v);
    if (o->inputFormat == CanLogFormat::Unknown) return ToolBad(error, L"unknown format (log, asc, blf)", v);
    return true;
}

bool TakeLevel(const wchar_t *v, CanlogOptions *o, std::wstring *error) {
    DWORD level = 0;
    if (!ParseArgDword(v, 10, 9, &level)) return ToolBad(error, L"needs a zlib level 0..9", v);
    o->blfCompression = (int)level;
    return true;
}

}  // namespace

ToolSpec CanlogToolSpec(CanlogOptions *o) {
    return {"canlog", kSynopsis, kExamples, 16, true,
        {
            {L'o', nullptr, L"FORMAT",
             L"output format: log, asc, blf, csv or jsonl (default: OUT's\n"
             L"extension)",
             [o](const wchar_t *v, std::wstring *e) { return TakeOutput(v, o, e); }},
            {L'i', nullptr, L"FORMAT", L"input format: log, asc or blf (default: IN's extension)",
             [o](const wchar_t *v, std::wstring *e) { return TakeInput(v, o, e); }},
            {0, L"dbc", L"FILE", L"decode signals with the DBC file FILE: CSV or JSON Lines output",
             [o](const wchar_t *v, std::wstring *e) {
                 if (*v == 0) return ToolWrong(e, L"needs a DBC file");
                 o->dbcPath = v;
                 return true;
             }},
            {L'z', nullptr, L"LEVEL", L"BLF zlib level 0 (stored) .. 9 (default 6)",
             [o](const wchar_t *v, std::wstring *e) { return TakeLevel(v, o, e); }},
            // Not the server queue of the other tools: canlog talks to no
            // server, and scripts rely on -q for quiet.
            ToolFlag(L'q', L"quiet", L"no progress line", &o->quiet),
        }};
}

bool ParseCanlogOptions(int argc, wchar_t **argv, CanlogOptions *o, std::wstring *error) {
    ToolArgs args;
    if (!ToolParseArgs(CanlogToolSpec(o), argc, argv, &args, error)) return false;
    o->help = args.help;
    o->version = args.version;
    if (o->help || o->version) return true;
    if (args.operands.size() > 2) return ToolWrong(error, L"more than two files: " + std::wstring(args.operands[2]));
    std::wstring files[2];
    int noFiles = (int)args.operands.size();
    for (int i = 0; i < noFiles; ++i) files[i] = args.operands[i];
    if (noFiles < 2) return ToolWrong(error, noFiles == 0 ? L"IN and OUT are missing" : L"OUT is missing");
    o->input = files[0];
    o->output = files[1];
    if (!o->outputGiven) {
        if (EndsWith(o->output, L".csv")) {
            o->outputKind = CanlogOutput::Csv;
        } else if (EndsWith(o->output, L".jsonl")) {
            o->outputKind = CanlogOutput::Jsonl;
        } else if (o->output == L"-") {
            o->outputFormat = o->dbcPath.empty() ? CanLogFormat::Candump : CanLogFormat::Unknown;
            if (!o->dbcPath.empty()) o->outputKind = CanlogOutput::Csv;
        } else {
            o->outputFormat = CanLogFormatFromPath(o->output.c_str());
            if (o->outputFormat == CanLogFormat::Unknown && !o->dbcPath.empty())
                o->outputKind = CanlogOutput::Csv;
            else if (o->outputFormat == CanLogFormat::Unknown)
                return ToolWrong(error, L"cannot tell the format of '" + o->output +
                                       L"' (.log, .asc, .blf, .csv, .jsonl, or -o FORMAT)");
        }
    }
    if (o->outputKind == CanlogOutput::Csv && o->dbcPath.empty())
        return ToolWrong(error, L"CSV output needs --dbc FILE.dbc");
    if (o->outputKind == CanlogOutput::Log && !o->dbcPath.empty())
        return ToolWrong(error, L"--dbc decodes into CSV or JSON Lines: give OUT.csv, OUT.jsonl or -o csv|jsonl");
    return true;
}
