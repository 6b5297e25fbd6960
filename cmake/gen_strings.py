#!/usr/bin/env python3
"""Turns res/strings.txt (UTF-8) into the build's string tables.

--cpp OUT  a C++ table of the UTF-8 texts (the Linux string table, and the
           reference the Windows tests compare the resources with)
--rc OUT   a resource script in CP949 for windres (-c 949)
--recode IN OUT   a UTF-8 resource script written again in CP949
"""
import argparse
import sys


def read_table(path):
    entries = []
    seen = set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            ident, sep, raw = line.partition("\t")
            if not sep or not ident.isdigit():
                sys.exit(f"{path}:{number}: expected 'id<TAB>text'")
            text = unescape(raw, path, number)
            if int(ident) in seen:
                sys.exit(f"{path}:{number}: id {ident} appears twice")
            seen.add(int(ident))
            entries.append((int(ident), text))
    return sorted(entries)


def unescape(raw, path, number):
    out = []
    i = 0
    while i < len(raw):
        c = raw[i]
        if c == "\\":
            nxt = raw[i + 1 : i + 2]
            if nxt == "n":
                out.append("\n")
            elif nxt == "\\":
                out.append("\\")
            else:
                sys.exit(f"{path}:{number}: unknown escape '\\{nxt}'")
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def c_literal(data: bytes) -> str:
    parts = []
    for b in data:
        if b == 0x0A:
            parts.append("\\n")
        elif b in (0x22, 0x5C):
            parts.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F and chr(b) != "?":
            parts.append(chr(b))
        else:
            parts.append("\\%03o" % b)  # octal: never runs into the next character
    return '"' + "".join(parts) + '"'


def write_table(f, name, entries):
    f.write(f"const TextEntry {name}[] = {{\n")
    for ident, text in entries:
        f.write(f"    {{{ident}, {c_literal(text.encode('utf-8'))}}},\n")
    f.write("};\n\n")
    f.write(f"const std::size_t {name}Count = {len(entries)};\n\n")


def write_cpp(entries, english, path):
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write("// Generated from res/strings.txt and res/strings.en.txt; do not edit.\n")
        f.write('#include "platform/text_table.h"\n\nnamespace corvana {\n\n')
        write_table(f, "kTextSource", entries)
        write_table(f, "kTextSourceEnglish", english)
        f.write("}  // namespace corvana\n")


def write_rc(entries, path):
    with open(path, "wb") as f:
        f.write(b"// Generated from res/strings.txt; do not edit. Code page 949.\n")
        f.write(b"LANGUAGE 0x12, 0x01\nSTRINGTABLE\nBEGIN\n")
        for ident, text in entries:
            body = text.replace("\\", "\\\\").replace('"', '""').replace("\n", "\\n")
            f.write(b"    %d, \"" % ident + body.encode("cp949") + b'"\n')
        f.write(b"END\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source")
    parser.add_argument("--cpp")
    parser.add_argument("--english", help="the English table, with the same ids (for --cpp)")
    parser.add_argument("--rc")
    parser.add_argument("--recode", nargs=2)
    args = parser.parse_args()
    if args.recode:
        with open(args.recode[0], encoding="utf-8") as f:
            text = f.read()
        with open(args.recode[1], "wb") as f:
            f.write(text.encode("cp949"))
    entries = read_table(args.source)
    if args.cpp:
        english = read_table(args.english) if args.english else entries
        missing = {i for i, _ in entries} ^ {i for i, _ in english}
        if missing:
            sys.exit(f"{args.english}: the ids differ from {args.source}: {sorted(missing)}")
        write_cpp(entries, english, args.cpp)
    if args.rc:
        write_rc(entries, args.rc)


if __name__ == "__main__":
    main()
