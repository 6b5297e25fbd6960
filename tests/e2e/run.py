#!/usr/bin/env python3
"""Runs the end-to-end tests with unittest and writes a JUnit-style report.

  run.py --updater PROGRAM --stand-ins FOLDER [--publisher PROGRAM] [--xml REPORT] [--report NAME]
         [--except NAME ...] [unittest names...]

--except leaves out the tests whose names start with NAME (a class, a test);
--report names the report when --xml is a folder (else the first name's module).
"""
import argparse
import os
import sys
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


class Recorder(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.cases = []
        self._started = 0.0

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def _record(self, test, outcome, detail=""):
        self.cases.append((test.id(), outcome, detail, time.monotonic() - self._started))

    def addSuccess(self, test):
        super().addSuccess(test)
        self._record(test, "passed")

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._record(test, "failure", self._exc_info_to_string(err, test))

    def addError(self, test, err):
        super().addError(test, err)
        self._record(test, "failure", self._exc_info_to_string(err, test))

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self._record(test, "skipped", reason)


def write_report(path, cases):
    suite = ET.Element("testsuite", name="e2e", tests=str(len(cases)))
    for name, outcome, detail, seconds in cases:
        case = ET.SubElement(suite, "testcase", name=name, time="%.3f" % seconds)
        if outcome == "failure":
            ET.SubElement(case, "failure", message="failed").text = detail
        elif outcome == "skipped":
            ET.SubElement(case, "skipped", message=detail)
    root = ET.Element("testsuites")
    root.append(suite)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


def iterate(suite):
    """The single tests of a suite of suites."""
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from iterate(test)
        else:
            yield test


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--stand-ins", required=True)
    parser.add_argument("--publisher")
    parser.add_argument("--xml", default=os.environ.get("CORVANA_E2E_XML"))
    parser.add_argument("--report")
    parser.add_argument("--except", dest="left_out", action="append", default=[])
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    # The test servers' variables, from the file of ctest's fixture when the
    # servers were not started around the whole run (tests/support/with_servers.py).
    if not os.environ.get("CORVANA_TEST_NGINX") and os.environ.get("CORVANA_TEST_SERVERS"):
        try:
            with open(os.environ["CORVANA_TEST_SERVERS"], encoding="utf-8") as state:
                os.environ.update(line.rstrip("\n").split("=", 1) for line in state if "=" in line)
        except OSError:
            pass
    os.environ["CORVANA_E2E_UPDATER"] = os.path.abspath(args.updater)
    os.environ["CORVANA_E2E_STANDINS"] = os.path.abspath(args.stand_ins)
    if args.publisher:
        os.environ["CORVANA_PUBLISH"] = os.path.abspath(args.publisher)

    loader = unittest.TestLoader()
    if args.names:
        suite = loader.loadTestsFromNames(args.names)
    else:
        suite = loader.discover(os.path.dirname(os.path.abspath(__file__)), pattern="test_*.py")
    if args.left_out:
        suite = unittest.TestSuite(test for test in iterate(suite)
                                   if not any(test.id() == name or test.id().startswith(name + ".")
                                              for name in args.left_out))
    runner = unittest.TextTestRunner(resultclass=Recorder, verbosity=2)
    result = runner.run(suite)
    if args.xml:
        # A folder (ending in a separator) gets one report per suite.
        xml = args.xml
        if xml.endswith(os.sep):
            name = args.report or (args.names[0] if args.names else "e2e").split(".")[0]
            xml = os.path.join(xml, name + ".xml")
        write_report(xml, result.cases)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
