#!/usr/bin/env python3
"""Checks the page templates for form mistakes that no compiler sees.

A check box sends nothing when it is cleared, so its form also carries a
hidden field of the same name with the value "off". The box applies a
form's fields in their order and the last one wins: the hidden field must
come before its check box, or a ticked box is saved as off.

    tools/check-templates.py DIR     exit 0 when every template under DIR is right
"""
import pathlib
import re
import sys

CHECKBOX = re.compile(r'<input type="checkbox" name="([^"]+)"')


def mistakes(text):
    for box in CHECKBOX.finditer(text):
        name = box.group(1)
        hidden = re.search(r'<input type="hidden" name="%s" value="off">' % re.escape(name), text)
        if hidden and hidden.start() > box.start():
            yield f'the "off" field of check box {name} follows it: a ticked box would be saved as off'


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    found = 0
    for path in sorted(pathlib.Path(sys.argv[1]).rglob("*.html")):
        for text in mistakes(path.read_text(encoding="utf-8")):
            print(f"{path}: {text}")
            found += 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
