#!/usr/bin/env python3
"""Checks the members' type prefixes of the project's own sources:
check_names.py SRC_DIR. A member is m_ and, for a built-in type, the prefix of
its type (the system's naming convention); a member of a class type takes none,
except a handle. Prints each member that breaks the rule and exits 1 if any.

  bool, std::atomic<bool>                         b
  an integer (a count, a size, a number, a flag)  n, dw, qw, b (a 0/1 flag), h (a descriptor)
  double, float                                   d
  char NAME[N]                                    sz
  a pointer                                       p, psz (to characters), h (a handle's)
  std::string, std::optional<std::string>         str
  a system handle (HANDLE, HWND, HICON, ...)      h
"""
import pathlib
import re
import sys

DECLARATION = re.compile(
    r"^\s+(?:static\s+|mutable\s+|inline\s+|constexpr\s+)*(?:const\s+)?"
    r"(?P<type>[A-Za-z_][\w:]*(?:<[^;()]*>)?(?:\s*const)?\s*[*&]?)\s*"
    r"\bm_(?P<name>[A-Za-z0-9_]+)\s*(?P<array>\[)?[^;()]*;")
INTEGERS = {"int", "long", "unsigned", "short", "int8_t", "int16_t", "int32_t", "int64_t", "uint8_t",
            "uint16_t", "uint32_t", "uint64_t", "size_t", "std::size_t", "intptr_t", "uintptr_t", "DWORD",
            "LONG", "UINT", "ssize_t", "off_t"}
HANDLES = {"HANDLE", "HWND", "HICON", "HINTERNET", "HMODULE", "MutexHandle", "HKEY"}


def prefixes(type_text, is_array):
    """The prefixes the type allows, or None where any (a class type) will do."""
    text = re.sub(r"\bconst\b", "", type_text).strip()
    if text.endswith("&"):
        return None  # a reference to another object: named for what it is
    if text.endswith("*"):
        return ("p", "psz", "h")
    atomic = re.fullmatch(r"std::atomic<\s*(.+?)\s*>", text)
    if atomic:
        text = atomic.group(1)
    if is_array and text == "char":
        return ("sz",)
    if text == "bool":
        return ("b",)
    if text in INTEGERS:
        return ("n", "dw", "qw", "b", "h")
    if text in ("double", "float"):
        return ("d",)
    if text in ("std::string", "std::optional<std::string>"):
        return ("str",)
    if text in HANDLES:
        return ("h",)
    return None


def main(src):
    problems = []
    for path in sorted(pathlib.Path(src).rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = DECLARATION.match(line)
            if not match or line.lstrip().startswith(("return", "//")):
                continue
            allowed = prefixes(match.group("type"), match.group("array") is not None)
            if allowed is None:
                continue
            name = match.group("name")
            prefix = re.match(r"[a-z]*", name).group(0)
            if prefix not in allowed or name[len(prefix):len(prefix) + 1].islower():
                problems.append("%s:%d: m_%s (%s) takes the prefix %s" %
                                (path.relative_to(src), number, name, match.group("type").strip(),
                                 " or ".join(allowed)))
    for problem in problems:
        print(problem)
    print("names: %d members break the rule" % len(problems) if problems else "names: every member follows the rule")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
