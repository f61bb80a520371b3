#!/usr/bin/env python3
"""Checks bindings/vba/Lumox.bas against Lumox.h: the pair type, each Declare of the six
automation-form exports (32-bit and, under #If VBA7, PtrSafe), the result-code constants, the
loader's own reasons (LUMOX_LOAD_*, negative so that no Windows error number can be taken for
one), the kernel32 functions of the loader in both branches, the helpers (LumoxLoad,
EnsureLumox, LumoxLoadedPath, LumoxLoadMessage, LumoxMessage) and the calls in its own code,
and that its header points to the VBA chapter of the Japanese description. Then feeds the checker broken copies of the
module to see that it notices each fault.

The module is kept in UTF-8 here; scripts/package.sh bundles it in code page 932, so every
character must exist there. example_problems() is also used by check_docs.py on the VBA
examples of the descriptions and of README-ja.txt.

  check_bas.py RESULTS_FILE
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lumox_header  # noqa: E402

BAS = os.path.join(lumox_header.ROOT, "bindings", "vba", "Lumox.bas")
JA_DOC = os.path.join(lumox_header.ROOT, "docs", "Lumox-API-ja.md")
PAIR_TYPE = "LumoxPair"
LIBRARY = "Lumox.dll"
# The helpers of the module: name -> (argument list, return type).
HELPERS = {"LumoxLoad": ("ByVal dllPath As String", "Boolean"),
           "EnsureLumox": ("ByVal documentFolder As String", "Boolean"),
           "LumoxLoadedPath": ("", "String"),
           "LumoxLoadMessage": ("", "String"),
           "LumoxMessage": ("ByVal code As Long", "String")}
# The public variable where LumoxLoad keeps why it failed.
LOAD_ERROR = "LumoxLoadError"
# The system functions the loader declares (Private, from kernel32): the argument list and
# return type, with {P} the pointer type of the branch (LongPtr under VBA7, else Long).
SYSTEM = {"LoadLibraryW": ("ByVal lpLibFileName As {P}", "{P}"),
          "FreeLibrary": ("ByVal hLibModule As {P}", "Long"),
          "GetModuleHandleW": ("ByVal lpModuleName As {P}", "{P}"),
          "GetModuleFileNameW": ("ByVal hModule As {P}, ByVal lpFilename As {P}, ByVal nSize As Long", "Long")}
POINTER = {"VBA7": "LongPtr", "else": "Long"}

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


def vba_statements(code):
    """The code without comments and string contents, continuation lines joined."""
    out = []
    for line in code.replace("\r\n", "\n").split("\n"):
        kept, in_string = [], False
        for c in line:
            if c == '"':
                in_string = not in_string  # "" inside a string toggles twice
                kept.append(c)
            elif in_string:
                continue
            elif c == "'":
                break
            else:
                kept.append(c)
        out.append("".join(kept).rstrip())
    return re.sub(r" _\n\s*", " ", "\n".join(out))


def call_arguments(text, start):
    """The number of arguments of the call whose "(" is at text[start], or None."""
    depth, count, empty = 0, 1, True
    for c in text[start:]:
        if c == "(":
            depth += 1
            if depth == 1:
                continue
        elif c == ")":
            depth -= 1
            if depth == 0:
                return 0 if empty else count
        elif c == "," and depth == 1:
            count += 1
        if depth >= 1 and not c.isspace():
            empty = False
    return None


def module_names(text):
    """What the module offers callers: {function: argument count}, constants, types."""
    statements = vba_statements(text)
    functions = {}
    pattern = r'^Public (?:Declare (?:PtrSafe )?)?Function (\w+)(?: Lib "[^"]*"(?: Alias "[^"]*")?)? ?\('
    for m in re.finditer(pattern, statements, re.M):
        functions[m.group(1)] = call_arguments(statements, m.end() - 1)
    constants = set(re.findall(r"^Public Const (\w+)", statements, re.M))
    constants |= set(re.findall(r"^Public (?!Const |Type |Declare |Function |Sub )(\w+) As ", statements, re.M))
    types = set(re.findall(r"^Public Type (\w+)", statements, re.M))
    return functions, constants, types


def vba_call_problems(code, names):
    """Every call of a module function with the wrong argument count, and every Lumox name
    (Http*, Lumox*, LUMOX_*) that the module does not offer, in code; empty when all agree."""
    functions, constants, types = names
    text = vba_statements(code)
    defined = set(re.findall(r"\b(?:Sub|Function)\s+(\w+)", text))
    found = []
    for m in re.finditer(r"\b(Http\w+|Lumox\w+|LUMOX_\w+)\b", text):
        name = m.group(1)
        before = text[max(0, m.start() - 40):m.start()]
        if re.search(r"\b(?:Sub|Function|Declare(?: PtrSafe)? Function)\s+$", before):
            continue  # a definition, not a use
        if name in functions:
            paren = re.match(r"\s*\(", text[m.end():])
            if not paren:
                if name not in defined:  # a function's own name takes its result
                    found.append("%s used without an argument list" % name)
                continue
            got = call_arguments(text, m.end() + paren.end() - 1)
            if got != functions[name]:
                found.append("%s called with %s arguments, declared with %d" % (name, got, functions[name]))
        elif name not in constants and name not in types and name not in defined:
            found.append("%s is not declared in Lumox.bas" % name)
    return found


# Example code: the helpers that load Lumox.dll, the module functions that call into it, the
# comment that says a procedure needs no loading (it does not call the DLL), and how each host
# application names the folder of its document and shows a status.
LOADERS = ("EnsureLumox", "LumoxLoad")
NEEDS_NO_LOADER = ("EnsureLumox は不要", "no EnsureLumox is needed")
HOSTS = {"Excel": r"\bThisWorkbook\b|\bApplication\.StatusBar\b",
         "Access": r"\bCurrentProject\b|\bSysCmd\b|\bacSysCmd\w+",
         "VB6": r"\bApp\.Path\b|\bScreen\.MousePointer\b"}
DOCUMENT_FOLDER = {"Excel": "ThisWorkbook.Path", "Access": "CurrentProject.Path", "VB6": "App.Path"}


def procedures(code):
    """[(name, raw text)] of the Subs and Functions in code."""
    pattern = r"^(?:(?:Public|Private) )?(Sub|Function) (\w+)\b.*?^End \1\b"
    return [(m.group(2), m.group(0)) for m in re.finditer(pattern, code, re.M | re.S)]


def example_hosts(code):
    """The host applications whose own names code uses."""
    text = vba_statements(code)
    return {host for host, pattern in HOSTS.items() if re.search(pattern, text)}


def example_problems(code, names):
    """vba_call_problems, and: every procedure loads Lumox.dll (EnsureLumox or LumoxLoad, or a
    procedure of the same example that does) before its first call into the DLL, or says in a
    comment that it needs none and then makes no such call; code uses one host application's
    names only, and EnsureLumox gets that host's document folder."""
    found = vba_call_problems(code, names)
    functions = names[0]
    users = [n for n in functions if n.startswith("Http")] + ["LumoxMessage"]
    procs = procedures(code)
    if not procs:
        found.append("no Sub or Function")
    loaders = list(LOADERS)
    for name, raw in procs:  # a procedure of the example that loads counts as a loader
        if re.search(r"\b(?:%s)\s*\(" % "|".join(LOADERS), vba_statements(raw)):
            loaders.append(name)
    for name, raw in procs:
        text = vba_statements(raw)
        body = text.split("\n", 1)[1] if "\n" in text else ""
        load = re.search(r"\b(?:%s)\b" % "|".join(loaders), body)
        use = re.search(r"\b(?:%s)\s*\(" % "|".join(users), body)
        if any(note in raw for note in NEEDS_NO_LOADER):
            if use or load:
                found.append("%s says it needs no loading but calls %s" % (name, (use or load).group(0)))
        elif not load:
            found.append("%s neither loads Lumox.dll nor says it needs no loading" % name)
        elif use and use.start() < load.start():
            found.append("%s calls %s before loading Lumox.dll" % (name, use.group(0).rstrip("(")))
    hosts = example_hosts(code)
    if len(hosts) > 1:
        found.append("names of several host applications: %s" % sorted(hosts))
    for m in re.finditer(r"\bEnsureLumox\s*\(\s*([\w.]+)", vba_statements(code)):
        if hosts and m.group(1) != DOCUMENT_FOLDER[sorted(hosts)[0]]:
            found.append("EnsureLumox(%s) in %s code" % (m.group(1), sorted(hosts)[0]))
    return found


def declare_branches(lines):
    """The Declare statements by conditional branch ("VBA7", "else"), and those outside both."""
    branch = None
    declares = {"VBA7": [], "else": []}
    outside = []
    for line in lines:
        s = line.strip()
        if re.match(r"^#If\s+VBA7\s+Then$", s, re.I):
            branch = "VBA7"
        elif re.match(r"^#Else$", s, re.I) and branch == "VBA7":
            branch = "else"
        elif re.match(r"^#End If$", s, re.I):
            branch = None
        elif re.search(r"\bDeclare\b", s) and not s.startswith("'"):
            (outside if branch is None else declares[branch]).append(s)
    return declares, outside


def problems(text):
    """Every way text (the module) disagrees with Lumox.h; empty when it agrees."""
    found = []
    if not text.startswith('Attribute VB_Name = "'):
        found.append("first line is not Attribute VB_Name")
    if text.startswith("\ufeff"):
        found.append("a byte order mark before Attribute VB_Name")
    if re.search(r"(?<!\r)\n", text):
        found.append("line ends are not CR LF")
    try:
        text.encode("cp932")
    except UnicodeEncodeError as e:
        found.append("a character outside code page 932: %r" % e.object[e.start:e.end])
    lines = text.replace("\r\n", "\n").split("\n")

    # The header comment points to the VBA chapter of the Japanese description.
    chapter = re.search(r"「(\d+\. VBAからの使い方)」", text)
    ja = open(JA_DOC, encoding="utf-8").read()
    if not chapter or "\n## %s\n" % chapter.group(1) not in ja:
        found.append("the header names no chapter %s of Lumox-API-ja.md" %
                     (chapter.group(1) if chapter else "「N. VBAからの使い方」"))

    # The pair type: name, then value, both String.
    m = re.search(r"^Public Type (\w+)\n((?:.*\n)*?)End Type$", "\n".join(lines), re.M)
    if not m or m.group(1) != PAIR_TYPE:
        found.append("no Public Type %s" % PAIR_TYPE)
    else:
        members = [re.sub(r"'.*", "", l).split() for l in m.group(2).splitlines()]
        members = [mm for mm in members if mm]
        if members != [["Name", "As", "String"], ["Value", "As", "String"]]:
            found.append("%s members %s, want Name As String then Value As String" % (PAIR_TYPE, members))

    declares, outside = declare_branches(lines)
    found += ["Declare outside #If VBA7/#Else: " + s for s in outside]

    header = lumox_header.declarations()
    wanted = [n for n, (_, args) in header.items()
              if any(t in ("SAFEARRAY **", "BSTR *") for t, _ in args)]
    pattern = re.compile(r'^(Public|Private) Declare (PtrSafe )?Function (\w+) Lib "([^"]+)" \((.*)\) As (\w+)$')
    for branch_name, statements in declares.items():
        seen = []
        system = []
        for s in statements:
            m = pattern.match(s)
            if not m:
                found.append("[%s] cannot read: %s" % (branch_name, s))
                continue
            scope, ptrsafe, name, lib, arglist, ret = m.groups()
            where = "[%s] %s" % (branch_name, name)
            if (ptrsafe is not None) != (branch_name == "VBA7"):
                found.append(where + ": PtrSafe belongs exactly to the VBA7 branch")
            if name in SYSTEM:
                args, want = (x.replace("{P}", POINTER[branch_name]) for x in SYSTEM[name])
                system.append(name)
                if (scope, lib, arglist, ret) != ("Private", "kernel32", args, want):
                    found.append(where + ": want Private from kernel32 (%s) As %s" % (args, want))
                continue
            seen.append(name)
            if scope != "Public" or lib != LIBRARY:
                found.append(where + ": %s from %r, want Public from %s" % (scope, lib, LIBRARY))
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
        if sorted(system) != sorted(SYSTEM):
            found.append("[%s] loader declares %s, want %s" % (branch_name, sorted(system), sorted(SYSTEM)))

    consts = {m.group(1): int(m.group(2)) for m in
              re.finditer(r"^Public Const (LUMOX_\w+) As Long = (-?\d+)", "\n".join(lines), re.M)}
    reasons = {k: consts.pop(k) for k in [k for k in consts if k.startswith("LUMOX_LOAD_")]}
    if len(reasons) < 3 or any(v >= 0 for v in reasons.values()) or len(set(reasons.values())) != len(reasons):
        found.append("loader reasons LUMOX_LOAD_* must be three or more distinct negative numbers: %s" % reasons)
    if not re.search(r"^Public %s As Long$" % LOAD_ERROR, "\n".join(lines), re.M):
        found.append("no Public %s As Long" % LOAD_ERROR)
    codes = lumox_header.result_codes()
    if consts != codes:
        diff = sorted(set(consts.items()) ^ set(codes.items()))
        found.append("result-code constants differ from Lumox.h: %s" % diff)

    # The helpers, and the calls of the module's own code.
    joined = "\n".join(lines)
    for name, (args, ret) in HELPERS.items():
        if not re.search(r"^Public Function %s\(%s\) As %s$" % (name, re.escape(args), ret), joined, re.M):
            found.append("no Public Function %s(%s) As %s" % (name, args, ret))
    body = re.sub(r"^(?:Public|Private) Declare .*$", "", joined, flags=re.M)
    found += vba_call_problems(body, module_names(text))
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
    ("another library name", _sub(r'Lib "Lumox.dll"', 'Lib "Lumox32.dll"')),
    ("a Declare missing", _sub(r"Public Declare Function HttpParseURL .*\r\n", "")),
    ("a return type Integer", _sub(r"(canonicalUrl As String\) As )Long(\r\nPrivate Declare PtrSafe)", r"\1Integer\2")),
    ("a constant off by one", _sub(r"LUMOX_E_NO_PROXY As Long = 10008", "LUMOX_E_NO_PROXY As Long = 10009")),
    ("pair members swapped", _sub(r"    Name As String\r\n    Value As String", "    Value As String\r\n    Name As String")),
    ("LF line ends", lambda t: t.replace("\r\n", "\n")),
    ("a byte order mark", lambda t: "\ufeff" + t),
    ("a comment character outside code page 932", _sub(r"' パラメーターの組", "' 𠮷 パラメーターの組")),
    ("the header pointing to no chapter", _sub(r"「12\. VBAからの使い方」", "「13. VBAからの使い方」")),
    ("LumoxMessage missing", _sub(r"Public Function LumoxMessage", "Public Function LumoxText")),
    ("a helper calling with an argument too few", _sub(r"HttpGetErrStr\(code, message\)", "HttpGetErrStr(code)")),
    ("the loader Declare without LongPtr", _sub(r"lpLibFileName As LongPtr", "lpLibFileName As Long")),
    ("a module handle Long in the VBA7 branch", _sub(r"\(ByVal hModule As LongPtr", "(ByVal hModule As Long")),
    ("FreeLibrary missing in the legacy branch", _sub(r"Private Declare Function FreeLibrary .*\r\n", "")),
    ("a loader reason that a Windows error number can take", _sub(r"LUMOX_LOAD_WEB_PATH As Long = -2", "LUMOX_LOAD_WEB_PATH As Long = 2")),
    ("two loader reasons alike", _sub(r"LUMOX_LOAD_OTHER_DLL As Long = -3", "LUMOX_LOAD_OTHER_DLL As Long = -1")),
    ("LumoxLoadError missing", _sub(r"Public LumoxLoadError As Long", "Private LumoxLoadError As Long")),
    ("EnsureLumox missing", _sub(r"Public Function EnsureLumox", "Public Function LoadLumox")),
]

# VBA example code and the faults vba_call_problems must find in it.
EXAMPLE = """Sub Example()
    Dim params() As LumoxPair
    If Not EnsureLumox(ThisWorkbook.Path) Then Exit Sub
    Application.StatusBar = "..."
    ReDim params(0 To 0)
    params(0).Name = "a, b": params(0).Value = "f(x)"   ' a comment (with, commas)
    rc = HttpUploadFileEx("http://s/", params, "C:\\x", "f", vbNullString, 0, _
                          "proxy", 8080, Trim("u"), "p")
    If rc <> LUMOX_OK Then MsgBox LumoxMessage(rc)
End Sub

Function Fits(ByVal text As String) As Boolean
    ' Lumox.dll を呼び出さないので、EnsureLumox は不要です。
    Fits = (StrConv(StrConv(text, vbFromUnicode), vbUnicode) = text)
End Function
"""
EXAMPLE_MUTATIONS = [
    ("an argument too few", _sub(r", Trim\(\"u\"\)", "")),
    ("an argument too many", _sub(r"LumoxMessage\(rc\)", "LumoxMessage(rc, 1)")),
    ("a function the module lacks", _sub(r"HttpUploadFileEx", "HttpUploadFileExW")),
    ("a constant the module lacks", _sub(r"LUMOX_OK", "LUMOX_SUCCESS")),
    ("a function called without an argument list", _sub(r"LumoxMessage\(rc\)", "LumoxMessage")),
    ("no loading", _sub(r"    If Not EnsureLumox\(ThisWorkbook.Path\) Then Exit Sub\n", "")),
    ("loading after the first call", _sub(r"(    If Not EnsureLumox.*\n)((?:.*\n)*?)(    If rc <> )", r"\2\1\3")),
    ("a procedure without loading or a note", _sub(r"    ' Lumox.dll を呼び出さないので、EnsureLumox は不要です。\n", "")),
    ("a note on a procedure that calls the DLL", _sub(r"(Fits = )", r"MsgBox LumoxMessage(1)\n    \1")),
    ("another host's names", _sub(r"Application.StatusBar = ", "SysCmd acSysCmdSetStatus, ")),
    ("another host's document folder", _sub(r"EnsureLumox\(ThisWorkbook.Path\)", "EnsureLumox(CurrentProject.Path)")),
]


def main():
    results = lumox_header.Results(sys.argv[1])
    text = open(BAS, "rb").read().decode("utf-8")
    found = problems(text)
    results.check("Lumox.bas agrees with Lumox.h (pair type, 6 Declares x 2 branches, constants, loader, helpers)",
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
    names = module_names(text)
    wrong = example_problems(EXAMPLE, names)
    missed = [what for what, mutate in EXAMPLE_MUTATIONS
              if mutate(EXAMPLE) == EXAMPLE or not example_problems(mutate(EXAMPLE), names)]
    results.check("VBA example check passes a right example and notices each of %d faults" % len(EXAMPLE_MUTATIONS),
                  not wrong and not missed, "right example: %s; not noticed: %s" % (wrong, missed))
    results.write()
    return 1 if results.failed() else 0


if __name__ == "__main__":
    sys.exit(main())
