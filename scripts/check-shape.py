#!/usr/bin/env python3
"""Measures the shape of the product code and fails when a folder grows past
its ceiling.

For each folder of the table below it prints the longest function (from the
line its definition starts on to its closing brace), the longest file, the
statics that hold state (mutable static data members, namespace-scope
variables and function-scope statics; constants are not counted) and the files
clang-format would change. A folder's numbers may not exceed its row's: the
folders that were brought to the targets (80-line functions, 600-line files)
carry the targets, the others today's values, so that nothing grows while
they are split up. Lower a ceiling when a refactor lowers the number.

  scripts/check-shape.py [--list]   (--list names the offenders)

The measure is lexical (comments and literals are stripped, braces counted),
not a parse: a macro that opens a block can fool it, which the ceilings
absorb.
"""
import os
import re
import subprocess
import sys

# folder: (longest function, longest file, statics, unformatted files).
# The longest matching prefix of a file's path chooses its row. The targets
# are 80-line functions and 600-line files; a row above them holds today's
# value until the refactor that brings it down lowers it:
# - client: everything, while its classes are split and its state injected;
# - lib: lib/conf/client-config.cpp's table function, lib/fs/file-ops.cpp;
# - lib/proto: proto-common.cpp;
# - server: server-main.cpp's main, server-store.cpp (and server-conn.cpp);
# - monitor: screen.cpp's painter, monitor-app.cpp.
CEILINGS = {
    "client": (349, 1022, 26, 10),
    "lib": (92, 869, 16, 0),
    "lib/proto": (80, 952, 1, 0),
    "rsapi": (80, 600, 1, 0),
    "server": (104, 830, 1, 0),
    "monitor": (104, 874, 0, 0),
    "relay": (80, 600, 0, 0),
}
SOURCE_SUFFIXES = (".cpp", ".h", ".c")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def strip_code(text):
    """Blanks comments, string and character literals and preprocessor lines,
    keeping the line breaks so that line numbers hold."""
    out = []
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            # a directive, with its continuation lines
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append("\n")
                    i += 2
                    continue
                i += 1
            continue
        if c == "\n":
            out.append(c)
            at_line_start = True
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
            continue
        m = re.match(r'(?:u8|u|U|L)?R"([^(\s]*)\(', text[i:i + 40])
        if m and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            end = text.find(")" + m.group(1) + '"', i)
            end = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + "\n" * text.count("\n", i, end))
            i = end
            continue
        if c in "\"'":
            if c == "'" and re.search(r"(?<![\w'])\d[\w']*$", text[max(0, i - 40):i]):
                # a digit separator (1'000)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out)


SCOPE_WORDS = re.compile(r"^(?:template\s*<.*>\s*)?(namespace|class|struct|union|extern)\b")
STATE_SKIP = re.compile(
    r"^(?:using|typedef|namespace|template|class|struct|union|enum|extern|friend|"
    r"static_assert|public|private|protected)\b")
CONST_DECL = re.compile(r"^(?:(?:static|inline|thread_local)\s+)*(?:const|constexpr|constinit)\b")
STATIC_WORDS = re.compile(r"^(?:inline\s+)?(?:static|thread_local)\s+(?:thread_local\s+)?")
CTOR_INIT = re.compile(r"\)\s*(?:noexcept\s*)?:(?!:)")


def is_variable(stmt):
    """A declaration (without `static` and its ';') that defines data, not a
    function or a type: an initialiser, or no parameter list."""
    s = re.sub(r"\s+", " ", stmt).strip()
    # the locking annotations (GUARDED_BY(m) and the like) are not parameters
    s = re.sub(r"\b[A-Z][A-Z_]{2,}\([^()]*\)", "", s).strip()
    if not s or STATE_SKIP.match(s) or CONST_DECL.match(s) or re.search(r"\boperator\b", s):
        return False
    head = re.split(r"=|\{", s, 1)[0]
    if "(" in head:
        # a function, or a pointer to one: `void (*hook)(int)` is data
        return bool(re.search(r"\(\s*\*\s*\w+\s*\)", head))
    return bool(re.match(r"^[\w:<>,\s\*&\[\]]+$", head)) and len(head.split()) >= 2


def skip_braces(code, i):
    """From the `{` at i to just past its matching `}`: (new i, lines crossed)."""
    depth, j = 0, i
    while j < len(code):
        if code[j] == "{":
            depth += 1
        elif code[j] == "}":
            depth -= 1
            if depth == 0:
                break
        j += 1
    return j + 1, code.count("\n", i, j + 1)


def measure(path):
    """Returns (lines, [(function length, first line)], [lines of statics])."""
    text = open(path, encoding="utf-8", errors="replace").read()
    code = strip_code(text)
    lines = text.count("\n") + (0 if text.endswith("\n") else 1)
    functions, statics = [], []
    stack = []  # ("namespace" | "class" | "function" | "block", first line)
    stmt, stmt_line, line = "", 1, 1
    i, n = 0, len(code)
    while i < n:
        c = code[i]
        in_function = any(k == "function" for k, _ in stack)
        if c == "{":
            head = re.sub(r"\s+", " ", stmt).strip()
            if in_function:
                stack.append(("block", line))
            else:
                scope = SCOPE_WORDS.match(head)
                if scope and "(" not in head:
                    kind = "namespace" if scope.group(1) in ("namespace", "extern") else "class"
                    stack.append((kind, line))
                elif "(" in head and not (CTOR_INIT.search(head) and re.search(r"\w$", head)) \
                        and "=" not in head.split("(")[0]:
                    stack.append(("function", stmt_line))
                else:
                    # an initialiser (of data, an enum, or a constructor's
                    # member written with braces): part of the statement
                    i, crossed = skip_braces(code, i)
                    line += crossed
                    stmt += "{}"
                    continue
            stmt, stmt_line = "", line
            i += 1
            continue
        if c == "}":
            if stack:
                kind, start = stack.pop()
                if kind == "function":
                    functions.append((line - start + 1, start))
            stmt, stmt_line = "", line
            i += 1
            continue
        if c == ";":
            s = re.sub(r"\s+", " ", stmt).strip()
            s = re.sub(r"^(?:(?:public|private|protected)\s*:(?!:)\s*)+", "", s)
            if in_function:
                if STATIC_WORDS.match(s) and not CONST_DECL.match(s):
                    statics.append(stmt_line)
            elif STATIC_WORDS.match(s):
                if is_variable(STATIC_WORDS.sub("", s)) and not CONST_DECL.match(s):
                    statics.append(stmt_line)
            elif all(k == "namespace" for k, _ in stack) and is_variable(s) and \
                    not re.search(r"\w::\w+\s*(\[[^]]*\]\s*)?(=|\{\}|$)", s):
                # (a definition of a static member was counted at its
                # declaration)
                statics.append(stmt_line)
            stmt, stmt_line = "", line
            i += 1
            continue
        if c == "\n":
            line += 1
        elif not stmt.strip():
            stmt_line = line
        stmt += c
        i += 1
    return lines, functions, statics


def row_for(rel):
    best = None
    for folder in CEILINGS:
        if rel == folder or rel.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def unformatted(files):
    bad = []
    for rel in files:
        r = subprocess.run(["clang-format", "--dry-run", "-Werror", rel], cwd=ROOT,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if r.returncode != 0:
            bad.append(rel)
    return bad


def main():
    show = "--list" in sys.argv[1:]
    files = []
    for top in sorted({f.split("/")[0] for f in CEILINGS}):
        for dirpath, _, names in os.walk(os.path.join(ROOT, top)):
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    files.append(os.path.relpath(os.path.join(dirpath, name), ROOT))
    stats = {folder: {"function": (0, ""), "file": (0, ""), "statics": [], "unformatted": []}
             for folder in CEILINGS}
    for rel in files:
        row = stats[row_for(rel)]
        lines, functions, statics = measure(os.path.join(ROOT, rel))
        if lines > row["file"][0]:
            row["file"] = (lines, rel)
        for length, start in functions:
            if length > row["function"][0]:
                row["function"] = (length, "%s:%d" % (rel, start))
        row["statics"] += ["%s:%d" % (rel, s) for s in statics]
    for rel in unformatted(files):
        stats[row_for(rel)]["unformatted"].append(rel)

    failed = False
    print("%-10s %22s %22s %9s %12s" % ("folder", "longest function", "longest file", "statics",
                                          "unformatted"))
    for folder, ceiling in CEILINGS.items():
        s = stats[folder]
        got = (s["function"][0], s["file"][0], len(s["statics"]), len(s["unformatted"]))
        cells = []
        for value, limit in zip(got, ceiling):
            mark = "" if value <= limit else " !"
            failed |= value > limit
            cells.append("%d/%d%s" % (value, limit, mark))
        print("%-10s %22s %22s %9s %12s" % (folder, *cells))
        over = [name for (value, limit, name) in
                zip(got, ceiling, ("function", "file", "statics", "unformatted")) if value > limit]
        if show or over:
            print("  longest function: %s" % s["function"][1])
            print("  longest file:     %s" % s["file"][1])
            if show or "statics" in over:
                for where in s["statics"]:
                    print("  static: %s" % where)
            for rel in s["unformatted"]:
                print("  unformatted: %s (clang-format -i %s)" % (rel, rel))
    if failed:
        print("check-shape: a folder is past its ceiling (marked !): split the function or "
              "file, inject the state, or format the file", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
