#!/usr/bin/python3
"""The layering check must fail where it should: on a copy of the source tree
it is shown a wrong-way include, a bare include of a file above, and a table
that runs in a loop, and must name each. Exit 0 when it caught all three."""
import os
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(REPO, "tools", "check-layers.py")
SOURCE = os.path.join(REPO, "src", "qmrthreads", "wev")


def run(tree):
    return subprocess.run([sys.executable, CHECK, tree], capture_output=True, text=True)


def add_line(path, line):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(line + "\n" + text)


def expect(condition, what, result):
    if not condition:
        print("FAILED: %s\nexit %d\nstdout:\n%s\nstderr:\n%s" % (what, result.returncode, result.stdout,
                                                                   result.stderr))
        sys.exit(1)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "wev")
        shutil.copytree(SOURCE, tree)
        clean = run(tree)
        expect(clean.returncode == 0, "the tree as it is passes", clean)

        add_line(os.path.join(tree, "core", "params", "param.cpp"), '#include "core/board/board_device.h"')
        wrong = run(tree)
        expect(wrong.returncode == 1, "a wrong-way include fails the check", wrong)
        expect("core/params/param.cpp:1: core/params includes core/board/board_device.h" in wrong.stdout,
               "the check names the file, the line and the folders", wrong)

        shutil.rmtree(tree)
        shutil.copytree(SOURCE, tree)
        add_line(os.path.join(tree, "core", "task", "task.cpp"), '#include "startup.h"')
        bare = run(tree)
        expect(bare.returncode == 1 and "core/task includes startup.h" in bare.stdout,
               "a bare include of the top level from below fails the check", bare)

        with open(os.path.join(tree, "layers.tsv"), "a", encoding="utf-8") as f:
            f.write("core/loop_a\tcore/loop_b\ncore/loop_b\tcore/loop_a\n")
        loop = run(tree)
        expect(loop.returncode == 2 and "loop" in loop.stderr, "a table that runs in a loop is refused", loop)
    print("the layering check caught every wrong-way use it was shown")
    return 0


if __name__ == "__main__":
    sys.exit(main())
