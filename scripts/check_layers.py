#!/usr/bin/env python3
"""Fails when files of library/src or of platform/src depend on each other in a loop.

A file depends on another when it includes it ("#include "x.h"" of a file in the same
folder) or when its object file uses a symbol that the other's object file defines (nm:
undefined against defined, in the linux leg's build). A header and the source file of the
same name are one unit: engine_steps.h and engine_steps.cpp both stand for engine_steps.
A loop is a set of two or more units each reachable from every other; it is reported with
one path around it and what each step uses.

  check_layers.py [-b BUILD] [-c CHECKS] [--plant FOLDER:A:B]
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["library/src", "platform/src"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# Symbols defined strongly (text, data, read-only data, bss). Weak and unique symbols
# (inline functions, template instances) stand in every object that uses them.
STRONG = set("TDRB")
LONG_STRING = "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >"
# "address type name" or, for an undefined symbol, "type name"; demangled names hold spaces.
NM_LINE = re.compile(r"^([0-9a-fA-F]+)?\s+([A-Za-z])\s+(.+)$")


def unit_of(name):
    return os.path.splitext(os.path.basename(name))[0]


def include_edges(folder):
    """{unit: {unit: [reason]}} from the quoted includes of the folder's files."""
    path = os.path.join(ROOT, folder)
    files = sorted(f for f in os.listdir(path) if f.endswith((".cpp", ".h")))
    units = {unit_of(f) for f in files}
    edges = {}
    for f in files:
        with open(os.path.join(path, f), encoding="utf-8", errors="replace") as handle:
            text = handle.read()
        for name in INCLUDE.findall(text):
            target = unit_of(name)
            if os.path.dirname(name) or target not in units or target == unit_of(f):
                continue
            if not os.path.exists(os.path.join(path, name)):
                continue
            edges.setdefault(unit_of(f), {}).setdefault(target, []).append(f"includes {name}")
    return units, edges


def objects(build, folder):
    """{unit: [object file]} of the folder's sources in the build's compile commands."""
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as handle:
        commands = json.load(handle)
    prefix = os.path.join(ROOT, folder) + os.sep
    found = {}
    for entry in commands:
        source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        if not source.startswith(prefix) or os.sep in source[len(prefix):]:
            continue
        args = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
        if "-o" not in args:
            continue
        out = os.path.join(entry["directory"], args[args.index("-o") + 1])
        if os.path.exists(out):
            found.setdefault(unit_of(source), []).append(out)
    return found


def symbols(obj):
    """(defined, undefined) symbol names of one object file."""
    result = subprocess.run(["nm", "-C", obj], capture_output=True, text=True, check=True)
    defined, undefined = set(), set()
    for line in result.stdout.splitlines():
        match = NM_LINE.match(line)
        if not match:
            continue
        kind, name = match.group(2), match.group(3)
        name = name.replace(LONG_STRING, "std::string")
        if kind == "U":
            undefined.add(name)
        elif kind in STRONG:
            defined.add(name)
    return defined, undefined


def call_edges(build, folder):
    """{unit: {unit: [reason]}} from the symbols the folder's objects use of each other."""
    found = objects(build, folder)
    defined, undefined = {}, {}
    for unit, objs in found.items():
        for obj in objs:
            d, u = symbols(obj)
            defined.setdefault(unit, set()).update(d)
            undefined.setdefault(unit, set()).update(u)
    owner = {}
    for unit, names in defined.items():
        for name in names:
            owner.setdefault(name, unit)
    edges = {}
    for unit, names in undefined.items():
        for name in sorted(names):
            target = owner.get(name)
            if target and target != unit:
                edges.setdefault(unit, {}).setdefault(target, []).append(f"calls {name}")
    return set(found), edges


def merge(*graphs):
    edges = {}
    for graph in graphs:
        for a, targets in graph.items():
            for b, reasons in targets.items():
                edges.setdefault(a, {}).setdefault(b, []).extend(reasons)
    return edges


def loops(units, edges):
    """The strongly connected sets of two or more units (Tarjan), each sorted."""
    index, low, stack, on, found = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(edges.get(v, {})):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            members = []
            while True:
                w = stack.pop()
                on.discard(w)
                members.append(w)
                if w == v:
                    break
            if len(members) > 1:
                found.append(sorted(members))

    sys.setrecursionlimit(10000)
    for v in sorted(units | set(edges)):
        if v not in index:
            visit(v)
    return found


def cycle_path(members, edges):
    """One way around the loop, from its first member back to it (breadth first)."""
    start, inside = members[0], set(members)
    previous = {start: None}
    queue = [start]
    while queue:
        v = queue.pop(0)
        for w in sorted(edges.get(v, {})):
            if w not in inside:
                continue
            if w == start:
                path = [v]
                while previous[path[-1]] is not None:
                    path.append(previous[path[-1]])
                path.reverse()
                return path + [start]
            if w not in previous:
                previous[w] = v
                queue.append(w)
    return members + [start]


def describe(path, edges):
    steps = []
    for a, b in zip(path, path[1:]):
        reasons = edges[a][b]
        shown = ", ".join(reasons[:3]) + (f" (+{len(reasons) - 3} more)" if len(reasons) > 3 else "")
        steps.append(f"    {a} -> {b}: {shown}")
    return "\n".join(steps)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-b", "--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("-c", "--checks", help="append PASS/FAIL lines to this file")
    parser.add_argument("--plant", action="append", default=[], metavar="FOLDER:A:B",
                        help="add a dependency A -> B in FOLDER (to see the check fail)")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.build, "compile_commands.json")):
        sys.exit(f"check_layers: {args.build} has no compile_commands.json (build the linux leg)")
    failures = []
    for folder in FOLDERS:
        units, includes = include_edges(folder)
        built, calls = call_edges(args.build, folder)
        if not built:
            failures.append(f"{folder}: no object files in {args.build} (build the linux leg)")
            continue
        edges = merge(includes, calls)
        for plant in args.plant:
            where, a, b = plant.split(":")
            if where == folder:
                edges.setdefault(a, {}).setdefault(b, []).append("planted")
        for members in loops(units | built, edges):
            path = cycle_path(members, edges)
            text = f"{folder}: loop {' -> '.join(path)}"
            if len(members) > len(path) - 1:
                text += f" (all of {', '.join(members)} reach each other)"
            failures.append(f"{text}\n{describe(path, edges)}")
    for line in failures:
        print(f"FAIL {line}")
    name = "no two files of library/src or platform/src depend on each other in a loop"
    if args.checks:
        with open(args.checks, "a", encoding="utf-8") as handle:
            if failures:
                first = failures[0].splitlines()[0]
                handle.write(f"FAIL {name}: {first}\n")
            else:
                handle.write(f"PASS {name}\n")
    print(f"{'FAIL' if failures else 'PASS'} {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
