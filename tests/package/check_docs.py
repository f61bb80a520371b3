#!/usr/bin/env python3
"""Checks the interface descriptions in docs/ against Lumox.h and the built library.

  check_docs.py RESULTS_FILE [LIBRARY_SO [LUMOX]]

Both editions must name every export and every LUMOX_* code of Lumox.h, list every code that
has a message with exactly the message the library hands out (asked of LIBRARY_SO through
HttpGetErrStrC when given), explain the same codes without a message of their own (none of
which may have one), document every settings key with the default of the Lumox.ini sample,
and hold VBA examples that call each of the six automation-form functions as Lumox.bas
declares them, the same calls in both. Every VBA example of both editions and of
README-ja.txt is checked against Lumox.bas (names, argument counts, constants), loads the DLL
before its first call into it or says it needs no loading, and keeps to one host application
(Excel, Access or VB6) with that host's document folder; each edition has Access and VB6
variants, and the quick start of README-ja.txt is the one of the Japanese edition; the manual page must be the one made from the English
edition. Given the lumox tool, each code the editions explain must have its own description in
`lumox message CODE` too.
"""
import configparser
import ctypes
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_bas  # noqa: E402
import lumox_header  # noqa: E402

DOCS = os.path.join(lumox_header.ROOT, "docs")
EDITIONS = {"ja": os.path.join(DOCS, "Lumox-API-ja.md"), "en": os.path.join(DOCS, "Lumox-API-en.md")}
INI = os.path.join(DOCS, "Lumox.ini")
README_JA = os.path.join(DOCS, "README-bundle-ja.txt")
FALLBACK = "不明なエラーが発生しました。"
SETTING_KEYS = ["LogOn", "Connect", "Receive", "Send", "Total", "CertCheck"]
# Codes the library or its platform layer returns without a message of their own, which
# both editions must explain for host programs.
UNEXPLAINED_AT_LEAST = {5, 112, 12007, 12037, 12038, 12045, 12152, 12175}
MESSAGE_HEADERS = ("Message", "メッセージ")
AUTOMATION_FORM = ["HttpDownloadFile", "HttpDownloadFileEx", "HttpUploadFile", "HttpUploadFileEx",
                   "HttpGetErrStr", "HttpParseURL"]


def code_tables(text):
    """({code: message}, [codes]) from the tables of section 4 whose rows start with a code
    number: the tables with a message column, and the codes of those without one."""
    messages, unexplained = {}, []
    section = re.search(r"^## 4\..*?(?=^## 5\.)", text, re.M | re.S)
    column = None
    for line in (section.group(0) if section else "").splitlines():
        if not line.startswith("|"):
            column = None
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if column is None:  # a table's header row
            column = next((i for i, c in enumerate(cells) if c in MESSAGE_HEADERS), -1)
        elif re.fullmatch(r"\d+", cells[0]):
            if column > 0:
                messages[int(cells[0])] = cells[column]
            else:
                unexplained.append(int(cells[0]))
    return messages, unexplained


def vb_blocks(text):
    return re.findall(r"^```vb\n(.*?)^```", text.replace("\r\n", "\n"), re.M | re.S)


def quick_start(text):
    """The first VBA block after the quick start heading, or None."""
    m = re.search(r"^(?:###? )?(?:クイックスタート|Quick start)[^\n]*$(.*?)^```vb\n(.*?)^```", text, re.M | re.S)
    return m.group(2) if m else None


def vba_calls(text):
    """[(function, argument count)] of every call of a Lumox function in the VBA examples."""
    calls = []
    for block in re.findall(r"^```vb\n(.*?)^```", text, re.M | re.S):
        code = check_bas.vba_statements(block)
        for m in re.finditer(r"\b(Http\w+|Lumox\w+)\s*\(", code):
            calls.append((m.group(1), check_bas.call_arguments(code, m.end() - 1)))
    return calls


def library_messages(so):
    """{code: message} for every code from 0 to 20000 that has a message of its own."""
    lib = ctypes.CDLL(so)
    fn = lib.HttpGetErrStrC
    fn.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    fn.restype = ctypes.c_int
    buf = ctypes.create_string_buffer(512)
    messages = {}
    for code in range(0, 20001):
        if fn(code, buf, 512) != 0:
            raise RuntimeError("HttpGetErrStrC(%d) failed" % code)
        text = buf.value.decode("cp932")
        if text != FALLBACK:
            messages[code] = text
    return messages


def ini_block(text):
    m = re.search(r"```ini\n(.*?)```", text, re.S)
    return m.group(1) if m else None


def read_ini(text):
    parser = configparser.ConfigParser()
    parser.optionxform = str
    parser.read_string(text)
    return dict(parser["HTTP_SETTING"]) if parser.has_section("HTTP_SETTING") else {}


def code_folders():
    """Every folder holding a tracked file under library/, platform/, cli/ and tests/."""
    roots = ["library", "platform", "cli", "tests"]
    r = subprocess.run(["git", "-C", lumox_header.ROOT, "ls-files", "--"] + roots,
                       capture_output=True, text=True)
    files = r.stdout.split() if r.returncode == 0 and r.stdout else [
        os.path.relpath(os.path.join(d, f), lumox_header.ROOT)
        for root in roots for d, _, names in os.walk(os.path.join(lumox_header.ROOT, root))
        if "__pycache__" not in d for f in names]
    return sorted({os.path.dirname(f) for f in files} - {""} - set(roots) | {"cli"})


def main():
    results = lumox_header.Results(sys.argv[1])
    so = sys.argv[2] if len(sys.argv) > 2 else None
    tool = sys.argv[3] if len(sys.argv) > 3 else None
    exports = list(lumox_header.declarations())
    codes = lumox_header.result_codes()
    library = None
    if so:
        try:
            library = library_messages(so)
            own = [v for v in codes.values() if v != 0]
            results.check("library hands out a message for each of its own %d codes" % len(own),
                          all(v in library for v in own), sorted(library))
        except Exception as e:  # a library that cannot be asked fails the check, visibly
            results.check("library messages can be read from %s" % so, False, e)
    architecture = open(os.path.join(DOCS, "architecture.md"), encoding="utf-8").read()
    unnamed = [d for d in code_folders() if "`%s`" % d not in architecture]
    results.check("docs/architecture.md names every folder of library/, platform/, cli/ and tests/",
                  not unnamed, unnamed)
    sample = read_ini(open(INI, encoding="utf-8").read())
    results.check("Lumox.ini sample: every key at its default, LogOn=0",
                  sample == {"LogOn": "0", "Connect": "60", "Receive": "300", "Send": "300",
                             "Total": "0", "CertCheck": "0"}, sample)

    bas_names = check_bas.module_names(open(check_bas.BAS, encoding="utf-8").read())
    unexplained_by = {}
    calls_by = {}
    for edition, path in EDITIONS.items():
        text = open(path, encoding="utf-8").read()
        missing = [n for n in exports if "`%s`" % n not in text]
        results.check("%s description names all 12 exports" % edition, not missing and len(exports) == 12,
                      "missing %s" % missing)
        for n in exports:
            # Each export's signature is quoted in a code block with its Lumox.h arguments.
            _, args = lumox_header.declarations()[n]
            m = re.search(r"int %s\(([^;]*)\);" % n, text)
            got = [a.split()[-1].lstrip("*") for a in m.group(1).split(",")] if m else None
            if got != [a for _, a in args]:
                results.check("%s description: signature of %s" % (edition, n), False,
                              "documented %s, Lumox.h %s" % (got, [a for _, a in args]))
        rows, unexplained = code_tables(text)
        unexplained_by[edition] = unexplained
        results.check("%s description explains the codes without a message (at least %s)" %
                      (edition, sorted(UNEXPLAINED_AT_LEAST)),
                      UNEXPLAINED_AT_LEAST <= set(unexplained) and len(set(unexplained)) == len(unexplained)
                      and not set(unexplained) & set(rows),
                      "explained %s" % unexplained)
        if library is not None:
            results.check("%s description: no code it explains as message-less has a message" % edition,
                          not set(unexplained) & set(library), sorted(set(unexplained) & set(library)))
        blocks = vb_blocks(text)
        wrong = [p for b in blocks for p in check_bas.example_problems(b, bas_names)]
        calls_by[edition] = vba_calls(text)
        called = {name for name, _ in calls_by[edition]}
        results.check("%s description: %d VBA examples call Lumox.bas as declared, each of the six functions" %
                      (edition, len(blocks)), blocks and not wrong and set(AUTOMATION_FORM) <= called,
                      "%s; not called: %s" % (wrong, sorted(set(AUTOMATION_FORM) - called)))
        hosts = [check_bas.example_hosts(b) for b in blocks]
        results.check("%s description: Excel, Access and VB6 variants of the examples" % edition,
                      all({h} in hosts for h in ("Excel", "Access", "VB6")), hosts)
        bad = [name for name, value in codes.items()
               if value != 0 and ("`%s`" % name not in text or value not in rows)]
        results.check("%s description lists every LUMOX_E_* code with its name" % edition,
                      not bad and "`LUMOX_OK`" in text, bad)
        if library is not None:
            wrong = {c: (rows.get(c), library.get(c)) for c in set(rows) | set(library)
                     if rows.get(c) != library.get(c)}
            results.check("%s description: every code's message as the library gives it" % edition,
                          not wrong, wrong)
        results.check("%s description gives the fallback message" % edition, FALLBACK in text)
        keys_missing = [k for k in SETTING_KEYS if "`%s`" % k not in text]
        block = ini_block(text)
        results.check("%s description: settings keys and the Lumox.ini sample" % edition,
                      not keys_missing and block is not None and read_ini(block) == sample,
                      "missing keys %s, sample %s" % (keys_missing, block))
        topics = ["LUMOX_LOG", "LSUN.TXT", "LSAT.TXT", "`ST`", "`ED`", "`DL`", "`UL`", "`IF`",
                  ".tmp0000", "LFile-Length", "libLumox.so.1", "LUMOX_1", "Lumox.bas", "CertCheck"]
        results.check("%s description covers trace log, temporary files and Linux" % edition,
                      all(t in text for t in topics), [t for t in topics if t not in text])
    results.check("both descriptions explain the same message-less codes",
                  unexplained_by["ja"] == unexplained_by["en"], unexplained_by)
    if tool is not None:
        # lumox adds its own description in parentheses after the library's general message.
        bare = [c for c in unexplained_by["en"]
                if not re.search(r"\(.+\)$", subprocess.run([tool, "message", str(c)], capture_output=True,
                                                             text=True, errors="replace").stdout.strip())]
        results.check("lumox describes every code the descriptions explain as message-less",
                      unexplained_by["en"] and not bare, "no description: %s" % bare)
    results.check("both descriptions' VBA examples make the same calls",
                  calls_by["ja"] == calls_by["en"], calls_by)
    ja = open(EDITIONS["ja"], encoding="utf-8").read()
    readme = open(README_JA, encoding="utf-8").read()
    blocks = vb_blocks(readme)
    wrong = [p for b in blocks for p in check_bas.example_problems(b, bas_names)]
    results.check("README-ja.txt: %d VBA examples call Lumox.bas as declared and load the DLL first" % len(blocks),
                  blocks and not wrong, wrong)
    results.check("README-ja.txt: its quick start is the one of the Japanese edition's VBA chapter",
                  quick_start(readme) is not None and quick_start(readme) == quick_start(ja),
                  "README %r, description %r" % (quick_start(readme), quick_start(ja)))
    results.check("ja description is titled 【Lumox通信APIの説明】",
                  ja.splitlines()[0] == "# 【Lumox通信APIの説明】", ja.splitlines()[0])

    # The manual page: made from the English edition, and groff reads it without a warning.
    man = os.path.join(DOCS, "Lumox.3")
    made = subprocess.run([sys.executable, os.path.join(DOCS, "make_manpage.py"), EDITIONS["en"]],
                          capture_output=True, text=True)
    results.check("Lumox(3) is made from the English description",
                  made.returncode == 0 and made.stdout == open(man, encoding="utf-8").read(),
                  made.stderr or "docs/Lumox.3 is stale: run docs/make_manpage.py docs/Lumox-API-en.md > docs/Lumox.3")
    # Every warning but line breaking: long Japanese messages have no place to break.
    shown = subprocess.run(["groff", "-k", "-man", "-Tutf8", "-ww", "-Wbreak", man],
                           capture_output=True, text=True)
    results.check("Lumox(3) renders without groff warnings", shown.returncode == 0 and not shown.stderr.strip(),
                  shown.stderr)
    results.write()
    return 1 if results.failed() else 0


if __name__ == "__main__":
    sys.exit(main())
