#!/usr/bin/env python3
"""Adds up the results of one or more test legs into the closing line "N passed, N failed".

Each argument is LEG=BUILD_DIR. A leg's CTest JUnit file (ctest-junit.xml) lists its CTest
tests; a test program that left a GoogleTest XML report (test-results/NAME.xml) counts its
test cases, every other CTest test counts as one. Static checks write results/checks.txt
lines "PASS name" / "FAIL name".
"""
import os
import sys
import xml.etree.ElementTree as ET


def gtest_counts(path):
    root = ET.parse(path).getroot()
    passed = failed = skipped = 0
    for case in root.iter("testcase"):
        if case.get("status") == "notrun" or case.find("skipped") is not None:
            skipped += 1
        elif case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        else:
            passed += 1
    return passed, failed, skipped


def leg_counts(build_dir):
    passed = failed = skipped = 0
    junit = os.path.join(build_dir, "ctest-junit.xml")
    if os.path.exists(junit):
        started = os.path.getmtime(junit) - 24 * 3600
        for case in ET.parse(junit).getroot().iter("testcase"):
            name = case.get("name")
            status = case.get("status")
            ok = status in ("run", "passed", None) and case.find("failure") is None
            if status in ("notrun", "disabled") or case.find("skipped") is not None:
                skipped += 1
                continue
            report = os.path.join(build_dir, "test-results", name + ".xml")
            if os.path.exists(report) and os.path.getmtime(report) >= started:
                try:
                    p, f, s = gtest_counts(report)
                except ET.ParseError:
                    p, f, s = 0, 1, 0
                if not ok and f == 0:
                    f = 1  # the program failed outside its test cases (crash, leak report)
                passed, failed, skipped = passed + p, failed + f, skipped + s
            elif ok:
                passed += 1
            else:
                failed += 1
    checks = os.path.join(build_dir, "results", "checks.txt")
    if os.path.exists(checks):
        for line in open(checks, encoding="utf-8"):
            if line.startswith("PASS "):
                passed += 1
            elif line.startswith("FAIL "):
                failed += 1
    return passed, failed, skipped


def main():
    total_p = total_f = total_s = 0
    for arg in sys.argv[1:]:
        leg, _, build_dir = arg.partition("=")
        p, f, s = leg_counts(build_dir)
        print(f"{leg}: {p} passed, {f} failed, {s} skipped")
        total_p, total_f, total_s = total_p + p, total_f + f, total_s + s
    line = f"{total_p} passed, {total_f} failed"
    if total_s:
        line += f", {total_s} skipped"
    print(line)
    return 0 if total_f == 0 and total_p > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
