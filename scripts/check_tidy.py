#!/usr/bin/env python3
"""Runs clang-tidy (with the checks of .clang-tidy) over the library, the platform layer and
the lumox tool, on the compile commands of the linux leg.

    scripts/check_tidy.py [-b BUILD_DIR] [-c CHECKS_FILE] [-j JOBS] [FILE...]

BUILD_DIR is the linux leg's build folder (default build/linux; configured here when it has no
compile_commands.json yet). Prints every finding and exits 1 when there is one; with -c, adds
one "PASS clang-tidy" or "FAIL clang-tidy: N findings" line.
"""
import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNITS = ("library/", "platform/", "cli/")
# GCC options clang does not take. The library is compiled with the Shift-JIS execution
# character set, which clang lacks; the analysis does not depend on it.
GCC_ONLY = re.compile(r"^-f(no-gnu-unique|exec-charset=.*|input-charset=.*)$")
FINDING = re.compile(r"^(/\S+):(\d+):(\d+): (warning|error): (.*)$")


def compile_commands(build_dir):
    path = os.path.join(build_dir, "compile_commands.json")
    if not os.path.exists(path):
        subprocess.run(["cmake", "--preset", "linux", "-B", build_dir], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    entries = []
    for entry in json.load(open(path)):
        rel = os.path.relpath(entry["file"], ROOT)
        if not rel.startswith(UNITS):
            continue
        args = entry["command"].split()
        entry["command"] = " ".join(a for a in args if not GCC_ONLY.match(a))
        entries.append(entry)
    return entries


def tidy(db_dir, source):
    run = subprocess.run(["clang-tidy", "-p", db_dir, "--quiet", source], cwd=ROOT,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    findings = [line for line in run.stdout.splitlines() if FINDING.match(line)]
    if run.returncode != 0 and not findings:
        findings = [f"{source}: clang-tidy failed: {run.stdout.strip()[-400:]}"]
    return findings


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-b", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("-c")
    parser.add_argument("-j", type=int, default=int(os.environ.get("LUMOX_JOBS", "2")))
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    entries = compile_commands(os.path.abspath(args.b))
    if args.files:
        wanted = {os.path.abspath(f) for f in args.files}
        entries = [e for e in entries if os.path.abspath(e["file"]) in wanted]
    db_dir = tempfile.mkdtemp(prefix="lumox-tidy-")
    try:
        with open(os.path.join(db_dir, "compile_commands.json"), "w") as out:
            json.dump(entries, out)
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.j) as pool:
            results = pool.map(lambda e: tidy(db_dir, e["file"]), entries)
            findings = sorted({line for found in results for line in found})
    finally:
        shutil.rmtree(db_dir)
    for line in findings:
        print(os.path.relpath(line, ROOT) if line.startswith("/") else line)
    print(f"clang-tidy: {len(entries)} units, {len(findings)} findings")
    if args.c:
        with open(args.c, "a") as checks:
            checks.write("PASS clang-tidy\n" if not findings and entries else
                         f"FAIL clang-tidy: {len(findings)} findings\n")
    return 0 if not findings and entries else 1


if __name__ == "__main__":
    sys.exit(main())
