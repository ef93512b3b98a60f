#!/usr/bin/env python3
"""Checks that a Windows program imports only functions its oldest supported Windows has.

Reads the program's import table with objdump and compares every DLL!function with the allow-list of its
architecture (tests/imports/win32.allow or win64.allow). Each entry there says where the function's oldest Windows
was taken from. An import missing from the list fails the check, named together with the objects and libraries
that referenced it, taken from the linker's map file with its cross-reference table (-Map FILE --cref).

Usage: check_imports.py --objdump OBJDUMP --allow LIST --map MAP PROGRAM
"""

import argparse
import os
import re
import subprocess
import sys


def read_allow_list(path):
    allowed = {}
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        entry, _, source = line.partition(" ")
        dll, bang, function = entry.partition("!")
        if not bang or not dll or not function or not source.strip():
            sys.exit(f"{path}:{number}: expected 'dll!function  where its oldest Windows comes from', got {line!r}")
        allowed[(dll.lower(), function)] = source.strip()
    return allowed


def read_imports(objdump, program):
    run = subprocess.run([objdump, "-p", program], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{objdump} -p {program} failed: {run.stderr.strip()}")
    imports, dll = [], None
    for line in run.stdout.splitlines():
        if m := re.match(r"\s*DLL Name: (\S+)", line):
            dll = m.group(1).lower()
        elif dll and (m := re.match(r"\t[0-9a-f]+\t +[0-9]+ +(\S+)$", line)):
            imports.append((dll, m.group(1)))
    if not any(d == "kernel32.dll" for d, _ in imports):
        sys.exit(f"no kernel32.dll imports read from {program}: objdump's output was not understood")
    return imports


def read_cross_references(map_path):
    """symbol -> [defining file, referencing files...] from the map's cross-reference table."""
    table, symbol, started = {}, None, False
    for line in open(map_path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("Cross Reference Table"):
            started = True
            continue
        if not started or not line.strip() or line.startswith("Symbol "):
            continue
        if not line[0].isspace():
            symbol, _, rest = line.partition(" ")
            table[symbol] = [rest.strip()] if rest.strip() else []
        elif symbol is not None:
            table[symbol].append(line.strip())
    if not started:
        sys.exit(f"{map_path} has no cross-reference table: link with -Wl,--cref")
    return table


def brought_in_by(function, table):
    # The call may be direct or through the import slot; on 32-bit x86 the map shows the names with a stdcall
    # suffix (GetTickCount64@0, _imp__GetTickCount64@0).
    pattern = re.compile(r"^(_*imp_+)?_?" + re.escape(function) + r"(@\d+)?$")
    users = []
    for symbol, files in table.items():
        if pattern.match(symbol):
            users += [f for f in files[1:] if f not in users]
    return users


def short(path):
    # /usr/x86_64-w64-mingw32/lib/libwinpthread.a(misc.o) -> libwinpthread.a(misc.o); build objects stay whole.
    m = re.match(r"^(.*/)?([^/(]+\.a\(.*\))$", path)
    return m.group(2) if m else os.path.normpath(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--allow", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("program")
    args = parser.parse_args()

    allowed = read_allow_list(args.allow)
    imports = read_imports(args.objdump, args.program)
    name, allow_name = os.path.basename(args.program), os.path.basename(args.allow)
    unknown = [(dll, function) for dll, function in imports if (dll, function) not in allowed]
    if not unknown:
        print(f"{name}: all {len(imports)} imports are in {allow_name}")
        return 0
    table = read_cross_references(args.map)
    for dll, function in unknown:
        users = brought_in_by(function, table)
        print(f"{name} imports {dll}!{function}, which is not in {allow_name}: the oldest supported Windows may "
              f"lack it. Brought in by: {', '.join(short(u) for u in users) or 'no reference found in ' + args.map}")
    print(f"If it is older than the oldest supported Windows, add it to {args.allow} with where that was taken "
          f"from; if not, look it up at run time where it is used.")
    return 1


if __name__ == "__main__":
    sys.exit(main())
