#!/usr/bin/env python3
"""Checks that the libraries stand on each other one way.

The floors, from the bottom: platform; support; net and ui (which know
nothing of each other); engine; prefs; installer, with tools beside it. A
source file may include headers of its own folder and of the floors below
it, never of its own floor's other folder or of a floor above. tests/ and
bench/ may include anything. Prints each upward include and exits 1 when
there is one.

Usage: check_floors.py SOURCE_ROOT
"""
import os
import re
import sys

FLOOR = {
    "platform": 0,
    "support": 1,
    "net": 2,
    "ui": 2,
    "engine": 3,
    "prefs": 4,
    "installer": 5,
    "tools": 5,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z_]+)/')
SOURCES = (".h", ".hpp", ".cpp", ".cc", ".c")


def upward_includes(root):
    found = []
    for folder, floor in FLOOR.items():
        top = os.path.join(root, folder)
        for dirpath, _, files in os.walk(top):
            for name in sorted(files):
                if not name.endswith(SOURCES):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m or m.group(1) == folder or m.group(1) not in FLOOR:
                            continue
                        if FLOOR[m.group(1)] >= floor:
                            rel = os.path.relpath(path, root)
                            found.append(f"{rel}:{number}: {folder}/ includes {m.group(1)}/: {line.strip()}")
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    found = upward_includes(sys.argv[1])
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) reach a floor that is not below their own", file=sys.stderr)
        return 1
    print("every include reaches its own folder or a floor below")
    return 0


if __name__ == "__main__":
    sys.exit(main())
