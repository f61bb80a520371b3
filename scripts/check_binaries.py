#!/usr/bin/env python3
"""Static checks of the built, installed and bundled deliverables.

  check_binaries.py win32 BUILD_DIR   Lumox.dll, Lumoxdemo.exe and lumox.exe of the 32-bit Windows leg
  check_binaries.py win64 BUILD_DIR   the same of the 64-bit Windows leg
  check_binaries.py linux BUILD_DIR   libLumox.so of the Linux leg
  check_binaries.py win32-dir DIR [RESULTS]   Lumox.dll, Lumoxdemo.exe and lumox.exe lying in DIR (a bundle)
  check_binaries.py win64-dir DIR [RESULTS]
  check_binaries.py linux-prefix PREFIX [RESULTS]   lib/libLumox.so* of an install tree

Each check prints and appends "PASS name" or "FAIL name: why" to BUILD_DIR/results/checks.txt
(or to RESULTS). The version expected is the one of project(VERSION) in CMakeLists.txt.
"""
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lumox_exports  # noqa: E402

# The exports in ordinal order, and the bytes of arguments each takes on 32-bit Windows
# (stdcall: the callee pops them), from library/Lumox.exports.
EXPORTS = [e.name for e in lumox_exports.read()]
ARG_BYTES = {e.name: e.arg_bytes for e in lumox_exports.read()}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "wininet.dll", "shlwapi.dll",
               "oleaut32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll", "comctl32.dll",
               "shell32.dll", "ntdll.dll"}
SYSTEM_SO = re.compile(r"^(libc|libm|libdl|libpthread|librt|libgcc_s|libstdc\+\+|libcurl|ld-linux.*)\.so")

results = []
label = ""


def project_version():
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")
    m = re.search(r"project\(\s*Lumox\s+VERSION\s+(\d+)\.(\d+)\.(\d+)", open(top).read())
    return tuple(int(x) for x in m.groups())


VERSION = project_version()


def check(name, ok, why=""):
    name = label + name
    results.append(("PASS " + name) if ok else ("FAIL %s: %s" % (name, why)))
    print(results[-1])


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def pe_exports(path, objdump):
    out = run(objdump, "-p", path)
    table = []
    section = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) == 2:
        for line in section[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)", line)
            if not m:
                break
            table.append((int(m.group(1)) + 1, m.group(2)))
    base = re.search(r"Ordinal Base (\d+)", out)
    rvas = {}
    m = re.search(r"Export Address Table -- Ordinal Base \d+\n(.*?)\n\n", out, re.S)
    if m:
        for line in m.group(1).splitlines():
            mm = re.match(r"\s*\[\s*(\d+)\] \+base\[\s*(\d+)\]\s+([0-9a-f]+)", line)
            if mm:
                rvas[int(mm.group(2))] = int(mm.group(3), 16)
    image_base = int(re.search(r"ImageBase\s+([0-9a-f]+)", out).group(1), 16)
    return sorted(table), (int(base.group(1)) if base else None), rvas, image_base


def pe_imports(path, objdump):
    out = run(objdump, "-p", path)
    return [m.lower() for m in re.findall(r"DLL Name: (\S+)", out)]


def utf16(text):
    return text.encode("utf-16-le")


def fixed_version(data):
    i = data.find(struct.pack("<I", 0xFEEF04BD))
    if i < 0:
        return None
    _, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", data, i)
    return (fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF), (pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF)


def version_value(data, key):
    """The string value of a StringFileInfo entry (UTF-16), or None."""
    k = utf16(key) + b"\0\0"
    i = data.find(k)
    if i < 0:
        return None
    j = i + len(k)
    while data[j:j + 2] == b"\0\0":
        j += 2
    end = j
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return data[j:end].decode("utf-16-le", "replace")


def check_stdcall_returns(dll, table, rvas, image_base):
    """Each 32-bit export's own code returns with 'ret $N', N being the bytes its arguments
    take, at every return: the callee pops exactly what a stdcall caller pushed. A function
    ends where the next symbol of the DLL's symbol table starts (at most 4 KiB on); without a
    symbol table its first return is taken."""
    objdump = "i686-w64-mingw32-objdump"
    starts = sorted({int(m.group(1), 16) for m in
                     re.finditer(r"^([0-9a-f]{8}) [TtWw] ", run("i686-w64-mingw32-nm", dll), re.M)})
    for ordinal, name in table:
        if ordinal not in rvas:
            check("win32 Lumox.dll %s has code" % name, False, "no address for ordinal %d" % ordinal)
            continue
        start = image_base + rvas[ordinal]
        later = [a for a in starts if a > start]
        end = min(later[0], start + 4096) if later else start + 4096
        out = run(objdump, "-d", "--no-show-raw-insn", "--start-address=0x%x" % start,
                  "--stop-address=0x%x" % end, dll)
        pops = []
        for line in out.splitlines():
            m = re.search(r"\t(?:ret|retl)\b\s*(?:\$0x([0-9a-f]+))?", line)
            if m:
                pops.append(int(m.group(1), 16) if m.group(1) else 0)
                if not later:
                    break
        want = ARG_BYTES.get(name, -1)
        check("win32 Lumox.dll %s returns with ret $%d" % (name, want), pops and set(pops) == {want},
              "returns pop %s" % (pops or "nothing found"))


def check_windows(leg, dll, exe):
    objdump = {"win32": "i686-w64-mingw32-objdump", "win64": "x86_64-w64-mingw32-objdump"}[leg]
    pe_format = {"win32": "pei-i386", "win64": "pei-x86-64"}[leg]
    check("%s Lumox.dll built" % leg, os.path.exists(dll), dll + " missing")
    if os.path.exists(dll):
        fmt = run(objdump, "-f", dll)
        check("%s Lumox.dll is a %s-bit PE" % (leg, leg[3:]), pe_format in fmt, fmt.strip())
        table, base, rvas, image_base = pe_exports(dll, objdump)
        names = [n for _, n in table]
        check("%s Lumox.dll exports exactly the %d names of Lumox.exports" % (leg, len(EXPORTS)),
              sorted(names) == sorted(EXPORTS), "exports: %s" % names)
        by_ordinal = {o: n for o, n in table}
        want = {i + 1: n for i, n in enumerate(EXPORTS)}
        check("%s Lumox.dll ordinals 1 to 12 in order" % leg, by_ordinal == want and base == 1,
              "ordinals: %s" % sorted(by_ordinal.items()))
        check("%s Lumox.dll names undecorated" % leg,
              all("@" not in n and not n.startswith("_") for n in names), str(names))
        if leg == "win32":
            check_stdcall_returns(dll, table, rvas, image_base)
        imports = pe_imports(dll, objdump)
        check("%s Lumox.dll imports only system DLLs" % leg, set(imports) <= SYSTEM_DLLS, str(imports))
        data = open(dll, "rb").read()
        numeric = VERSION + (0,)
        check("%s Lumox.dll version %s" % (leg, ".".join(map(str, numeric))),
              fixed_version(data) == (numeric, numeric), str(fixed_version(data)))
        text = ", ".join(map(str, numeric))
        want_strings = {"FileVersion": text, "ProductVersion": text,
                        "FileDescription": "Lumox", "InternalName": "Lumox",
                        "OriginalFilename": "Lumox.dll", "ProductName": "Lumox API Release",
                        "Comments": "HTTP/HTTPS Download/Upload API"}
        got = {k: version_value(data, k) for k in want_strings}
        check("%s Lumox.dll version strings" % leg, got == want_strings, str(got))
        check("%s Lumox.dll version block 041104b0 (Japanese, Unicode)" % leg, utf16("041104b0") in data)
    check("%s Lumoxdemo.exe built" % leg, os.path.exists(exe), exe + " missing")
    if os.path.exists(exe):
        fmt = run(objdump, "-f", exe)
        check("%s Lumoxdemo.exe is a %s-bit PE" % (leg, leg[3:]), pe_format in fmt, fmt.strip())
        imports = pe_imports(exe, objdump)
        check("%s Lumoxdemo.exe imports nothing of Lumox" % leg, not any("lumox" in i for i in imports), str(imports))
        check("%s Lumoxdemo.exe imports only system DLLs" % leg, set(imports) <= SYSTEM_DLLS, str(imports))
        data = open(exe, "rb").read()
        check("%s Lumoxdemo.exe version 2.0.0.0" % leg, fixed_version(data) == ((2, 0, 0, 0), (2, 0, 0, 0)),
              str(fixed_version(data)))
        got = {k: version_value(data, k) for k in ("FileVersion", "ProductVersion", "ProductName",
                                                   "InternalName", "OriginalFilename")}
        want = {"FileVersion": "2.00", "ProductVersion": "2.00", "ProductName": "Lumoxdemo",
                "InternalName": "Lumoxdemo", "OriginalFilename": "Lumoxdemo.exe"}
        check("%s Lumoxdemo.exe version strings" % leg, got == want, str(got))
        desc = version_value(data, "FileDescription") or ""
        check("%s Lumoxdemo.exe description is the window caption" % leg,
              desc.startswith("【Lumox利用ｻﾝﾌﾟﾙ】-"), desc)


def check_tool(leg, exe):
    """lumox.exe: the library linked in, system DLLs only, the project's version."""
    objdump = {"win32": "i686-w64-mingw32-objdump", "win64": "x86_64-w64-mingw32-objdump"}[leg]
    check("%s lumox.exe built" % leg, os.path.exists(exe), exe + " missing")
    if not os.path.exists(exe):
        return
    fmt = run(objdump, "-f", exe)
    check("%s lumox.exe is a %s-bit PE" % (leg, leg[3:]), {"win32": "pei-i386", "win64": "pei-x86-64"}[leg] in fmt,
          fmt.strip())
    imports = pe_imports(exe, objdump)
    check("%s lumox.exe imports only system DLLs (none of Lumox)" % leg, set(imports) <= SYSTEM_DLLS, str(imports))
    data = open(exe, "rb").read()
    numeric = VERSION + (0,)
    check("%s lumox.exe version %s" % (leg, ".".join(map(str, numeric))), fixed_version(data) == (numeric, numeric),
          str(fixed_version(data)))
    got = {k: version_value(data, k) for k in ("InternalName", "OriginalFilename")}
    check("%s lumox.exe version strings" % leg, got == {"InternalName": "lumox", "OriginalFilename": "lumox.exe"},
          str(got))


def check_linux_so(so, links):
    """so: the library file to check; links: {link path: target name} expected beside it."""
    major = VERSION[0]
    check("linux libLumox.so built", os.path.exists(so), so + " missing")
    if not os.path.exists(so):
        return
    real = os.path.realpath(so)
    want_file = "libLumox.so.%d.%d.%d" % VERSION
    check("linux library file is %s" % want_file, os.path.basename(real) == want_file, real)
    for link, target in links.items():
        check("linux %s -> %s" % (os.path.basename(link), target),
              os.path.islink(link) and os.readlink(link) == target,
              os.readlink(link) if os.path.islink(link) else "not a link")
    out = run("nm", "-D", "--defined-only", so)
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    node = "LUMOX_%d" % major
    names = sorted(s.split("@")[0] for s in symbols if s != node)
    check("linux libLumox.so exports exactly the %d names of Lumox.exports" % len(EXPORTS), names == sorted(EXPORTS), str(names))
    check("linux libLumox.so exports carry the version node %s" % node,
          node in symbols and all(s.endswith("@@" + node) for s in symbols if s != node), str(symbols))
    dyn = run("readelf", "-d", so)
    soname = re.findall(r"Library soname: \[([^\]]+)\]", dyn)
    check("linux libLumox.so SONAME libLumox.so.%d" % major, soname == ["libLumox.so.%d" % major], str(soname))
    check("linux libLumox.so has no RPATH or RUNPATH", not re.search(r"\((RUNPATH|RPATH)\)", dyn), dyn)
    needed = re.findall(r"Shared library: \[([^\]]+)\]", dyn)
    check("linux libLumox.so depends on system libraries only",
          all(SYSTEM_SO.match(n) for n in needed), str(needed))


def so_links(libdir):
    major = VERSION[0]
    return {os.path.join(libdir, "libLumox.so.%d" % major): "libLumox.so.%d.%d.%d" % VERSION,
            os.path.join(libdir, "libLumox.so"): "libLumox.so.%d" % major}


def main():
    global label
    leg, where = sys.argv[1], sys.argv[2]
    results_file = os.path.join(where, "results", "checks.txt")
    if leg in ("win32", "win64"):
        check_windows(leg, os.path.join(where, "library", "Lumox.dll"),
                      os.path.join(where, "testclient", "Lumoxdemo.exe"))
        check_tool(leg, os.path.join(where, "cli", "lumox.exe"))
    elif leg == "linux":
        check_linux_so(os.path.join(where, "library", "libLumox.so"), so_links(os.path.join(where, "library")))
    else:
        label = "[%s] " % (sys.argv[4] if len(sys.argv) > 4 else os.path.basename(os.path.normpath(where)))
        if len(sys.argv) > 3:
            results_file = sys.argv[3]
        if leg in ("win32-dir", "win64-dir"):
            check_windows(leg[:5], os.path.join(where, "Lumox.dll"), os.path.join(where, "Lumoxdemo.exe"))
            check_tool(leg[:5], os.path.join(where, "lumox.exe"))
        elif leg == "linux-prefix":
            libdir = os.path.join(where, "lib")
            check_linux_so(os.path.join(libdir, "libLumox.so"), so_links(libdir))
        else:
            sys.exit("unknown leg " + leg)
    os.makedirs(os.path.dirname(results_file), exist_ok=True)
    with open(results_file, "a", encoding="utf-8") as f:
        f.write("\n".join(results) + "\n")
    return 0 if all(r.startswith("PASS") for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
