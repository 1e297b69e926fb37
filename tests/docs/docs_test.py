#!/usr/bin/python3
"""The manual says what the tools do: docs/ against the built tools.

Every shipped tool (a folder of SRC/WIN32/TOOLS that builds the executable
of its name) has a page docs/TOOL.md whose "## Options" heading is followed
by one code block holding exactly what `TOOL -h` prints, line for line.
Every command line of README.md and docs/*.md that runs a tool (in a code
block or an inline code span: `./ribex.sh wine TOOL ...`, `TOOL ...`,
`$ TOOL ...`, `start "title" TOOL ...`) names a program that exists, and
uses only options that the tool's -h lists, each with the value it takes;
`./ribex.sh X` names one of ribex.sh's commands. The option table is read
from the -h text itself, so a renamed or dropped option fails every example
that still uses it.

usage: docs_test.py WINE_RUN BIN_DIR SOURCE_DIR
"""
import difflib
import os
import re
import shlex
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ribex_tools  # noqa: E402
from ribex_tools import check, run  # noqa: E402

WINE_RUN, BIN_DIR, SOURCE = sys.argv[1:4]
ribex_tools.use_build(WINE_RUN, BIN_DIR)
DOCS = os.path.join(SOURCE, "docs")
WINE_BUILTINS = {"cmd"}


def shipped_tools():
    """The tools the package installs: a folder whose CMakeLists builds the
    executable named like the folder (cmake/ribex_package.cmake)."""
    tools_dir = os.path.join(SOURCE, "SRC", "WIN32", "TOOLS")
    tools = []
    for name in sorted(os.listdir(tools_dir)):
        lists = os.path.join(tools_dir, name, "CMakeLists.txt")
        if os.path.isfile(lists):
            with open(lists, encoding="utf-8") as f:
                if re.search(r"add_executable\(%s\s" % re.escape(name), f.read()):
                    tools.append(name)
    return tools


def ribex_sh_commands():
    with open(os.path.join(SOURCE, "ribex.sh"), encoding="utf-8") as f:
        return set(re.findall(r"^  ([a-z]+)\) ", f.read(), re.M))


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# --- the pages' Options blocks -------------------------------------------

def code_blocks(lines):
    """(first line number, lines) of every fenced or indented code block."""
    blocks = []
    i = 0
    previous_blank = True
    while i < len(lines):
        line = lines[i]
        if line.lstrip().startswith("```"):
            start = i + 1
            i += 1
            while i < len(lines) and not lines[i].lstrip().startswith("```"):
                i += 1
            blocks.append((start, lines[start:i]))
            i += 1
            previous_blank = True
            continue
        if previous_blank and line.startswith("    ") and line.strip():
            start = i
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                i += 1
            body = [b[4:] for b in lines[start:i]]
            while body and not body[-1].strip():
                body.pop()
            blocks.append((start, body))
            previous_blank = False
            continue
        previous_blank = not line.strip()
        i += 1
    return blocks


def options_block(text):
    """The code block after the page's "## Options" heading, or None."""
    lines = text.split("\n")
    try:
        heading = next(i for i, line in enumerate(lines) if line.strip() == "## Options")
    except StopIteration:
        return None
    end = next((i for i in range(heading + 1, len(lines)) if lines[i].startswith("#")), len(lines))
    blocks = [b for b in code_blocks(lines[heading + 1:end])]
    return blocks[0][1] if blocks else None


def normal_lines(lines):
    """Lines without trailing blanks (Markdown keeps none) and without
    trailing empty lines."""
    out = [line.rstrip() for line in lines]
    while out and not out[-1]:
        out.pop()
    return out


def block_drift(block, usage):
    """The unified diff of page and -h, empty when they agree."""
    return list(difflib.unified_diff(normal_lines(block), normal_lines(usage.split("\n")),
                                     "page", "-h", lineterm="", n=1))


# --- the option tables in the -h texts -----------------------------------

# A value name: capitals or brackets ("MS", "[NET=]FILE.dbc"), or any word
# the help stands two blanks away from ("a|d").
OPTION_ROW = re.compile(r"^(-[A-Za-z0-9](?:, --[A-Za-z][\w-]*)?|--[A-Za-z][\w-]*)"
                        r"( (?:[A-Z\[]\S*|\S+(?=\s{2,}|$)))?")
ALIAS = re.compile(r"\((-[A-Za-z0-9]), the older letter, too\)")
PLACEHOLDER = re.compile(r"^[A-Z][A-Z0-9_]*(?![a-z])")


def synopsis_options(tool, lines):
    """{option: takes a value} that the synopsis names ("usage: TOOL ...")
    and its lines up to the next blank one: "-g", "--dbc FILE", "[-T MS]";
    a value is a placeholder in capitals right after the option."""
    table = {}
    in_synopsis = False
    for line in lines:
        words = line.split()
        if words and words[0].lower() == "usage:":
            in_synopsis = True
            words = words[1:]
        if not words:
            in_synopsis = False
        if not in_synopsis or not words or words[0] != tool:
            continue
        for k, raw in enumerate(words):
            name = raw.lstrip("[").rstrip("]").rstrip(".")
            if not re.match(r"^--?[A-Za-z]", name):
                continue
            after = words[k + 1] if k + 1 < len(words) else ""
            bracket_closed = raw.startswith("[") and raw.endswith("]") or not raw.startswith("[") and after.startswith("[")
            table[name] = table.get(name, False) or (not bracket_closed and bool(PLACEHOLDER.match(after)))
    return table


def parse_option_table(tool, usage):
    """{"-x" or "--name": takes a value} from the usage: its option lines
    ("-x", "-x, --name" or "--name" at the start, a value name after one
    blank if the option takes one, then the help), older letters a help
    names "(-t, the older letter, too)", and the options of the synopsis."""
    lines = usage.split("\n")
    table = synopsis_options(tool, lines)
    for line in lines:
        match = OPTION_ROW.match(line.strip())
        if not match:
            continue
        names, value = match.groups()
        for name in names.split(", "):
            table[name] = table.get(name, False) or value is not None
        for alias in ALIAS.findall(line):
            table[alias] = table.get(alias, False) or value is not None
    return table


def example_faults(words, table):
    """What is wrong with a tool's arguments by its option table: unknown
    options and options without their value. Empty when nothing is."""
    faults = []
    i = 0
    while i < len(words):
        w = words[i]
        if w == "--":
            break
        if w.startswith("-") and len(w) > 1 and not re.match(r"^-\d", w):
            if w not in table:
                faults.append("unknown option %s" % w)
            elif table[w]:
                if i + 1 >= len(words):
                    faults.append("%s without its value" % w)
                i += 1
        i += 1
    return faults


# --- the command lines of the manual -------------------------------------

def command_words(text):
    """The words of a command line, or None when it is no command: cut at a
    run of two blanks (the comment or description after it), split as a
    shell does, "#" comments dropped."""
    head = re.split(r"\s{2,}", text.strip(), maxsplit=1)[0]
    if head.startswith("$ "):
        head = head[2:]
    try:
        words = shlex.split(head, comments=True)
    except ValueError:
        return None
    if len(words) >= 2 and words[0] == "start" and head.split()[1].startswith('"'):
        words = words[2:]
    return words


def inline_spans(text):
    """Inline code spans of the prose (code blocks left out), joined across
    line breaks."""
    prose = []
    for line in text.split("\n"):
        prose.append("" if line.startswith("    ") or line.lstrip().startswith("```") else line)
    return [s.replace("\n", " ") for s in re.findall(r"`([^`]+)`", "\n".join(prose))]


def command_lines(path):
    """(where, text, inline) of every line that may run a program."""
    text = read(path)
    lines = text.split("\n")
    found = []
    for start, body in code_blocks(lines):
        for k, line in enumerate(body):
            found.append(("%s:%d" % (os.path.relpath(path, SOURCE), start + k + 1), line, False))
    for span in inline_spans(text):
        found.append(("%s: `%s`" % (os.path.relpath(path, SOURCE), span), span, True))
    return found


def check_command(where, text, tables, commands, inline):
    """Checks one line; returns whether it ran a tool (for the count). An
    inline span may name an option without its value (`canpeer -p`)."""
    words = command_words(text)
    if not words:
        return False
    program, args = words[0], words[1:]
    if program == "./ribex.sh":
        if not args:
            return False
        check(args[0] in commands, "%s: ./ribex.sh %s is a command of ribex.sh" % (where, args[0]))
        if args[0] != "wine" or len(args) < 2 or args[1].isupper():
            return True
        program, args = args[1], args[2:]
        if program not in tables:
            exists = (program in WINE_BUILTINS or os.path.isfile(os.path.join(BIN_DIR, program + ".exe"))
                      or os.path.isfile(os.path.join(SOURCE, program)))
            check(exists, "%s: ./ribex.sh wine %s names a program of the build" % (where, program))
            return True
    elif program not in tables:
        return False
    faults = example_faults(args, tables[program])
    if inline:
        faults = [f for f in faults if not f.endswith("without its value")]
    check(not faults, "%s: %s" % (where, text.strip()), "; ".join(faults))
    return True


def main():
    tools = shipped_tools()
    check(len(tools) >= 10, "shipped tools found: %s" % " ".join(tools))
    usages = {}
    for tool in tools:
        code, out, err = run(tool, "-h", timeout=60)
        if check(code == 0 and out.strip(), "%s -h prints its usage" % tool, "exit %s\n%s" % (code, err)):
            usages[tool] = out.replace("\r\n", "\n")

    # Each page's Options block is the tool's -h, line for line.
    for tool, usage in usages.items():
        page = os.path.join(DOCS, tool + ".md")
        if not check(os.path.isfile(page), "docs/%s.md exists" % tool):
            continue
        block = options_block(read(page))
        if not check(block is not None, "docs/%s.md has a code block under '## Options'" % tool):
            continue
        drift = block_drift(block, usage)
        check(not drift, "docs/%s.md's Options block is `%s -h`" % (tool, tool), "\n".join(drift[:40]))

    tables = {tool: parse_option_table(tool, usage) for tool, usage in usages.items()}
    for tool, table in tables.items():
        check("-h" in table and "-V" in table, "%s's option table read from -h (%d names)" % (tool, len(table)))

    # The checks can fail: a drifted line and an unknown option are seen.
    if "candump" in usages:
        drifted = usages["candump"].replace("stop after", "halt after", 1).split("\n")
        check(block_drift(drifted, usages["candump"]), "a changed line of an Options block is a drift")
        check(example_faults(["--no-such-option", "CAN1"], tables["candump"]) and
              example_faults(["CAN1", "-n"], tables["candump"]) and
              not example_faults(["-n", "20", "-T", "500", "CAN1"], tables["candump"]),
              "an unknown option and a missing value are faults, a good line is none")

    # Every command line of the manual.
    commands = ribex_sh_commands()
    pages = [os.path.join(SOURCE, "README.md")] + sorted(
        os.path.join(DOCS, name) for name in os.listdir(DOCS) if name.endswith(".md"))
    checked = 0
    for page in pages:
        for where, text, inline in command_lines(page):
            checked += 1 if check_command(where, text, tables, commands, inline) else 0
    check(checked >= 100, "command lines checked: %d" % checked)

    # The client API reference names every function the DLL exports.
    api = read(os.path.join(DOCS, "client-api.md"))
    definition = read(os.path.join(SOURCE, "SRC", "WIN32", "CLIENT", "ribexclient", "ribexclient.def"))
    exports = re.findall(r"^\s+(Ribex\w+)\s*$", definition, re.M)
    check(len(exports) >= 15, "exports of ribexclient.def: %d" % len(exports))
    for name in exports:
        check(re.search(r"^\| `%s\(" % name, api, re.M), "docs/client-api.md has a row for %s" % name)

    # The index lists every page.
    index = read(os.path.join(DOCS, "README.md"))
    for page in pages[1:]:
        name = os.path.basename(page)
        if name != "README.md":
            check("(%s)" % name in index, "docs/README.md links %s" % name)
    check("docs/README.md" in read(os.path.join(SOURCE, "README.md")), "README.md links docs/README.md")
    readme_lines = read(os.path.join(SOURCE, "README.md")).count("\n")
    check(readme_lines < 200, "README.md is under 200 lines (%d)" % readme_lines)
    return ribex_tools.summary()


if __name__ == "__main__":
    sys.exit(main())
