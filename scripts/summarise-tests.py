#!/usr/bin/env python3
"""Adds up the GoogleTest XML reports below a folder and prints one closing line."""
import pathlib
import sys
import xml.etree.ElementTree as ET

root = pathlib.Path(sys.argv[1])
passed = failed = skipped = 0
for report in sorted(root.rglob("*.xml")):
    suites = ET.parse(report).getroot()
    for case in suites.iter("testcase"):
        if case.find("failure") is not None:
            failed += 1
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            skipped += 1
        else:
            passed += 1
line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
