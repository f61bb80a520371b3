"""What the package checks share: Lumox.h read as data, and the PASS/FAIL results file."""
import os
import re
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
HEADER = os.path.join(ROOT, "library", "include", "Lumox.h")


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8").read()
    return re.search(r"project\(\s*Lumox\s+VERSION\s+(\d+\.\d+\.\d+)", text).group(1)


def declarations(path=HEADER):
    """{name: (return type, [(argument type, argument name), ...])}, in header order."""
    text = open(path, encoding="utf-8").read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    found = {}
    for m in re.finditer(r"LUMOX_API\s+(\w+)\s+LUMOX_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        args = []
        for part in m.group(3).split(","):
            part = " ".join(part.split())
            am = re.match(r"^(.*?)\s*(\w+)$", part)
            ctype = re.sub(r"\s*\*", " *", am.group(1)).replace("* *", "**").strip()
            args.append((ctype, am.group(2)))
        found[m.group(2)] = (m.group(1), args)
    return found


def result_codes(path=HEADER):
    """{LUMOX_* name: value} of the #defines."""
    text = open(path, encoding="utf-8").read()
    return {m.group(1): int(m.group(2))
            for m in re.finditer(r"^#define\s+(LUMOX_(?:OK|E_\w+))\s+(-?\d+)", text, re.M)}


class Results:
    """Collects "PASS name" / "FAIL name: why" lines and appends them to a results file."""

    def __init__(self, path):
        self.path = path
        self.lines = []
        self.started = time.monotonic()

    def check(self, name, ok, why=""):
        line = ("PASS " + name) if ok else ("FAIL %s: %s" % (name, str(why)[:2000]))
        self.lines.append(line)
        print("%s  (%.1f s)" % (line, time.monotonic() - self.started), flush=True)
        return ok

    def write(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path, "a", encoding="utf-8") as f:
            for line in self.lines:
                f.write(line.replace("\n", " ") + "\n")

    def failed(self):
        return any(not l.startswith("PASS") for l in self.lines)
