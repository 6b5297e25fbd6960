#!/usr/bin/env python3
"""Checks that the source folders include each other in one direction only:

  app -> run -> {net, verify, install, archive, launch} -> platform
  publish -> run (the publisher reads its sets with the updater's own readers)

and, inside app/, that the front ends (gtk/, terminal/, win32/) include no other
front end, that linux/ (what the Linux program needs whatever its window)
includes none, and that app/'s own files include none but the program's main.

  check_layers.py SRC_FOLDER
"""
import pathlib
import re
import sys

# What each folder may include besides itself (res/ holds the resource ids).
ALLOWED = {
    "platform": {"res"},
    "archive": {"platform", "res"},
    "launch": {"platform", "res"},
    "net": {"platform", "res"},
    "verify": {"platform", "res"},
    "install": {"archive", "platform", "res"},
    "run": {"net", "verify", "install", "archive", "launch", "platform", "res"},
    "app": {"run", "net", "verify", "install", "archive", "launch", "platform", "res"},
    "publish": {"run", "net", "verify", "install", "archive", "platform", "res"},
}

src = pathlib.Path(sys.argv[1])
include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/(?:([a-z0-9_]+)/)?')
FRONT_ENDS = {"gtk", "terminal", "win32"}
# What each part of app/ may include of app/'s sub-folders.
APP_ALLOWED = {"gtk": {"linux"}, "terminal": {"linux"}, "win32": set(), "linux": set(), "": set()}
PROGRAMS = {"main_linux.cpp"}
faults = []
for path in sorted(src.rglob("*")):
    if path.suffix not in (".h", ".cpp"):
        continue
    folder = path.relative_to(src).parts[0]
    if folder not in ALLOWED:
        faults.append(f"{path}: folder {folder} has no place in the layers")
        continue
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = include.match(line)
        if match and match.group(1) != folder and match.group(1) not in ALLOWED[folder]:
            faults.append(f"{path}:{number}: {folder}/ includes {match.group(1)}/")
        if match and folder == "app" == match.group(1) and path.name not in PROGRAMS:
            part = path.relative_to(src).parts[1] if len(path.relative_to(src).parts) > 2 else ""
            target = match.group(2) or ""
            if target and target != part and target not in APP_ALLOWED.get(part, set()):
                faults.append(f"{path}:{number}: app/{part or '.'} includes app/{target}/")
for fault in faults:
    print(fault)
print(f"layers: {len(faults)} wrong includes")
sys.exit(1 if faults else 0)
