"""Writes the module-definition file of python3.dll for the limited API a header set declares.

Reads the preprocessor's outputs of Python.h (with line markers) built for Windows with
Py_LIMITED_API set, and lists every function and data object the Python headers declare as
imported from the interpreter's DLL; data objects are marked DATA, as the import library needs.
Some names depend on other macros (PY_SSIZE_T_CLEAN renames the argument parsers), so the
outputs of several runs are joined.

    python python3_def.py PYTHON_INCLUDE_DIR OUTPUT_DEF PREPROCESSED_FILE...
"""

import os
import re
import sys

# __declspec(dllimport) as the preprocessor leaves it for a GNU-style Windows target
IMPORTED = r"__attribute__\s*\(\(\s*(?:__)?dllimport(?:__)?\s*\)\)"


def strip_attributes(text: str) -> str:
    """Drops every __attribute__((...)), whose parentheses nest."""
    out = []
    i = 0
    while True:
        j = text.find("__attribute__", i)
        if j < 0:
            out.append(text[i:])
            return "".join(out)
        out.append(text[i:j])
        k = text.index("(", j)
        depth = 0
        while True:
            depth += {"(": 1, ")": -1}.get(text[k], 0)
            k += 1
            if depth == 0:
                break
        i = k


def python_text(preprocessed: str, include_dir: str) -> str:
    """The lines that came from the Python headers, by the preprocessor's line markers."""
    include_dir = os.path.realpath(include_dir)
    keep = False
    lines = []
    for line in preprocessed.splitlines():
        marker = re.match(r'# \d+ "(.*)"', line)
        if marker:
            keep = os.path.realpath(marker.group(1)).startswith(include_dir + os.sep)
            continue
        if keep:
            lines.append(line)
    return "\n".join(lines)


def exports(text: str) -> dict[str, bool]:
    """Name -> whether it is data, for every imported declaration."""
    names: dict[str, bool] = {}
    for match in re.finditer(r"(extern\s+)?" + IMPORTED + r"([^;{}]*);", text):
        is_data = match.group(1) is not None
        decl = strip_attributes(match.group(2))
        pointer = re.match(r"[^(]*\(\s*\*\s*([A-Za-z_]\w*)\s*\)", decl)  # int (*hook)(void)
        if is_data and pointer:
            name = pointer.group(1)
        elif is_data:
            name = re.findall(r"[A-Za-z_]\w*", decl.split("[")[0])[-1]
        else:
            name = re.findall(r"([A-Za-z_]\w*)\s*\(", decl)[0]
        names[name] = is_data
    return names


def main() -> None:
    include_dir, output, *preprocessed = sys.argv[1:]
    names: dict[str, bool] = {}
    for path in preprocessed:
        with open(path, encoding="utf-8", errors="replace") as f:
            names.update(exports(python_text(f.read(), include_dir)))
    if len(names) < 500 or "PyType_FromSpec" not in names or not names.get("_Py_NoneStruct"):
        sys.exit(f"{preprocessed}: these are not the limited API's declarations ({len(names)})")
    # every name of the API carries its prefix; anything else is a declaration misread
    misread = sorted(n for n in names if not re.match(r"_?Py", n))
    if misread:
        sys.exit(f"{preprocessed}: declarations misread as {misread}")
    with open(output, "w", encoding="ascii") as f:
        f.write("LIBRARY python3.dll\nEXPORTS\n")
        for name in sorted(names):
            f.write(f"    {name}{' DATA' if names[name] else ''}\n")


if __name__ == "__main__":
    main()
