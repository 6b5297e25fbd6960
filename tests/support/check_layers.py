#!/usr/bin/env python3
"""Checks that the source folders include each other in one direction only:

  app -> run -> {net, verify, install, archive, launch} -> platform

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
}

src = pathlib.Path(sys.argv[1])
include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
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
for fault in faults:
    print(fault)
print(f"layers: {len(faults)} wrong includes")
sys.exit(1 if faults else 0)
