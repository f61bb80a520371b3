#!/usr/bin/env python3
"""Unpacks the release bundles that scripts/package.sh made and checks each one.

  check_bundles.py RESULTS_FILE DIST_DIR WORK_DIR LEG...

Per bundle: the exact list of files; the static checks of scripts/check_binaries.py on the
unpacked binaries themselves; Lumox.h, Lumox.bas, the descriptions and the Lumox.ini sample as
in the source tree. In a Windows bundle each text file has the encoding and line ends its
reader needs (the texts for reading UTF-8 with a BOM and CR LF, Lumox.bas code page 932 with
CR LF and no BOM, Lumox.h, Lumox.def and Lumox.ini ASCII with CR LF), each HTML description
is one self-contained page naming every export, and the bundled Lumox.ini is read back right
by the Linux library. A Windows bundle must also let a C program link through its Lumox.h and
Lumox.lib against its Lumox.dll, and a 32-bit build of it must import the undecorated names;
the consumer built from each Windows bundle alone runs its transfers under Wine.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import consumer_test  # noqa: E402
import lumox_header  # noqa: E402

sys.path.insert(0, os.path.join(lumox_header.ROOT, "scripts"))
import lumox_exports  # noqa: E402

ROOT = lumox_header.ROOT
HERE = os.path.dirname(os.path.abspath(__file__))
VERSION = lumox_header.project_version()
MAJOR = VERSION.split(".")[0]

WINDOWS_FILES = ["Lumox.dll", "Lumox.lib", "Lumox.def", "Lumox.h", "Lumox.bas", "Lumoxdemo.exe",
                 "lumox.exe", "Lumox-API-ja.md", "Lumox-API-en.md", "Lumox-API-ja.html",
                 "Lumox-API-en.html", "Lumox.ini", "README-ja.txt", "README-en.txt"]
# How each text file of a Windows bundle is encoded: "reading" UTF-8 with a BOM, "vba" code
# page 932 without one, "ascii"; all with CR LF line ends.
TEXT_KINDS = {"Lumox-API-ja.md": "reading", "Lumox-API-en.md": "reading", "Lumox-API-ja.html": "reading",
              "Lumox-API-en.html": "reading", "README-ja.txt": "reading", "README-en.txt": "reading",
              "Lumox.bas": "vba", "Lumox.h": "ascii", "Lumox.def": "ascii", "Lumox.ini": "ascii"}
BOM = b"\xef\xbb\xbf"
LINUX_FILES = ["bin/lumox", "include/Lumox.h", "lib/libLumox.so", "lib/libLumox.so.%s" % MAJOR,
               "lib/libLumox.so.%s" % VERSION, "lib/pkgconfig/lumox.pc",
               "lib/cmake/Lumox/LumoxConfig.cmake", "lib/cmake/Lumox/LumoxConfigVersion.cmake",
               "lib/cmake/Lumox/LumoxTargets.cmake", "lib/cmake/Lumox/LumoxTargets-relwithdebinfo.cmake",
               "share/doc/Lumox/Lumox-API-ja.md", "share/doc/Lumox/Lumox-API-en.md",
               "share/doc/Lumox/Lumox.ini", "share/man/man1/lumox.1", "share/man/man3/Lumox.3"]
TRIPLE = {"win32": "i686-w64-mingw32", "win64": "x86_64-w64-mingw32"}


def source(path):
    return open(os.path.join(ROOT, path), "rb").read()


def same_text(bundled, original):
    return bundled.replace(b"\r\n", b"\n") == original.replace(b"\r\n", b"\n")


def encoding_problems(kind, data):
    """How data (a file's bytes) misses the encoding and line ends of kind; empty when right."""
    found = []
    if re.search(rb"(?<!\r)\n|\r(?!\n)", data):
        found.append("line ends other than CR LF")
    if data.startswith(BOM) != (kind == "reading"):
        found.append("a BOM" if kind != "reading" else "no BOM")
    codec = {"reading": "utf-8", "vba": "cp932", "ascii": "ascii"}[kind]
    try:
        text = data.decode(codec)
    except UnicodeDecodeError as e:
        return found + ["not %s: %s" % (codec, e)]
    if kind == "vba" and not text.startswith('Attribute VB_Name = "'):
        found.append("does not start with Attribute VB_Name")
    return found


# Faults encoding_problems must notice: (kind, bytes).
BROKEN_TEXTS = [("reading", "説明\r\n".encode("utf-8")), ("reading", BOM + "説明\n".encode("utf-8")),
                ("reading", BOM + "説明\r\n".encode("cp932")),
                ("vba", 'Attribute VB_Name = "A"\r\n\' 説明\r\n'.encode("utf-8")),
                ("vba", BOM + b'Attribute VB_Name = "A"\r\n'), ("vba", b"Option Explicit\r\n"),
                ("ascii", b"[HTTP_SETTING]\nLogOn=0\n"), ("ascii", BOM + b"[HTTP_SETTING]\r\n"),
                ("ascii", "; 設定\r\n".encode("cp932"))]


def ini_read_back(results, name, ini):
    """The bundled Lumox.ini beside a copy of the Linux library: as bundled, the library
    writes no trace; with LogOn=1 written into the same bytes, it traces its loading."""
    build = os.environ.get("LUMOX_BUILD_ROOT")
    library = os.path.join(build or "", "linux", "library", "libLumox.so")
    if not build or not os.path.exists(library):
        print("%s: no Linux library built; Lumox.ini not read back" % name)
        return
    with tempfile.TemporaryDirectory() as work:
        traced = {}
        for variant, data in (("as bundled", ini), ("LogOn=1", re.sub(rb"^LogOn=0\r$", b"LogOn=1\r", ini, flags=re.M))):
            folder = os.path.join(work, variant.replace(" ", "_").replace("=", ""))
            os.makedirs(folder)
            shutil.copy(os.path.realpath(library), os.path.join(folder, "libLumox.so"))
            with open(os.path.join(folder, "Lumox.ini"), "wb") as f:
                f.write(data)
            run([sys.executable, "-c", "import ctypes, sys; ctypes.CDLL(sys.argv[1])",
                 os.path.join(folder, "libLumox.so")])
            log = os.path.join(folder, "LUMOX_LOG")
            texts = [open(os.path.join(log, f), "rb").read() for f in os.listdir(log)] if os.path.isdir(log) else []
            traced[variant] = any("DLL利用開始。".encode("cp932") in x for x in texts)
        results.check("%s: the library reads the bundled Lumox.ini (no trace as bundled, a trace with LogOn=1)" % name,
                      traced == {"as bundled": False, "LogOn=1": True}, traced)


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def static_checks(results, mode, path, name):
    r = run([sys.executable, os.path.join(ROOT, "scripts", "check_binaries.py"), mode, path,
             results.path, name])
    # check_binaries.py adds its own PASS/FAIL lines to the results; a crash counts here.
    print(r.stdout, end="")
    if r.returncode != 0 and "FAIL" not in r.stdout:
        results.check("%s: static checks ran" % name, False, r.stderr)


def check_windows(results, leg, archive, work):
    name = "Lumox-%s-%s" % (VERSION, leg)
    with zipfile.ZipFile(archive) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        z.extractall(work)
    want = sorted("%s/%s" % (name, f) for f in WINDOWS_FILES)
    results.check("%s.zip holds exactly %s" % (name, ", ".join(WINDOWS_FILES)), names == want, names)
    top = os.path.join(work, name)
    if names != want:
        return
    static_checks(results, leg + "-dir", top, name)
    # The same bytes as the build that the leg's own static checks and tests passed.
    build = os.environ.get("LUMOX_BUILD_ROOT")
    if build:
        digest = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()  # noqa: E731
        pairs = [(os.path.join(top, "Lumox.dll"), os.path.join(build, leg, "library", "Lumox.dll")),
                 (os.path.join(top, "Lumoxdemo.exe"), os.path.join(build, leg, "testclient", "Lumoxdemo.exe")),
                 (os.path.join(top, "lumox.exe"), os.path.join(build, leg, "cli", "lumox.exe")),
                 (os.path.join(top, "Lumox.lib"), os.path.join(build, leg, "library", "libLumox.dll.a"))]
        differ = [os.path.basename(a) for a, b in pairs if not os.path.exists(b) or digest(a) != digest(b)]
        results.check("%s: Lumox.dll, Lumoxdemo.exe, lumox.exe and Lumox.lib are the ones of build/%s" % (name, leg),
                      not differ, differ)
    read = lambda f: open(os.path.join(top, f), "rb").read()  # noqa: E731
    wrong = {f: p for f, kind in TEXT_KINDS.items() for p in [encoding_problems(kind, read(f))] if p}
    results.check("%s: each text file in its encoding with CR LF (reading: UTF-8 with BOM; Lumox.bas: "
                  "code page 932; Lumox.h, .def, .ini: ASCII)" % name, not wrong, wrong)
    exports = list(lumox_header.declarations())
    for page in ("Lumox-API-ja.html", "Lumox-API-en.html"):
        text = read(page).decode("utf-8", "replace")
        missing = [n for n in exports if n not in text]
        results.check("%s: %s is one self-contained page naming all %d exports" % (name, page, len(exports)),
                      text.lstrip("\ufeff").startswith("<!DOCTYPE html>") and "<table>" in text and not missing
                      and not re.search(r"<(?:script|link|img|iframe)\b|\bsrc=", text), missing)
    crlf = lambda b: b.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")  # noqa: E731
    same = {"Lumox.h": same_text(read("Lumox.h"), source("library/include/Lumox.h")),
            "Lumox.bas": read("Lumox.bas").decode("cp932", "replace") ==
            crlf(source("bindings/vba/Lumox.bas")).decode("utf-8"),
            "Lumox-API-ja.md": read("Lumox-API-ja.md") == BOM + crlf(source("docs/Lumox-API-ja.md")),
            "Lumox-API-en.md": read("Lumox-API-en.md") == BOM + crlf(source("docs/Lumox-API-en.md")),
            "Lumox.ini": same_text(read("Lumox.ini"), source("docs/Lumox.ini")),
            "Lumox.def": same_text(read("Lumox.def"), (lumox_exports.def32_text if leg == "win32" else
                                                       lumox_exports.def_text)(lumox_exports.read()).encode())}
    results.check("%s: Lumox.h, Lumox.bas, descriptions, Lumox.ini and Lumox.def as in the source" % name,
                  all(same.values()), [k for k, v in same.items() if not v])
    results.check("%s: Lumox.ini sets LogOn=0" % name, re.search(rb"^LogOn=0\r$", read("Lumox.ini"), re.M))
    ini_read_back(results, name, read("Lumox.ini"))

    # The consumer of the Linux package tests, built from the bundle's files alone.
    os.makedirs(os.path.join(work, "run"))
    exe = os.path.join(work, "run", "consumer.exe")
    r = run(["%s-gcc" % TRIPLE[leg], "-std=c99", "-Wall", "-Wextra", "-Werror", "-I", top,
             os.path.join(HERE, "consumer", "consumer.c"), "-L", top, "-l:Lumox.lib", "-loleaut32", "-o", exe])
    results.check("%s: consumer.c builds with the bundle's Lumox.h and Lumox.lib" % name, r.returncode == 0,
                  r.stderr)
    if r.returncode == 0:
        run_under_wine(results, leg, name, top, exe, work)

    # A C caller links through the bundle's header and import library only.
    app = os.path.join(work, "app-%s.c" % leg)
    with open(app, "w") as f:
        f.write('#include "Lumox.h"\n#include <stdio.h>\nint main(void) {\n  char m[512];\n'
                '  char *pairs[] = {"a", "b"};\n  printf("%d\\n", HttpGetErrStrC(LUMOX_E_NO_PROXY, m, sizeof m));\n'
                '  return HttpDownloadFileC("http://127.0.0.1:1/", pairs, 1, "x", 0);\n}\n')
    exe = os.path.join(work, "app-%s.exe" % leg)
    r = run(["%s-gcc" % TRIPLE[leg], "-std=c99", "-Wall", "-Wextra", "-Werror", "-I", top, app,
             "-L", top, "-l:Lumox.lib", "-o", exe])
    ok = r.returncode == 0
    imports = ""
    if ok:
        dump = run(["%s-objdump" % TRIPLE[leg], "-p", exe]).stdout
        m = re.search(r"DLL Name: Lumox\.dll\n(.*?)\n\n", dump, re.S)
        imports = m.group(1) if m else ""
    results.check("%s: a C program links through Lumox.h and Lumox.lib to Lumox.dll by undecorated name" % name,
                  ok and re.search(r"\sHttpGetErrStrC\s*$", imports, re.M)
                  and re.search(r"\sHttpDownloadFileC\s*$", imports, re.M) and "@" not in imports, r.stderr or imports or "no import of Lumox.dll")


def run_under_wine(results, leg, name, top, exe, work):
    """The consumer, built from the bundle alone, runs transfers under Wine: the host's
    64-bit Wine for win64, 32-bit Wine in the emulated i386 root for win32. The prefix is
    the leg's own test prefix, ended again afterwards."""
    build = os.environ.get("LUMOX_BUILD_ROOT")
    prefix = os.path.join(build or "", leg, "wineprefix32" if leg == "win32" else "wineprefix")
    if not build or not os.path.exists(os.path.join(prefix, "system.reg")):
        print("%s: no Wine prefix of the %s leg; consumer not run" % (name, leg))
        return
    bits = ["--wine32"] if leg == "win32" else []
    wine = [os.path.join(ROOT, "scripts", "wine32-run.sh")] if leg == "win32" else ["/usr/lib/wine/wine64"]
    prefix_sh = os.path.join(ROOT, "scripts", "wine-prefix.sh")
    shutil.copy(os.path.join(top, "Lumox.dll"), os.path.dirname(exe))
    server = consumer_test.start_server(work)
    if not results.check("%s: test server started" % name, server is not None):
        return
    try:
        run(["bash", prefix_sh] + bits + [prefix], timeout=900)
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="ja_JP.UTF-8")
        consumer_test.run_consumer(results, name + " under Wine", wine + [exe], env, server,
                                   "Z:" + os.path.dirname(exe), "w" + leg[3:])
    finally:
        run(["bash", prefix_sh, "--stop"] + bits + [prefix], timeout=300)
        consumer_test.stop_server(work)


def check_linux(results, archive, work):
    name = "lumox-%s-linux-x86_64" % VERSION
    with tarfile.open(archive) as t:
        members = t.getmembers()
        t.extractall(work)
    names = sorted(m.name for m in members if not m.isdir())
    want = sorted("%s/%s" % (name, f) for f in LINUX_FILES)
    results.check("%s.tar.gz holds exactly the install tree (%d files)" % (name, len(want)), names == want, names)
    top = os.path.join(work, name)
    if names != want:
        return
    static_checks(results, "linux-prefix", top, name)
    same = open(os.path.join(top, "include", "Lumox.h"), "rb").read() == source("library/include/Lumox.h")
    results.check("%s: Lumox.h as in the source" % name, same)


def main():
    results = lumox_header.Results(sys.argv[1])
    dist, work, legs = sys.argv[2], sys.argv[3], sys.argv[4:]
    missed = [(kind, data) for kind, data in BROKEN_TEXTS if not encoding_problems(kind, data)]
    results.check("the encoding check notices each of %d broken texts" % len(BROKEN_TEXTS), not missed, missed)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for leg in legs:
        if leg in TRIPLE:
            archive = os.path.join(dist, "Lumox-%s-%s.zip" % (VERSION, leg))
        else:
            archive = os.path.join(dist, "lumox-%s-linux-x86_64.tar.gz" % VERSION)
        if not results.check("bundle %s made" % os.path.basename(archive), os.path.exists(archive)):
            continue
        sub = os.path.join(work, leg)
        os.makedirs(sub)
        if leg in TRIPLE:
            check_windows(results, leg, archive, sub)
        else:
            check_linux(results, archive, sub)
    results.write()
    return 1 if results.failed() else 0


if __name__ == "__main__":
    sys.exit(main())
