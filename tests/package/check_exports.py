#!/usr/bin/env python3
"""Checks that everything naming the exports follows library/Lumox.exports: Lumox.h declares
exactly those names with as many arguments as the list's 32-bit argument bytes give and in the
list's form; Lumox.bas declares each automation-form export in both branches with that many
arguments; both descriptions name every export; each built leg's Lumox.def, Lumox-i686.def and
Lumox.map hold what the list makes. Then feeds the checker changed lists to see that it
notices a list the other files do not follow.

  check_exports.py RESULTS_FILE [BUILD_ROOT]
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import check_bas  # noqa: E402
import lumox_exports  # noqa: E402
import lumox_header  # noqa: E402

ROOT = lumox_header.ROOT
BAS = os.path.join(ROOT, "bindings", "vba", "Lumox.bas")
DOCS = [os.path.join(ROOT, "docs", "Lumox-API-%s.md" % lang) for lang in ("ja", "en")]
AUTOMATION_TYPES = {"SAFEARRAY **", "BSTR *"}
GENERATED = {"Lumox.def": lumox_exports.def_text, "Lumox-i686.def": lumox_exports.def32_text,
             "Lumox.map": lumox_exports.map_text}


def bas_declares(text):
    """{branch: {name: argument count}} of the Lumox.dll Declares, branch "VBA7" or "else"."""
    found = {}
    for branch, statements in check_bas.declare_branches(text.splitlines())[0].items():
        found[branch] = {}
        for s in statements:
            m = re.match(r'^(?:Public|Private) Declare (?:PtrSafe )?Function (\w+) Lib "Lumox\.dll" \((.*)\)', s)
            if m:
                found[branch][m.group(1)] = len([a for a in m.group(2).split(",") if a.strip()])
    return found


def problems(exports, header, bas_text, doc_texts, built):
    """What does not follow the list; built is {leg: {file name: text}} of the built legs."""
    found = []
    names = [e.name for e in exports]
    if sorted(header) != sorted(names):
        found.append("Lumox.h declares %s, the list %s" % (sorted(header), sorted(names)))
    declares = bas_declares(bas_text)
    for e in exports:
        if e.name in header:
            args = header[e.name][1]
            if len(args) != e.arg_count:
                found.append("Lumox.h: %s takes %d arguments, the list %d bytes" % (e.name, len(args), e.arg_bytes))
            form = "automation" if any(t in AUTOMATION_TYPES for t, _ in args) else "plain"
            if form != e.form:
                found.append("Lumox.h: %s is of the %s form, the list says %s" % (e.name, form, e.form))
        for branch, declared in declares.items():
            if e.form == "automation" and declared.get(e.name) != e.arg_count:
                found.append("Lumox.bas [%s]: %s declared with %s arguments, the list %d" %
                             (branch, e.name, declared.get(e.name), e.arg_count))
        for path, text in doc_texts.items():
            if not re.search(r"\b%s\b" % e.name, text):
                found.append("%s does not name %s" % (os.path.basename(path), e.name))
    for branch, declared in declares.items():
        extra = set(declared) - {e.name for e in exports if e.form == "automation"}
        if extra:
            found.append("Lumox.bas [%s] declares %s, not automation-form exports of the list" % (branch, sorted(extra)))
    for leg, files in built.items():
        for file_name, make in GENERATED.items():
            if file_name in files and files[file_name] != make(exports):
                found.append("%s: %s is not what the list makes" % (leg, file_name))
    return found


def built_files(build_root):
    found = {}
    for leg in sorted(os.listdir(build_root)) if build_root and os.path.isdir(build_root) else []:
        folder = os.path.join(build_root, leg, "library")
        files = {n: open(os.path.join(folder, n), encoding="utf-8").read()
                 for n in GENERATED if os.path.exists(os.path.join(folder, n))}
        if files:
            found[leg] = files
    return found


def main():
    results = lumox_header.Results(sys.argv[1])
    build_root = sys.argv[2] if len(sys.argv) > 2 else None
    exports = lumox_exports.read()
    header = lumox_header.declarations()
    bas_text = open(BAS, encoding="utf-8").read()
    doc_texts = {p: open(p, encoding="utf-8").read() for p in DOCS}
    built = built_files(build_root)
    found = problems(exports, header, bas_text, doc_texts, built)
    results.check("Lumox.h, Lumox.bas, both descriptions and the export files of %d built legs follow "
                  "Lumox.exports (%d exports)" % (len(built), len(exports)), not found, found)

    # A list changed alone must be noticed: each change below is one the other files do not follow.
    text = open(lumox_exports.LIST, encoding="utf-8").read()
    changes = [
        ("a thirteenth export", text + "13 HttpDeleteFile 4 plain\n"),
        ("a plain export with one argument more", text.replace("HttpGetErrStrC       12", "HttpGetErrStrC       16")),
        ("an automation export with one argument less",
         text.replace("HttpDownloadFile     16", "HttpDownloadFile     12")),
        ("a form changed", text.replace("HttpParseURL          8  automation", "HttpParseURL          8  plain")),
        ("a name changed", text.replace("HttpUploadFileExC", "HttpUploadFileExA")),
    ]
    missed = [what for what, changed in changes
              if changed == text or not problems(lumox_exports.read(text=changed), header, bas_text, doc_texts, {})]
    for bad in ("1 HttpDownloadFile sixteen automation\n", "2 HttpDownloadFile 16 automation\n"):
        try:
            lumox_exports.read(text=bad)
            missed.append("an unreadable list %r" % bad)
        except ValueError:
            pass
    results.check("the export check notices a list that the other files do not follow", not missed, missed)
    results.write()
    return 1 if results.failed() else 0


if __name__ == "__main__":
    sys.exit(main())
