#!/usr/bin/env python3
"""Checks bindings/vba/Lumox.bas against Lumox.h: the pair type, each Declare of the six
automation-form exports (32-bit and, under #If VBA7, PtrSafe), and the result-code constants.
Then feeds the checker broken copies of the module to see that it notices each fault.

  check_bas.py RESULTS_FILE
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lumox_header  # noqa: E402

BAS = os.path.join(lumox_header.ROOT, "bindings", "vba", "Lumox.bas")
PAIR_TYPE = "LumoxPair"

# How each C argument type must be declared: (passing, VB type). Text goes by value as an
# ANSI string, integers are Long, the parameter list is the array variable itself (by
# reference), and a result string is the host's String variable by reference.
VB_FORM = {"const char *": ("ByVal", "String"), "int": ("ByVal", "Long"),
           "unsigned int": ("ByVal", "Long"), "SAFEARRAY **": ("ByRef", PAIR_TYPE + "()"),
           "BSTR *": ("ByRef", "String")}


def parse_args(text):
    args = []
    for part in [p.strip() for p in text.split(",")] if text.strip() else []:
        m = re.match(r"^(?:(ByVal|ByRef)\s+)?(\w+)(\(\))?\s+As\s+(\w+)$", part, re.I)
        if not m:
            args.append((None, part, None))
            continue
        passing = m.group(1) or ("ByRef(implicit)" if m.group(3) else None)
        vbtype = m.group(4) + (m.group(3) or "")
        args.append((passing, m.group(2), vbtype))
    return args


def problems(text):
    """Every way text (the module) disagrees with Lumox.h; empty when it agrees."""
    found = []
    if not text.startswith('Attribute VB_Name = "'):
        found.append("first line is not Attribute VB_Name")
    if re.search(r"(?<!\r)\n", text):
        found.append("line ends are not CR LF")
    if any(ord(c) > 127 for c in text):
        found.append("non-ASCII characters (VB reads modules in the ANSI code page)")
    lines = text.replace("\r\n", "\n").split("\n")

    # The pair type: name, then value, both String.
    m = re.search(r"^Public Type (\w+)\n((?:.*\n)*?)End Type$", "\n".join(lines), re.M)
    if not m or m.group(1) != PAIR_TYPE:
        found.append("no Public Type %s" % PAIR_TYPE)
    else:
        members = [re.sub(r"'.*", "", l).split() for l in m.group(2).splitlines()]
        members = [mm for mm in members if mm]
        if members != [["Name", "As", "String"], ["Value", "As", "String"]]:
            found.append("%s members %s, want Name As String then Value As String" % (PAIR_TYPE, members))

    # Declares, by conditional branch.
    branch = None
    declares = {"VBA7": [], "else": []}
    for line in lines:
        s = line.strip()
        if re.match(r"^#If\s+VBA7\s+Then$", s, re.I):
            branch = "VBA7"
        elif re.match(r"^#Else$", s, re.I) and branch == "VBA7":
            branch = "else"
        elif re.match(r"^#End If$", s, re.I):
            branch = None
        elif re.search(r"\bDeclare\b", s) and not s.startswith("'"):
            if branch is None:
                found.append("Declare outside #If VBA7/#Else: " + s)
            else:
                declares[branch].append(s)

    header = lumox_header.declarations()
    wanted = [n for n, (_, args) in header.items()
              if any(t in ("SAFEARRAY **", "BSTR *") for t, _ in args)]
    pattern = re.compile(r'^Public Declare (PtrSafe )?Function (\w+) Lib "([^"]+)" \((.*)\) As (\w+)$')
    for branch_name, statements in declares.items():
        seen = []
        for s in statements:
            m = pattern.match(s)
            if not m:
                found.append("[%s] cannot read: %s" % (branch_name, s))
                continue
            ptrsafe, name, lib, arglist, ret = m.groups()
            seen.append(name)
            where = "[%s] %s" % (branch_name, name)
            if (ptrsafe is not None) != (branch_name == "VBA7"):
                found.append(where + ": PtrSafe belongs exactly to the VBA7 branch")
            if lib not in ("Lumox", "Lumox.dll"):
                found.append(where + ": library %r, want Lumox" % lib)
            if name not in header:
                found.append(where + ": not an export of Lumox.h")
                continue
            cret, cargs = header[name]
            if cret != "int" or ret != "Long":
                found.append(where + ": returns %s for C %s, want Long" % (ret, cret))
            vargs = parse_args(arglist)
            if len(vargs) != len(cargs):
                found.append(where + ": %d arguments, Lumox.h has %d" % (len(vargs), len(cargs)))
                continue
            for i, ((ctype, cname), (passing, vname, vtype)) in enumerate(zip(cargs, vargs), 1):
                want = VB_FORM.get(ctype)
                if want is None:
                    found.append(where + ": argument %d is C %s, which automation hosts cannot pass" % (i, ctype))
                    continue
                if vname is None or vname.lower() != cname.lower():
                    found.append(where + ": argument %d is %r, Lumox.h calls it %s" % (i, vname, cname))
                got_passing = "ByRef" if passing == "ByRef(implicit)" else passing
                if ctype == "BSTR *" and passing != "ByRef":
                    found.append(where + ": %s must be declared explicitly ByRef" % cname)
                elif got_passing != want[0] or vtype != want[1]:
                    found.append(where + ": %s is %s %s, want %s %s" % (cname, passing, vtype, want[0], want[1]))
        if sorted(seen) != sorted(wanted):
            found.append("[%s] declares %s, want %s" % (branch_name, sorted(seen), sorted(wanted)))

    consts = {m.group(1): int(m.group(2)) for m in
              re.finditer(r"^Public Const (LUMOX_\w+) As Long = (-?\d+)", "\n".join(lines), re.M)}
    codes = lumox_header.result_codes()
    if consts != codes:
        diff = sorted(set(consts.items()) ^ set(codes.items()))
        found.append("result-code constants differ from Lumox.h: %s" % diff)
    return found


# Faults the checker must notice: (what, function that breaks the module text).
def _sub(pattern, repl, count=1):
    return lambda t: re.sub(pattern, repl, t, count=count)


MUTATIONS = [
    ("a text argument passed ByRef", _sub(r"\(ByVal url As String", "(ByRef url As String")),
    ("an integer declared Integer", _sub(r"ByVal usePost As Long", "ByVal usePost As Integer")),
    ("two arguments swapped", _sub(r"ByVal fieldName As String, ByVal responsePath As String",
                                   "ByVal responsePath As String, ByVal fieldName As String")),
    ("an argument missing", _sub(r", ByVal reserved As Long", "")),
    ("the result string passed ByVal", _sub(r"ByRef message As String", "ByVal message As String")),
    ("the parameter list passed as one pair", _sub(r"params\(\) As LumoxPair", "params As LumoxPair")),
    ("PtrSafe missing in the VBA7 branch", _sub(r"Declare PtrSafe Function HttpGetErrStr", "Declare Function HttpGetErrStr")),
    ("another library name", _sub(r'Lib "Lumox"', 'Lib "Lumox32"')),
    ("a Declare missing", _sub(r"Public Declare Function HttpParseURL .*\r\n", "")),
    ("a return type Integer", _sub(r"\) As Long\r\n#Else", ") As Integer\r\n#Else")),
    ("a constant off by one", _sub(r"LUMOX_E_NO_PROXY As Long = 10008", "LUMOX_E_NO_PROXY As Long = 10009")),
    ("pair members swapped", _sub(r"    Name As String\r\n    Value As String", "    Value As String\r\n    Name As String")),
    ("LF line ends", lambda t: t.replace("\r\n", "\n")),
]


def main():
    results = lumox_header.Results(sys.argv[1])
    text = open(BAS, "rb").read().decode("latin-1")
    found = problems(text)
    results.check("Lumox.bas agrees with Lumox.h (pair type, 6 Declares x 2 branches, constants)",
                  not found, "; ".join(found))
    missed = []
    for what, mutate in MUTATIONS:
        broken = mutate(text)
        if broken == text:
            missed.append(what + " (mutation did not apply)")
        elif not problems(broken):
            missed.append(what)
    results.check("Lumox.bas check notices each of %d broken copies" % len(MUTATIONS), not missed,
                  "not noticed: %s" % missed)
    results.write()
    return 1 if results.failed() else 0


if __name__ == "__main__":
    sys.exit(main())
