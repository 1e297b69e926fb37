// canlog's command line (see canlog_options.h).
#include "canlog_options.h"

#include "tool_number.h"

namespace {

const char kUsage[] =
    "Usage: canlog [options] IN OUT\n"
    "       canlog --dbc FILE.dbc [options] IN OUT.csv\n"
    "\n"
    "Converts a CAN log between the candump log (.log), Vector ASC (.asc) and\n"
    "Vector BLF (.blf) formats, keeping every frame, error frame, time stamp,\n"
    "channel, direction and the extended and remote flags. The formats come from\n"
    "the extensions; IN may be - (standard input, format from -i or from the\n"
    "content), OUT may be - (standard output, format from -o, else a candump log).\n"
    "CAN FD frames and other events are skipped and counted. A damaged or cut-off\n"
    "input is converted up to the damage; canlog says where it stopped and why.\n"
    "With --dbc, OUT is CSV: a header row, then one row per frame: the time in\n"
    "seconds, then one column per signal of the database (MESSAGE.SIGNAL), its\n"
    "physical value where the frame carries the signal, empty elsewhere.\n"
    "-o jsonl (or OUT.jsonl) writes JSON Lines, one object per record in the\n"
    "schema every ribex tool shares (docs/json.md), decoded with --dbc if given.\n"
    "\n"
    "Options:\n"
    "  -o FORMAT     output format: log, asc, blf, csv or jsonl (default: OUT's\n"
    "                extension)\n"
    "  -i FORMAT     input format: log, asc or blf (default: IN's extension)\n"
    "  --dbc FILE    decode signals with the DBC file FILE: CSV or JSON Lines output\n"
    "  -z LEVEL      BLF zlib level 0 (stored) .. 9 (default 6)\n"
    "  -q            no progress line\n"
    "  -h, --help    this text\n"
    "  -V, --version print the version\n"
    "\n"
    "A progress line shows on stderr when stderr is a console; statistics go to\n"
    "stderr at the end. Ctrl+C stops the conversion and leaves a complete file\n"
    "of what was converted. Exit code 0: done, 1: the input was damaged or a\n"
    "file failed, 2: wrong arguments.\n"
    "\n"
    "Examples:\n"
    "  canlog drive.blf drive.log            BLF into a candump log\n"
    "  canlog drive.log drive.blf            candump log into BLF (zlib containers)\n"
    "  canlog -z 0 drive.asc drive.blf       ASC into BLF with stored containers\n"
    "  canlog -o asc drive.blf -             BLF as ASC on standard output\n"
    "  canlog -i log - drive.blf < drive.log candump log from standard input\n"
    "  canlog --dbc car.dbc drive.blf drive.csv   decoded signals as CSV\n"
    "  canlog --dbc car.dbc drive.blf drive.jsonl decoded frames as JSON Lines\n";

bool Fail(std::wstring *error, const std::wstring &text) {
    *error = text;
    return false;
}

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

}  // namespace

const char *CanlogUsage() {
    return kUsage;
}

bool ParseCanlogOptions(int argc, wchar_t **argv, CanlogOptions *o, std::wstring *error) {
    std::wstring files[2];
    int noFiles = 0;
    bool outputGiven = false;
    for (int i = 1; i < argc; i++) {
        std::wstring a = argv[i];
        auto value = [&](std::wstring *v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::wstring v;
        if (a == L"-h" || a == L"--help") {
            o->help = true;
        } else if (a == L"-V" || a == L"--version") {
            o->version = true;
        } else if (a == L"-q") {
            o->quiet = true;
        } else if (a == L"-o") {
            if (!value(&v)) return Fail(error, L"-o needs a format");
            if (!OutputFromName(v, o)) return Fail(error, L"-o: unknown format '" + v + L"' (log, asc, blf, csv, jsonl)");
            outputGiven = true;
        } else if (a == L"-i") {
            if (!value(&v)) return Fail(error, L"-i needs a format");
            o->inputFormat = CanLogFormatFromName(v.c_str());
            if (o->inputFormat == CanLogFormat::Unknown)
                return Fail(error, L"-i: unknown format '" + v + L"' (log, asc, blf)");
        } else if (a == L"--dbc") {
            if (!value(&v) || v.empty()) return Fail(error, L"--dbc needs a DBC file");
            o->dbcPath = v;
        } else if (a == L"-z") {
            DWORD level = 0;
            if (!value(&v) || !ParseArgDword(v.c_str(), 10, 9, &level))
                return Fail(error, L"-z needs a zlib level 0..9");
            o->blfCompression = (int)level;
        } else if (a.size() > 1 && a[0] == L'-') {
            return Fail(error, L"unknown option " + a);
        } else {
            if (noFiles == 2) return Fail(error, L"more than two files: " + a);
            files[noFiles++] = a;
        }
    }
    if (o->help || o->version) return true;
    if (noFiles < 2) return Fail(error, noFiles == 0 ? L"IN and OUT are missing" : L"OUT is missing");
    o->input = files[0];
    o->output = files[1];
    if (!outputGiven) {
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
                return Fail(error, L"cannot tell the format of '" + o->output +
                                       L"' (.log, .asc, .blf, .csv, .jsonl, or -o FORMAT)");
        }
    }
    if (o->outputKind == CanlogOutput::Csv && o->dbcPath.empty())
        return Fail(error, L"CSV output needs --dbc FILE.dbc");
    if (o->outputKind == CanlogOutput::Log && !o->dbcPath.empty())
        return Fail(error, L"--dbc decodes into CSV or JSON Lines: give OUT.csv, OUT.jsonl or -o csv|jsonl");
    return true;
}
