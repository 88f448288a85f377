#!/usr/bin/python3
"""Builds the parameter catalogue's C++ from the data files.

Reads data/params.tsv (the parameters) and data/param_lists.tsv (the row
tables of the list parameters) and writes, into the output directory:

  core/params/param_catalogue.cpp  paramTable, paramTableCount, createAllParams()
                                   and the list row arrays
  core/params/param_lists.h        the list row arrays for the code that reads them
  core/params/param_handles.h      params::<name>(): direct typed handles of every
                                   parameter that is not a numbered family member
  snmp/param_mib_rows.cpp          paramMibRows: the enterprise MIB object of every
                                   parameter that has one, in identifier order

The slots of paramTable are in strcmp (byte) order of the names, and the
handles are bound to those slots, so names, order and handles come from one
source. Any inconsistency in the data stops the build with a message naming
the file and line.

Standard library only; run as: gen_params.py PARAMS LISTS OUTDIR
"""

import ipaddress
import os
import re
import sys

CATALOGUE_SIZE = 785

# Parameters per class, as the catalogue must hold them.
CLASS_COUNTS = {
    "Int": 128,
    "Bool": 178,
    "String": 347,
    "P3List": 53,
    "Mac": 8,
    "Ip": 69,
    "Ip6": 2,
}

CPP_CLASS = {
    "Int": "IntParam",
    "Bool": "BoolParam",
    "String": "StringParam",
    "P3List": "P3List",
    "Mac": "MacParam",
    "Ip": "IpParam",
    "Ip6": "Ip6Address",
}

FLAG_HASHED = 0x40
FLAG_HIDDEN = 0x1000000
FLAG_PER_PORT = 0x2000000
FLAG_PER_DEVICE = 0x8000000
KNOWN_FLAGS = 0x1 | 0x2 | 0x4 | 0x10 | 0x20 | 0x7ff000 | 0x2000000 | 0x8000000 | \
    0x10000000 | 0x20000000 | 0x40000000

# Objects of the enterprise MIB: parameter rows, and how many are writable.
MIB_ROW_COUNT = 714
MIB_WRITABLE_COUNT = 422
# ASN.1 types the MIB announces.
ASN_INTEGER, ASN_OCTET_STR, ASN_IPADDRESS = 2, 4, 0x40
FLAG_SNMP_TOKEN = 0x20000000

# Members of the families whose number is a port or a device table row.
PER_PORT_MEMBERS = (1, 20)
PER_DEVICE_MEMBERS = (1, 40)

NAME_RE = re.compile(r"^[A-Za-z][A-Za-z0-9_]*(\{n\}[A-Za-z0-9_]*)?$")
IDENT_RE = re.compile(r"^[A-Za-z][A-Za-z0-9]*$")
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1


class DataError(Exception):
    pass


def fail(where, message):
    raise DataError("%s: %s" % (where, message))


def data_lines(path):
    """(where, columns) of every non-comment, non-blank line."""
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            yield "%s:%d" % (path, number), line.split("\t")


def check_text(where, text, what):
    for ch in text:
        if ord(ch) < 0x20 or ord(ch) == 0x7f:
            fail(where, "%s holds a control character: %r" % (what, text))


# ---------------------------------------------------------------- list tables

def read_lists(path):
    tables = {}
    order = []
    for where, cols in data_lines(path):
        if len(cols) != 4:
            fail(where, "expected 4 columns (table, token, label, extra), got %d" % len(cols))
        table, token, label, extra = cols
        if not IDENT_RE.match(table):
            fail(where, "bad table name %r" % table)
        if not token:
            fail(where, "empty token")
        for text, what in ((token, "token"), (label, "label"), (extra, "extra")):
            check_text(where, text, what)
        if table not in tables:
            tables[table] = []
            order.append(table)
        elif order[-1] != table:
            fail(where, "rows of table %r are not together" % table)
        tables[table].append((token, label, extra))
    return order, tables


# ----------------------------------------------------------------- parameters

def parse_int(where, text):
    try:
        value = int(text, 0)
    except ValueError:
        fail(where, "not a number: %r" % text)
    if not INT32_MIN <= value <= INT32_MAX:
        fail(where, "number outside 32 bits: %r" % text)
    return value


def parse_range(where, text):
    m = re.fullmatch(r"(-?\d+)\.\.(-?\d+)", text)
    if not m:
        fail(where, "range must be min..max, got %r" % text)
    lo, hi = parse_int(where, m.group(1)), parse_int(where, m.group(2))
    if lo > hi:
        fail(where, "range %r is empty" % text)
    return lo, hi


def parse_quoted(where, text):
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        fail(where, "text default must be in double quotes, got %r" % text)
    inner = text[1:-1]
    check_text(where, inner, "default")
    return inner


def parse_default(where, cls, text):
    if cls == "Int":
        return parse_int(where, text)
    if cls == "Bool":
        if text not in ("on", "off"):
            fail(where, "boolean default must be on or off, got %r" % text)
        return 1 if text == "on" else 0
    if cls in ("String", "P3List"):
        return parse_quoted(where, text)
    if cls == "Ip":
        parts = text.split(".")
        if len(parts) != 4 or not all(p.isdigit() and int(p) <= 255 for p in parts):
            fail(where, "IPv4 default must be a dotted quad, got %r" % text)
        return [int(p) for p in parts]
    if cls == "Ip6":
        try:
            ipaddress.IPv6Address(text)
        except ValueError:
            fail(where, "IPv6 default does not parse: %r" % text)
        return text
    if cls == "Mac":
        parts = text.split(":")
        if len(parts) != 6 or not all(re.fullmatch(r"[0-9a-fA-F]{2}", p) for p in parts):
            fail(where, "MAC default must be six hex bytes, got %r" % text)
        return [int(p, 16) for p in parts]
    fail(where, "unknown class %r" % cls)


class Param:
    def __init__(self, name, cls, default, limits, flags, table, family, where, number=None,
                 oid=None, writable=False):
        self.oid = oid
        self.writable = writable
        self.name = name
        self.number = number
        self.cls = cls
        self.default = default
        self.limits = limits
        self.flags = flags
        self.table = table
        self.family = family
        self.where = where


def parse_oid(where, text):
    """The sub-identifiers under the enterprise root: 3 to 6 numbers, the first 2."""
    parts = text.split(".")
    if not all(p.isdigit() for p in parts):
        fail(where, "bad object identifier %r" % text)
    oid = tuple(int(p) for p in parts)
    if not 3 <= len(oid) <= 6 or oid[0] != 2:
        fail(where, "an object identifier has 3 to 6 numbers and begins with 2, got %r" % text)
    return oid


def member_oids(where, text, numbers):
    """One identifier per member: a pattern with {n}, or a comma list in member order."""
    if len(numbers) == 1 and "{n}" not in text and "," not in text:
        return [parse_oid(where, text)]
    if "{n}" in text:
        return [parse_oid(where, text.replace("{n}", str(n))) for n in numbers]
    listed = text.split(",")
    if len(listed) != len(numbers):
        fail(where, "%d identifiers for %d members" % (len(listed), len(numbers)))
    return [parse_oid(where, t) for t in listed]


def expand_row(where, cols, tables):
    if len(cols) not in (7, 9):
        fail(where, "expected 7 columns (name, members, class, default, limits, flags, list), "
                    "or 9 with the MIB object (oid, access), got %d" % len(cols))
    name, members, cls, default_text, limits_text, flags_text, table = cols[:7]
    params = expand_members(where, name, members, cls, default_text, limits_text, flags_text, table, tables)
    if len(cols) == 9:
        oid_text, access = cols[7:]
        if access not in ("ro", "rw"):
            fail(where, "access must be ro or rw, got %r" % access)
        for p, oid in zip(params, member_oids(where, oid_text, [p.number for p in params])):
            p.oid = oid
            p.writable = access == "rw"
    return params


def expand_members(where, name, members, cls, default_text, limits_text, flags_text, table, tables):
    if not NAME_RE.match(name):
        fail(where, "bad parameter name %r" % name)
    if cls not in CPP_CLASS:
        fail(where, "unknown class %r" % cls)
    if not re.fullmatch(r"0x[0-9a-fA-F]+", flags_text):
        fail(where, "flags must be hex, got %r" % flags_text)
    flags = int(flags_text, 16)
    if flags & ~KNOWN_FLAGS:
        fail(where, "unknown or forbidden flag bits 0x%x" % (flags & ~KNOWN_FLAGS))
    default = parse_default(where, cls, default_text)

    limits = None
    if cls in ("Int", "String"):
        if limits_text != "-":
            limits = parse_range(where, limits_text)
        elif cls == "String":
            fail(where, "a text parameter needs a length range")
        if cls == "String" and limits[0] < 0:
            fail(where, "a length range cannot be negative")
    elif limits_text != "-":
        fail(where, "class %s takes no limits" % cls)

    if cls == "P3List":
        if table not in tables:
            fail(where, "unknown list table %r" % table)
        if not any(row[0] == default for row in tables[table]):
            fail(where, "default %r is no token of table %r" % (default, table))
    elif table != "-":
        fail(where, "only a list has a table")

    family = "{n}" in name
    if family != (members != "-"):
        fail(where, "a family needs {n} in its name and a member range, a single parameter neither")
    if not family:
        if flags & (FLAG_PER_PORT | FLAG_PER_DEVICE):
            fail(where, "per-port or per-device flag on a single parameter")
        return [Param(name, cls, default, limits, flags, table, None, where)]

    first, last = parse_range(where, members)
    if first < 1:
        fail(where, "members are numbered from 1")
    if flags & FLAG_PER_PORT and (first, last) != PER_PORT_MEMBERS:
        fail(where, "a per-port family has members %d..%d" % PER_PORT_MEMBERS)
    if flags & FLAG_PER_DEVICE and (first, last) != PER_DEVICE_MEMBERS:
        fail(where, "a per-device family has members %d..%d" % PER_DEVICE_MEMBERS)
    if flags & (FLAG_PER_PORT | FLAG_PER_DEVICE) and not name.endswith("_{n}"):
        fail(where, "a per-port or per-device family name ends in _{n}")
    return [Param(name.replace("{n}", str(n)), cls, default, limits, flags, table, name, where, n)
            for n in range(first, last + 1)]


def read_params(path, tables):
    params = []
    for where, cols in data_lines(path):
        params.extend(expand_row(where, cols, tables))
    return params


def check_catalogue(params, list_order):
    seen = {}
    for p in params:
        if not p.name.isascii():
            fail(p.where, "names are ASCII: %r" % p.name)
        if p.name in seen:
            fail(p.where, "duplicate name %r (first at %s)" % (p.name, seen[p.name]))
        seen[p.name] = p.where
        if len(p.name) > 60:
            fail(p.where, "name longer than 60 characters: %r" % p.name)
    if len(params) != CATALOGUE_SIZE:
        raise DataError("the catalogue has %d parameters, not %d" % (len(params), CATALOGUE_SIZE))
    counts = {cls: 0 for cls in CLASS_COUNTS}
    for p in params:
        counts[p.cls] += 1
    for cls, expected in CLASS_COUNTS.items():
        if counts[cls] != expected:
            raise DataError("the catalogue has %d %s parameters, not %d" % (counts[cls], cls, expected))
    check_mib(params)
    used = {p.table for p in params if p.cls == "P3List"}
    unused = [t for t in list_order if t not in used]
    if unused:
        raise DataError("list tables used by no parameter: %s" % ", ".join(unused))


def check_mib(params):
    rows = [p for p in params if p.oid is not None]
    seen = {}
    for p in rows:
        if p.oid in seen:
            fail(p.where, "%s has the identifier of %s" % (p.name, seen[p.oid]))
        seen[p.oid] = p.name
    oids = sorted(seen)
    for a, b in zip(oids, oids[1:]):
        if b[:len(a)] == a:
            fail("MIB", "%s lies inside the object %s" % (seen[b], seen[a]))
    if len(rows) != MIB_ROW_COUNT:
        raise DataError("the MIB has %d parameter objects, not %d" % (len(rows), MIB_ROW_COUNT))
    writable = sum(1 for p in rows if p.writable)
    if writable != MIB_WRITABLE_COUNT:
        raise DataError("the MIB has %d writable objects, not %d" % (writable, MIB_WRITABLE_COUNT))


def mib_type(p):
    if p.cls == "Ip":
        return ASN_IPADDRESS
    if p.cls in ("String", "Mac", "Ip6") or (p.cls == "P3List" and p.flags & FLAG_SNMP_TOKEN):
        return ASN_OCTET_STR
    return ASN_INTEGER


# ------------------------------------------------------------------ C++ output

def c_string(text):
    out = ['"']
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch in '"\\':
            out.append("\\" + ch)
        elif 0x20 <= byte < 0x7f and ch != "?":
            out.append(ch)
        else:
            # Octal escapes are at most three digits, so the next character
            # can never be taken into the escape; '?' is escaped against
            # trigraphs.
            out.append("\\%03o" % byte)
    out.append('"')
    return "".join(out)


def rows_name(table):
    return table + "Rows"


def row_count_name(table):
    return table + "RowCount"


def range_name(limits):
    lo, hi = limits
    return "range_%s_%s" % (str(lo).replace("-", "m"), str(hi).replace("-", "m"))


HEADER_NOTE = "// Generated by tools/gen_params.py from data/params.tsv and data/param_lists.tsv.\n" \
              "// Do not edit: change the data files.\n"


def gen_lists_header(list_order, tables):
    out = [HEADER_NOTE, "#pragma once\n\n#include \"core/params/param.h\"\n\n"]
    out.append("// Row tables of the list parameters; the row index is what SNMP\n"
               "// exchanges for lists that do not exchange tokens.\n")
    for table in list_order:
        out.append("extern const P3ListRow %s[];\n" % rows_name(table))
        out.append("constexpr int %s = %d;\n" % (row_count_name(table), len(tables[table])))
    return "".join(out)


def gen_catalogue(params, list_order, tables):
    out = [HEADER_NOTE]
    out.append('#include "core/params/param_lists.h"\n#include "core/params/param_store.h"\n'
               '#include "core/addr/sock_addr.h"\n\n'
               '#include <cstdint>\n#include <iterator>\n\n')

    for table in list_order:
        out.append("const P3ListRow %s[] = {\n" % rows_name(table))
        for token, label, extra in tables[table]:
            out.append("    {%s, %s, %s},\n" % (c_string(token), c_string(label), c_string(extra)))
        out.append("};\n")
        out.append("static_assert(std::size(%s) == %s);\n\n" % (rows_name(table), row_count_name(table)))

    out.append("namespace {\n\n")
    ranges = sorted({p.limits for p in params if p.limits is not None})
    for limits in ranges:
        out.append("const ParamRange %s = {%d, %d};\n" % ((range_name(limits),) + limits))
    out.append("""
enum class Kind : uint8_t { Int, Bool, String, List, Mac, Ip, Ip6 };

// One parameter as the catalogue describes it. number: the default of an
// integer or boolean; text: the default of a text, list or IPv6 parameter;
// bytes: an IPv4 or MAC default.
struct Entry {
    const char* name;
    Kind kind;
    uint32_t flags;
    int32_t number;
    const char* text;
    const ParamRange* range;
    const P3ListRow* rows;
    int rowCount;
    uint8_t bytes[6];
};

const Entry entries[] = {
""")
    kind_of = {"Int": "Int", "Bool": "Bool", "String": "String", "P3List": "List",
               "Mac": "Mac", "Ip": "Ip", "Ip6": "Ip6"}
    for p in params:
        number, text, rows, count, data = 0, "nullptr", "nullptr", 0, [0] * 6
        if p.cls in ("Int", "Bool"):
            number = p.default
        elif p.cls in ("String", "P3List", "Ip6"):
            text = c_string(p.default)
        if p.cls in ("Ip", "Mac"):
            data = p.default + [0] * (6 - len(p.default))
        if p.cls == "P3List":
            rows, count = rows_name(p.table), row_count_name(p.table)
        rng = "&" + range_name(p.limits) if p.limits is not None else "nullptr"
        out.append("    {%s, Kind::%s, 0x%x, %d, %s, %s, %s, %s, {%s}},\n" % (
            c_string(p.name), kind_of[p.cls], p.flags, number, text, rng, rows, count,
            ", ".join(str(b) for b in data)))
    out.append("""};
static_assert(std::size(entries) == %d);

Param* createParam(const Entry& e)
{
    // A range record means kind 2 (range checked); none means kind 0.
    int rangeKind = e.range ? 2 : 0;
    switch (e.kind) {
    case Kind::Int:
        return new IntParam(e.name, e.number, rangeKind, e.range, e.flags);
    case Kind::Bool:
        return new BoolParam(e.name, e.number, e.flags);
    case Kind::String:
        return new StringParam(e.name, e.text, e.range, e.flags);
    case Kind::List:
        return new P3List(e.name, e.text, e.rowCount, e.rows, e.flags);
    case Kind::Mac:
        return new MacParam(e.name, e.bytes, 0, nullptr, e.flags);
    case Kind::Ip: {
        SockAddr address;
        address.setIpv4Bytes(e.bytes[0], e.bytes[1], e.bytes[2], e.bytes[3]);
        return new IpParam(e.name, address, 0, nullptr, e.flags);
    }
    case Kind::Ip6:
        return new Ip6Address(e.name, e.text, 0, nullptr, e.flags);
    }
    return nullptr;
}

} // namespace

Param* paramTable[%d];
const int paramTableCount = %d;

void createAllParams()
{
    for (int i = 0; i < paramTableCount; ++i)
        paramTable[i] = createParam(entries[i]);
}
""" % (len(params), len(params), len(params)))
    return "".join(out)


def gen_handles(params):
    out = [HEADER_NOTE]
    out.append("""// Direct handles: params::<name>() is the parameter of that name with its
// own class, reached through its fixed slot of paramTable without a search.
// Every handle makes sure the table is built. A handle always reaches the
// catalogue, also while a test runs the store over a table of its own.
//
// Numbered families: params::<family>(n) is member n with its own class, or
// null when n lies outside the family or the member is hidden on this model
// (what ParamStore::find answers for it), again without a search.
#pragma once

#include <cstdint>

#include "core/params/param.h"
#include "core/params/param_store.h"

namespace params {

inline Param* slot(int index)
{
    return ParamStore::catalogue()[index];
}

// Member n of a family whose members first.. sit at slots[n - first].
inline Param* member(const int16_t* slots, int first, int count, int n)
{
    if (n < first || n >= first + count)
        return nullptr;
    Param* p = slot(slots[n - first]);
    return p->isHidden() ? nullptr : p;
}

""")
    for index, p in enumerate(params):
        if p.family:
            continue
        out.append("inline %s* %s() { return static_cast<%s*>(slot(%d)); }\n" % (
            CPP_CLASS[p.cls], p.name, CPP_CLASS[p.cls], index))
    out.append("\n")
    for family, members in families(params):
        name = family_function(family)
        cls = CPP_CLASS[members[0][1].cls]
        first = members[0][1].number
        slots = ", ".join(str(index) for index, _ in members)
        out.append("inline constexpr int16_t %s_slots[] = {%s};\n" % (name, slots))
        out.append("inline %s* %s(int n) { return static_cast<%s*>(member(%s_slots, %d, %d, n)); }\n" % (
            cls, name, cls, name, first, len(members)))
    out.append("\n} // namespace params\n")
    return "".join(out)


def gen_mib_rows(params):
    """params in slot order; the rows come out in identifier order."""
    rows = sorted((p.oid, index, p) for index, p in enumerate(params) if p.oid is not None)
    out = [HEADER_NOTE, '#include "snmp/param_mib_rows.h"\n\n#include <iterator>\n\n']
    out.append("const ParamMibRow paramMibRows[] = {\n")
    for oid, index, p in rows:
        out.append("    {%d, %d, %s, %d, {%s}},  // %s\n" % (
            index, mib_type(p), "true" if p.writable else "false", len(oid),
            ", ".join(str(n) for n in oid), p.name))
    out.append("};\nconst int paramMibRowCount = %d;\n" % len(rows))
    out.append("static_assert(std::size(paramMibRows) == %d);\n" % len(rows))
    return "".join(out)


def family_function(family):
    """zyt_sec_{n} -> zyt_sec, wifi_wkey{n} -> wifi_wkey."""
    return family.replace("{n}", "").rstrip("_")


def families(params):
    """[(family, [(slot, param) by member number])] in the data's order."""
    found = {}
    for index, p in enumerate(params):
        if p.family:
            found.setdefault(p.family, []).append((index, p))
    return [(family, sorted(members, key=lambda m: m[1].number)) for family, members in found.items()]


def check_family_functions(params):
    singles = {p.name for p in params if not p.family}
    for family, members in families(params):
        name = family_function(family)
        if name in singles:
            fail(members[0][1].where, "family %s would share its accessor name with the parameter %s"
                 % (family, name))


def write_if_changed(path, text):
    """Leaves an unchanged file alone, so its users are not rebuilt; a new
    file replaces the old one only once it is complete."""
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: gen_params.py PARAMS LISTS OUTDIR\n")
        return 2
    params_path, lists_path, out_dir = argv[1:]
    try:
        list_order, tables = read_lists(lists_path)
        params = read_params(params_path, tables)
        check_catalogue(params, list_order)
    except DataError as e:
        sys.stderr.write("gen_params.py: %s\n" % e)
        return 1
    # strcmp order: the names are ASCII, so code point order is byte order.
    params.sort(key=lambda p: p.name.encode("ascii"))
    try:
        check_family_functions(params)
    except DataError as e:
        sys.stderr.write("gen_params.py: %s\n" % e)
        return 1
    write_if_changed(os.path.join(out_dir, "core", "params", "param_lists.h"), gen_lists_header(list_order, tables))
    write_if_changed(os.path.join(out_dir, "core", "params", "param_catalogue.cpp"),
                     gen_catalogue(params, list_order, tables))
    write_if_changed(os.path.join(out_dir, "core", "params", "param_handles.h"), gen_handles(params))
    write_if_changed(os.path.join(out_dir, "snmp", "param_mib_rows.cpp"), gen_mib_rows(params))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
