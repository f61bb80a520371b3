"""library/Lumox.exports read as data, and the export table files the build makes from it.

The build (cmake/LumoxExports.cmake) writes Lumox.def, Lumox-i686.def and Lumox.map; the
texts here are what those files must hold, so the checks can compare them.
"""
import os
import re

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
LIST = os.path.join(ROOT, "library", "Lumox.exports")
LINE = re.compile(r"^(\d+)\s+([A-Za-z_]\w*)\s+(\d+)\s+(automation|plain)\s*$")


class Export:
    def __init__(self, ordinal, name, arg_bytes, form):
        self.ordinal, self.name, self.arg_bytes, self.form = ordinal, name, arg_bytes, form

    @property
    def arg_count(self):
        return self.arg_bytes // 4


def read(path=LIST, text=None):
    """The exports in ordinal order; ValueError for a line it cannot read or a gap in the ordinals."""
    if text is None:
        text = open(path, encoding="utf-8").read()
    found = []
    for line in text.splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        m = LINE.match(line)
        if not m:
            raise ValueError("cannot read the line %r" % line)
        export = Export(int(m.group(1)), m.group(2), int(m.group(3)), m.group(4))
        if export.ordinal != len(found) + 1:
            raise ValueError("ordinal %d of %s where %d comes next" % (export.ordinal, export.name, len(found) + 1))
        found.append(export)
    return found


def def_text(exports):
    return "LIBRARY Lumox.dll\nEXPORTS\n" + "".join("  %s @%d\n" % (e.name, e.ordinal) for e in exports)


def def32_text(exports):
    return ("; Decorated stdcall names of the 32-bit exports, for the import library of C callers\n"
            "; that link against Lumox.dll (the DLL itself exports the undecorated names).\n"
            "LIBRARY Lumox.dll\nEXPORTS\n" +
            "".join("  %s@%d @%d\n" % (e.name, e.arg_bytes, e.ordinal) for e in exports))


def map_text(exports):
    return ("/* The exports of libLumox.so.1, under one version node; everything else stays local. */\n"
            "LUMOX_1 {\n  global:\n" + "".join("    %s;\n" % e.name for e in exports) + "  local: *;\n};\n")
