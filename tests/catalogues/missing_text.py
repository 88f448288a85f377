#!/usr/bin/python3
"""The catalogue check must fail where it should: on a copy of the templates,
the sources and the catalogues it is shown, one at a time, a text whose German
entry is gone (from a template, from a lookup's argument, from a marked
table), a German entry left empty, catalogues with different texts, a
translation that loses or swaps a placeholder, a new template text with
parentheses in it and a catalogue it cannot read, and must name each. Exit 0
when it caught all of them."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(REPO, "tools", "check-catalogues.py")
PARTS = (os.path.join("romfs", "po"), os.path.join("romfs", "templates"), os.path.join("src", "qmrthreads", "wev"))


def copy_tree(root):
    if os.path.exists(root):
        shutil.rmtree(root)
    for part in PARTS:
        shutil.copytree(os.path.join(REPO, part), os.path.join(root, part))


def rewrite(root, rel, change):
    path = os.path.join(root, rel)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    changed = change(text)
    if changed == text:
        raise AssertionError("the case changed nothing in %s" % rel)
    with open(path, "w", encoding="utf-8") as f:
        f.write(changed)


def drop_entry(msgid):
    """Removes the entry of msgid (and a flag line above it) from a catalogue."""
    entry = re.compile(r'(?:#,[^\n]*\n)?msgid "%s"\nmsgstr "[^\n]*"\n' % re.escape(msgid))
    return lambda text: entry.sub("", text, count=1)


def set_translation(msgid, translated):
    entry = re.compile(r'(msgid "%s"\nmsgstr )"[^\n]*"' % re.escape(msgid))
    return lambda text: entry.sub(lambda m: m.group(1) + '"%s"' % translated, text, count=1)


DE = os.path.join("romfs", "po", "de.po")
EN = os.path.join("romfs", "po", "en.po")

# (what is wrong, file changed, change, exit code, a line the check must print: a
# regular expression)
CASES = [
    ("a template text without its German entry", DE, drop_entry("Certificates"), 1,
     r"inc/security_nav\.html:\d+: 'Certificates' has no entry in de\.po"),
    ("a text handed to the lookup as a literal, without its German entry", DE, drop_entry("Invalid request."), 1,
     r"web/pages/download_page\.cpp:\d+: 'Invalid request\.' has no entry in de\.po"),
    ("a marked row of a table, without its German entry", DE, drop_entry("SD card connected"), 1,
     r"core/board/relay_control\.cpp:\d+: 'SD card connected' has no entry in de\.po"),
    ("a German entry left empty", DE, set_translation("Log out", ""), 1,
     r"'Log out' has no translation in de\.po"),
    ("a text only the German catalogue holds", DE,
     lambda text: text + '\nmsgid "Only in German"\nmsgstr "Nur auf Deutsch"\n', 1,
     r"de\.po: 'Only in German' is not in en\.po"),
    ("a text of en.po missing from de.po that nothing shows", EN,
     lambda text: text + '\nmsgid "Only in English"\nmsgstr ""\n', 1,
     r"de\.po: 'Only in English' of en\.po is missing"),
    ("a translation that loses a placeholder", DE, set_translation("Occupied by %s", "Belegt"), 1,
     r"de\.po: 'Occupied by %s' and its translation 'Belegt' differ in their placeholders"),
    ("a translation that swaps two placeholders", DE,
     set_translation("Software: %x.%d Version: %d.%d.%d", "Software: %d.%x Version: %d.%d.%d"), 1,
     r"de\.po: 'Software: %x\.%d Version: %d\.%d\.%d' and its translation 'Software: %d\.%x"),
    ("a new template text with parentheses, in no catalogue", os.path.join("romfs", "templates", "sitemap.html"),
     lambda text: text + '<p>Ml("Wait (a moment) here")</p>\n', 1,
     r"sitemap\.html:\d+: 'Wait \(a moment\) here' has no entry in de\.po"),
    ("a catalogue line that is no part of an entry", DE, lambda text: text + "\nstray words\n", 2,
     r"de\.po:\d+: a line that is no part of an entry"),
]


def run(root):
    return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(tmp, "repo")
        copy_tree(root)
        clean = run(root)
        if clean.returncode != 0:
            print("FAILED: the catalogues as they are pass\nexit %d\n%s%s" % (clean.returncode, clean.stdout,
                                                                               clean.stderr))
            return 1
        for what, rel, change, code, expected in CASES:
            copy_tree(root)
            rewrite(root, rel, change)
            result = run(root)
            if result.returncode != code or not re.search(expected, result.stdout + result.stderr):
                print("FAILED: %s\nwanted exit %d and %r\nexit %d\nstdout:\n%s\nstderr:\n%s"
                      % (what, code, expected, result.returncode, result.stdout, result.stderr))
                failed += 1
    if failed:
        return 1
    print("the catalogue check caught all %d faults it was shown" % len(CASES))
    return 0


if __name__ == "__main__":
    sys.exit(main())
