#!/usr/bin/env python3
"""Adds up the test results below a folder and prints one closing line.

ctest-NAME.xml is CTest's JUnit report of one configuration: one case per entry.
An end-to-end entry (e2e_*) runs a whole suite, whose own reports in e2e-NAME/
list its cases; those are counted in its place.
"""
import pathlib
import sys
import xml.etree.ElementTree as ET


def outcomes(report):
    for case in ET.parse(report).getroot().iter("testcase"):
        if case.find("failure") is not None or case.get("status") == "fail":
            yield case.get("name"), "failed"
        elif case.get("status") in ("notrun", "disabled") or case.find("skipped") is not None:
            yield case.get("name"), "skipped"
        else:
            yield case.get("name"), "passed"


root = pathlib.Path(sys.argv[1])
counts = {"passed": 0, "failed": 0, "skipped": 0}
for report in sorted(root.glob("ctest-*.xml")):
    suites = root / report.stem.replace("ctest-", "e2e-", 1)
    suite_outcomes = [o for xml in sorted(suites.glob("*.xml")) for o in outcomes(xml)]
    e2e_failed = False
    for name, outcome in outcomes(report):
        if name.startswith("e2e_") and suite_outcomes:
            e2e_failed |= outcome == "failed"
        else:
            counts[outcome] += 1
    # The suites' cases count; a suite that failed without a failing case (it
    # crashed) still counts as one failure.
    for _, inner in suite_outcomes:
        counts[inner] += 1
    if e2e_failed and not any(o == "failed" for _, o in suite_outcomes):
        counts["failed"] += 1
line = f"{counts['passed']} passed, {counts['failed']} failed"
if counts["skipped"]:
    line += f", {counts['skipped']} skipped"
print(line)
