#!/usr/bin/python3
"""Holds every #include "..." of the program's sources against the table of
allowed folder-to-folder uses in src/qmrthreads/wev/layers.tsv.

A file belongs to the deepest folder of the table that holds it; a folder may
include its own headers and those of every folder it may use, directly or
through the folders it names. An include that names no file of the tree
(a generated header) is taken by its folder like any other.

  tools/check-layers.py [SOURCE_DIR]     (default: src/qmrthreads/wev)

Prints one line per wrong-way include and exits 1 when there is any, 0
otherwise. A table that names an unknown folder, or a loop in the table, is
an error too (exit 2).
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c")


def read_table(path):
    uses = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            folder, named = fields[0], [n for n in fields[1:] if n != "-"]
            if folder in uses:
                raise ValueError("%s:%d: %s is listed twice" % (path, number, folder))
            uses[folder] = named
    return uses


def expand_groups(uses):
    """A name in a row stands for that folder of the table and every folder
    of the table under it ('core' for every folder of core/)."""
    expanded = {}
    for folder, named in uses.items():
        out = []
        for n in named:
            members = [f for f in uses if f == n or f.startswith(n + "/")]
            if not members:
                raise ValueError("%s may use %s, which is no folder of the table" % (folder, n))
            out.extend(members)
        expanded[folder] = out
    return expanded


def closure(uses):
    reach = {}

    def visit(folder, path):
        if folder in reach:
            return reach[folder]
        if folder in path:
            raise ValueError("the table runs in a loop: %s" % " -> ".join(path + [folder]))
        result = set()
        for n in uses[folder]:
            result.add(n)
            result |= visit(n, path + [folder])
        reach[folder] = result
        return result

    for folder in uses:
        visit(folder, [])
    return reach


def owner(path, folders):
    """The deepest folder of the table that holds path (relative, '/' separated)."""
    best = "."
    for folder in folders:
        if folder != "." and (path == folder or path.startswith(folder + "/")):
            if best == "." or len(folder) > len(best):
                best = folder
    return best


def resolve(include, including, root):
    """The include as a path from the source root: written from there
    (\"core/task/task.h\"), or a bare name beside the including file."""
    if "/" in include:
        return include
    beside = os.path.join(os.path.dirname(including), include)
    if os.path.exists(os.path.join(root, beside)):
        return beside.replace(os.sep, "/")
    return include


def sources(root):
    for dirpath, _, names in os.walk(root):
        for name in sorted(names):
            if name.endswith(SOURCE_ENDINGS):
                full = os.path.join(dirpath, name)
                yield os.path.relpath(full, root).replace(os.sep, "/"), full


def check(root, table_path):
    uses = expand_groups(read_table(table_path))
    reach = closure(uses)
    folders = list(uses)
    wrong = []
    for rel, full in sources(root):
        src = owner(rel, folders)
        with open(full, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = resolve(m.group(1), rel, root)
                dst = owner(target, folders)
                if dst == src or dst in reach[src]:
                    continue
                wrong.append("%s:%d: %s includes %s (%s may not use %s)" % (rel, number, src, target, src, dst))
    return wrong


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src", "qmrthreads", "wev")
    table = os.path.join(root, "layers.tsv")
    try:
        wrong = check(root, table)
    except (OSError, ValueError) as e:
        print("check-layers: %s" % e, file=sys.stderr)
        return 2
    for line in wrong:
        print(line)
    if wrong:
        print("check-layers: %d include(s) run against %s" % (len(wrong), table), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
