#!/usr/bin/python3
"""Holds the texts the program shows against the message catalogues
romfs/po/*.po, so that no page shows English in another language.

The texts come from two places:
  - the templates under romfs/templates: Ml("text"), read the way the
    template reader reads it (up to the closing quote, or a parenthesis
    that closes the call);
  - the program's sources: every string literal in the arguments of a call
    of translate(), translateText(), getmuText() or tr(), and every literal
    marked translatable() where it is written, for texts that reach the
    lookup through a table, a member or a parameter.

Every catalogue must hold the same texts, each text with a translation in
the catalogues that translate (all but en.po, whose texts stand as they are
written), with the same printf-style placeholders as the text.

  tools/check-catalogues.py [REPO_DIR]     (default: this repository)

Prints one line per fault and exits 1 when there is any, 0 otherwise; a
catalogue, template or source that cannot be read is an error (exit 2).
"""
import glob
import os
import re
import sys

# The template reader keeps no more of a text than this (kTemplateNameMax).
TEMPLATE_TEXT_MAX = 254
LOOKUPS = ("translate", "translateText", "getmuText", "tr")
MARKER = "translatable"
SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c")
SOURCE_LANGUAGE = "en"
PLACEHOLDER = re.compile(r"%(?:%|[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z)?[diouxXcsfeEgGp])")
C_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0", "a": "\a"}


def unescape(text, where):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            i += 1
            if i >= len(text) or text[i] not in C_ESCAPES:
                raise ValueError("%s: an escape that is not read here: %r" % (where, text))
            c = C_ESCAPES[text[i]]
        out.append(c)
        i += 1
    return "".join(out)


def read_catalogue(path):
    """msgid -> msgstr of one .po file, without the header entry."""
    entries = {}
    field = None
    parts = {}
    with open(path, encoding="utf-8") as f:
        lines = list(enumerate(f, 1))
    lines.append((len(lines) + 1, ""))

    def finish(number):
        if "msgid" in parts:
            msgid = "".join(parts["msgid"])
            if msgid in entries:
                raise ValueError("%s:%d: %r is listed twice" % (path, number, msgid))
            if msgid:
                entries[msgid] = "".join(parts.get("msgstr", []))
        parts.clear()

    for number, line in lines:
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        m = re.match(r'^(msgid|msgstr|msgctxt|msgid_plural|msgstr\[\d+\])\s+"(.*)"$', line)
        if m:
            if m.group(1) == "msgid":
                finish(number)
            field = m.group(1)
            parts.setdefault(field, []).append(unescape(m.group(2), "%s:%d" % (path, number)))
            continue
        m = re.match(r'^"(.*)"$', line)
        if m and field:
            parts[field].append(unescape(m.group(1), "%s:%d" % (path, number)))
            continue
        raise ValueError("%s:%d: a line that is no part of an entry" % (path, number))
    finish(len(lines))
    return entries


def template_texts(text):
    """(text, offset) of every Ml("...")/ML("...") the template reader translates."""
    found = []
    i = 0
    script = False
    while i < len(text):
        c = text[i]
        if c == "<":
            if script and text.startswith("/script", i + 1):
                script = False
            elif not script and text.startswith("script ", i + 1):
                script = True
            i += 1
            continue
        if c == "\\" and not script:
            i += 2
            continue
        if c != "M" or text[i + 1:i + 3] not in ("L(", "l("):
            i += 1
            continue
        start = i
        i += 3
        opening = text[i] if i < len(text) else ""
        i += 1
        words = []
        depth = 1 if opening == "(" else 0
        if opening not in (")", ""):
            while i < len(text):
                ch = text[i]
                i += 1
                if ch == '"' or (ch == ")" and depth == 0):
                    break
                depth += (ch == "(") - (ch == ")")
                words.append(ch)
            while i <= len(text) and text[i - 1] != ")":
                i += 1
        found.append(("".join(words), start))
    return found


def templates(root):
    texts = {}
    for path in sorted(glob.glob(os.path.join(root, "**", "*.html"), recursive=True)):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        rel = os.path.relpath(path, root)
        for words, offset in template_texts(text):
            texts.setdefault(words, "%s:%d" % (rel, text.count("\n", 0, offset) + 1))
    return texts


def tokens(code):
    """(kind, text, line) of a C++ source: identifiers, string literals (their
    value), and single characters; comments and character literals dropped."""
    i = 0
    line = 1
    n = len(code)
    while i < n:
        c = code[i]
        if code.startswith("//", i):
            i = code.find("\n", i)
            i = n if i < 0 else i
        elif code.startswith("/*", i):
            end = code.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += code.count("\n", i, end)
            i = end
        elif c == '"':
            j = i + 1
            while j < n and code[j] != '"':
                j += 2 if code[j] == "\\" else 1
            yield "string", code[i + 1:j], line
            i = j + 1
        elif c == "'":
            j = i + 1
            while j < n and code[j] != "'":
                j += 2 if code[j] == "\\" else 1
            i = j + 1
        elif c.isalpha() or c == "_":
            j = i
            while j < n and (code[j].isalnum() or code[j] == "_"):
                j += 1
            yield "name", code[i:j], line
            i = j
        else:
            if c == "\n":
                line += 1
            elif not c.isspace():
                yield "char", c, line
            i += 1


def call_literals(toks, where):
    """(text, line) of every literal in the arguments of a lookup or the
    marker; adjacent literals are one text, as the compiler joins them. A
    literal handed to a further call inside the arguments is that call's, not
    a text (isModeToken("stat") ? "Status" : "Event" gives two texts)."""
    found = []
    for k, (kind, text, _) in enumerate(toks):
        if kind != "name" or text not in LOOKUPS + (MARKER,):
            continue
        if k + 1 >= len(toks) or toks[k + 1][:2] != ("char", "("):
            continue
        calls = []  # for each open parenthesis: does it open a call?
        pending = None
        previous = toks[k]
        for token in toks[k + 1:]:
            kind2, text2, line2 = token
            if kind2 == "string":
                if not any(calls[1:]):
                    value = unescape(text2, "%s:%d" % (where, line2))
                    pending = (pending[0] + value, pending[1]) if pending else (value, line2)
            else:
                if pending:
                    found.append(pending)
                    pending = None
                if token[:2] == ("char", "("):
                    calls.append(previous[0] == "name")
                elif token[:2] == ("char", ")"):
                    calls.pop()
                    if not calls:
                        break
            previous = token
    return found


def source_texts(root):
    texts = {}
    for dirpath, _, names in os.walk(root):
        for name in sorted(names):
            if not name.endswith(SOURCE_ENDINGS):
                continue
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            with open(path, encoding="utf-8") as f:
                toks = list(tokens(f.read()))
            for text, line in call_literals(toks, rel):
                texts.setdefault(text, "%s:%d" % (rel, line))
    return texts


def check(repo):
    po_dir = os.path.join(repo, "romfs", "po")
    catalogues = {}
    for path in sorted(glob.glob(os.path.join(po_dir, "*.po"))):
        catalogues[os.path.basename(path)[:-3]] = read_catalogue(path)
    if SOURCE_LANGUAGE not in catalogues or len(catalogues) < 2:
        raise ValueError("%s holds no %s.po and a catalogue to compare it with" % (po_dir, SOURCE_LANGUAGE))
    shown = templates(os.path.join(repo, "romfs", "templates"))
    wanted = dict(shown)
    for text, where in source_texts(os.path.join(repo, "src", "qmrthreads", "wev")).items():
        wanted.setdefault(text, where)

    faults = []
    for text, where in sorted(wanted.items(), key=lambda item: item[1]):
        if text in shown and len(text) > TEMPLATE_TEXT_MAX:
            faults.append("%s: the template reader keeps only %d characters of %r"
                          % (where, TEMPLATE_TEXT_MAX, text))
        for lang, entries in catalogues.items():
            if text not in entries:
                faults.append("%s: %r has no entry in %s.po" % (where, text, lang))
            elif lang != SOURCE_LANGUAGE and not entries[text]:
                faults.append("%s: %r has no translation in %s.po" % (where, text, lang))
    source = catalogues[SOURCE_LANGUAGE]
    for lang, entries in catalogues.items():
        for text in sorted(set(entries) - set(source)):
            faults.append("%s.po: %r is not in %s.po" % (lang, text, SOURCE_LANGUAGE))
        for text in sorted(set(source) - set(entries)):
            if text not in wanted:
                faults.append("%s.po: %r of %s.po is missing" % (lang, text, SOURCE_LANGUAGE))
        for text, translated in sorted(entries.items()):
            if translated and PLACEHOLDER.findall(text) != PLACEHOLDER.findall(translated):
                faults.append("%s.po: %r and its translation %r differ in their placeholders or their order"
                              % (lang, text, translated))
    return faults


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    repo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..")
    try:
        faults = check(repo)
    except (OSError, ValueError, UnicodeDecodeError) as e:
        print("check-catalogues: %s" % e, file=sys.stderr)
        return 2
    for line in faults:
        print(line)
    if faults:
        print("check-catalogues: %d fault(s) in the catalogues of %s" % (len(faults), os.path.abspath(repo)),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
