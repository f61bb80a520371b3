#!/usr/bin/env python3
"""Static checks of the built deliverables.

  check_binaries.py win32 BUILD_DIR   Lumox.dll and Lumoxdemo.exe of the 32-bit Windows leg
  check_binaries.py linux BUILD_DIR   libLumox.so of the Linux leg

Each check prints and appends "PASS name" or "FAIL name: why" to BUILD_DIR/results/checks.txt.
"""
import os
import re
import struct
import subprocess
import sys

EXPORTS = ["HttpDownloadFile", "HttpDownloadFileEx", "HttpGetErrStr", "HttpParseURL",
           "HttpUploadFile", "HttpUploadFileEx", "HttpDownloadFileC", "HttpDownloadFileExC",
           "HttpGetErrStrC", "HttpParseURLC", "HttpUploadFileC", "HttpUploadFileExC"]
# Bytes of arguments each export takes on 32-bit Windows (stdcall: the callee pops them).
ARG_BYTES = {"HttpDownloadFile": 16, "HttpDownloadFileEx": 36, "HttpGetErrStr": 8,
             "HttpParseURL": 8, "HttpUploadFile": 20, "HttpUploadFileEx": 40,
             "HttpDownloadFileC": 20, "HttpDownloadFileExC": 40, "HttpGetErrStrC": 12,
             "HttpParseURLC": 12, "HttpUploadFileC": 24, "HttpUploadFileExC": 44}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "wininet.dll", "shlwapi.dll",
               "oleaut32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll", "comctl32.dll",
               "shell32.dll", "ntdll.dll"}
SYSTEM_SO = re.compile(r"^(libc|libm|libdl|libpthread|librt|libgcc_s|libstdc\+\+|libcurl|ld-linux.*)\.so")

results = []


def check(name, ok, why=""):
    results.append(("PASS " + name) if ok else ("FAIL %s: %s" % (name, why)))
    print(results[-1])


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def pe_exports(path):
    out = run("i686-w64-mingw32-objdump", "-p", path)
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


def stdcall_pops(path, rva, image_base, nbytes):
    """True when the function at rva returns with 'ret $nbytes' before any other ret."""
    start = image_base + rva
    out = run("i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn",
              "--start-address=0x%x" % start, "--stop-address=0x%x" % (start + 4096), path)
    for line in out.splitlines():
        m = re.search(r"\bret\s*(\$0x([0-9a-f]+))?", line)
        if m and re.search(r"\t(ret|retl)\b", line):
            return m.group(2) is not None and int(m.group(2), 16) == nbytes
    return False


def check_win32(build):
    dll = os.path.join(build, "library", "Lumox.dll")
    exe = os.path.join(build, "testclient", "Lumoxdemo.exe")
    check("win32 Lumox.dll built", os.path.exists(dll), dll + " missing")
    if os.path.exists(dll):
        fmt = run("i686-w64-mingw32-objdump", "-f", dll)
        check("win32 Lumox.dll is a 32-bit PE", "pei-i386" in fmt, fmt.strip())
        table, base, rvas, image_base = pe_exports(dll)
        names = [n for _, n in table]
        check("win32 Lumox.dll exports exactly the 12 names", sorted(names) == sorted(EXPORTS),
              "exports: %s" % names)
        by_ordinal = {o: n for o, n in table}
        want = {i + 1: n for i, n in enumerate(EXPORTS)}
        check("win32 Lumox.dll ordinals 1 to 12 in order", by_ordinal == want and base == 1,
              "ordinals: %s" % sorted(by_ordinal.items()))
        check("win32 Lumox.dll names undecorated",
              all("@" not in n and not n.startswith("_") for n in names), str(names))
        bad = [n for o, n in table if o in rvas and not stdcall_pops(dll, rvas[o], image_base, ARG_BYTES.get(n, -1))]
        check("win32 Lumox.dll exports are stdcall (callee pops its arguments)", not bad and len(rvas) == 12,
              "not stdcall: %s" % bad)
        imports = pe_imports(dll, "i686-w64-mingw32-objdump")
        check("win32 Lumox.dll imports only system DLLs", set(imports) <= SYSTEM_DLLS, str(imports))
        data = open(dll, "rb").read()
        check("win32 Lumox.dll version 1.8.2.0", fixed_version(data) == ((1, 8, 2, 0), (1, 8, 2, 0)),
              str(fixed_version(data)))
        want_strings = {"FileVersion": "1, 8, 2, 0", "ProductVersion": "1, 8, 2, 0",
                        "FileDescription": "Lumox", "InternalName": "Lumox",
                        "OriginalFilename": "Lumox.dll", "ProductName": "Lumox API Release",
                        "Comments": "HTTP/HTTPS Download/Upload API"}
        got = {k: version_value(data, k) for k in want_strings}
        check("win32 Lumox.dll version strings", got == want_strings, str(got))
        check("win32 Lumox.dll version block 041104b0 (Japanese, Unicode)", utf16("041104b0") in data)
    check("win32 Lumoxdemo.exe built", os.path.exists(exe), exe + " missing")
    if os.path.exists(exe):
        imports = pe_imports(exe, "i686-w64-mingw32-objdump")
        check("win32 Lumoxdemo.exe imports nothing of Lumox", not any("lumox" in i for i in imports), str(imports))
        check("win32 Lumoxdemo.exe imports only system DLLs", set(imports) <= SYSTEM_DLLS, str(imports))
        data = open(exe, "rb").read()
        check("win32 Lumoxdemo.exe version 2.0.0.0", fixed_version(data) == ((2, 0, 0, 0), (2, 0, 0, 0)),
              str(fixed_version(data)))
        got = {k: version_value(data, k) for k in ("FileVersion", "ProductVersion", "ProductName",
                                                   "InternalName", "OriginalFilename")}
        want = {"FileVersion": "2.00", "ProductVersion": "2.00", "ProductName": "Lumoxdemo",
                "InternalName": "Lumoxdemo", "OriginalFilename": "Lumoxdemo.exe"}
        check("win32 Lumoxdemo.exe version strings", got == want, str(got))
        desc = version_value(data, "FileDescription") or ""
        check("win32 Lumoxdemo.exe description is the window caption",
              desc.startswith("【Lumox利用ｻﾝﾌﾟﾙ】-"), desc)


def check_linux(build):
    so = os.path.join(build, "library", "libLumox.so")
    check("linux libLumox.so built", os.path.exists(so), so + " missing")
    if not os.path.exists(so):
        return
    out = run("nm", "-D", "--defined-only", so)
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    check("linux libLumox.so exports exactly the 12 names", names == sorted(EXPORTS), str(names))
    dyn = run("readelf", "-d", so)
    needed = re.findall(r"Shared library: \[([^\]]+)\]", dyn)
    check("linux libLumox.so depends on system libraries only",
          all(SYSTEM_SO.match(n) for n in needed), str(needed))


def main():
    leg, build = sys.argv[1], sys.argv[2]
    {"win32": check_win32, "linux": check_linux}[leg](build)
    os.makedirs(os.path.join(build, "results"), exist_ok=True)
    with open(os.path.join(build, "results", "checks.txt"), "a", encoding="utf-8") as f:
        f.write("\n".join(results) + "\n")
    return 0 if all(r.startswith("PASS") for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
