#!/usr/bin/env python3
"""Installs the Linux build into a temporary prefix and uses it as a user would.

  consumer_test.py RESULTS_FILE LINUX_BUILD_DIR WORK_DIR

Checks the installed tree, the installed library (static checks), that Lumox.h compiles on
its own (C99 and C++11 on Linux; with and without <windows.h>/<oleauto.h> in every order for
both Windows bitnesses), then builds tests/package/consumer/consumer.c once through
pkg-config and once through find_package(Lumox), and runs both against the test server.
The installed lumox runs from the tree as it lies (no library path given) against the test
server, and its manual page lumox(1) is checked.
"""
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lumox_header  # noqa: E402

ROOT = lumox_header.ROOT
HERE = os.path.dirname(os.path.abspath(__file__))
VERSION = lumox_header.project_version()
MAJOR = VERSION.split(".")[0]


def run(cmd, env=None, cwd=None, timeout=300):
    return subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=cwd, timeout=timeout)


def installed_files(prefix):
    found = set()
    for base, dirs, files in os.walk(prefix):
        for name in files:
            found.add(os.path.relpath(os.path.join(base, name), prefix))
    return found


def expected_files(build_type):
    return {
        "bin/lumox", "share/man/man1/lumox.1",
        "include/Lumox.h",
        "lib/libLumox.so", "lib/libLumox.so.%s" % MAJOR, "lib/libLumox.so.%s" % VERSION,
        "lib/pkgconfig/lumox.pc",
        "lib/cmake/Lumox/LumoxConfig.cmake", "lib/cmake/Lumox/LumoxConfigVersion.cmake",
        "lib/cmake/Lumox/LumoxTargets.cmake",
        "lib/cmake/Lumox/LumoxTargets-%s.cmake" % build_type.lower(),
        "share/doc/Lumox/Lumox-API-ja.md", "share/doc/Lumox/Lumox-API-en.md", "share/doc/Lumox/Lumox.ini",
        "share/man/man3/Lumox.3",
    }


def header_checks(results, include_dir, work):
    src = os.path.join(work, "header_only.c")
    with open(src, "w") as f:
        f.write('#include <Lumox.h>\nint (*const fn)(const char *, char **, int, const char *, int) = '
                'HttpDownloadFileC;\nint lumox_size_check[sizeof(SAFEARRAY) > 0 && sizeof(BSTR) > 0 ? 1 : -1];\n')
    flags = ["-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-I", include_dir]
    r = run(["gcc", "-std=c99", "-pedantic"] + flags + [src])
    results.check("Lumox.h alone compiles as C99 (-Wall -Wextra -Werror -pedantic)", r.returncode == 0, r.stderr)
    r = run(["g++", "-std=c++11", "-x", "c++"] + flags + [src])
    results.check("Lumox.h alone compiles as C++11", r.returncode == 0, r.stderr)
    orders = {"alone": [], "after windows.h": ["windows.h", "oleauto.h", None],
              "before windows.h": [None, "windows.h", "oleauto.h"],
              "between windows.h and oleauto.h": ["windows.h", None, "oleauto.h"]}
    jobs = []
    for triple in ("i686-w64-mingw32", "x86_64-w64-mingw32"):
        for order, includes in orders.items():
            # C99 in every order; C++11 alone and first (the other orders add nothing new).
            for lang, std in (("c", "-std=c99"), ("c++", "-std=c++11")):
                if lang == "c++" and order not in ("alone", "before windows.h"):
                    continue
                lines = ["#include <%s>" % (h or "Lumox.h") for h in (includes or [None])]
                path = os.path.join(work, "win-%s-%d.%s" % (triple[:4], len(jobs), "c" if lang == "c" else "cpp"))
                with open(path, "w") as f:
                    f.write("\n".join(lines) + "\nint (__stdcall *const fn)(int, BSTR *) = HttpGetErrStr;\n")
                jobs.append((triple, "%s %s" % (lang, order),
                             ["%s-gcc" % triple, "-x", lang, std] + flags + [path]))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        done = list(pool.map(lambda job: (job, run(job[2])), jobs))
    for triple in ("i686-w64-mingw32", "x86_64-w64-mingw32"):
        bad = ["%s: %s" % (job[1], r.stderr[:400]) for job, r in done if job[0] == triple and r.returncode != 0]
        results.check("Lumox.h compiles for %s with <windows.h>/<oleauto.h> in any order (C99, C++11)"
                      % triple.split("-")[0], not bad, bad)


def tool_checks(results, prefix, server, work):
    """The installed lumox and lumox(1)."""
    tool = os.path.join(prefix, "bin", "lumox")
    dyn = run(["readelf", "-d", tool]).stdout
    results.check("installed lumox needs no RPATH and no libLumox (the library is linked in)",
                  "(RPATH)" not in dyn and "(RUNPATH)" not in dyn and "libLumox" not in dyn, dyn)
    man = os.path.join(prefix, "share", "man", "man1", "lumox.1")
    made = run([sys.executable, os.path.join(ROOT, "docs", "make_manpage.py"), os.path.join(ROOT, "docs", "lumox.1.md")])
    results.check("installed lumox(1) is made from docs/lumox.1.md",
                  made.returncode == 0 and made.stdout == open(man, encoding="utf-8").read(),
                  made.stderr or "docs/lumox.1 is stale: run docs/make_manpage.py docs/lumox.1.md > docs/lumox.1")
    shown = run(["groff", "-k", "-man", "-Tutf8", "-ww", "-Wbreak", man])
    results.check("lumox(1) renders without groff warnings and has a SECURITY section",
                  shown.returncode == 0 and not shown.stderr.strip()
                  and "\nSECURITY\n" in re.sub(".\b", "", shown.stdout),
                  shown.stderr)

    out = os.path.join(work, "tool")
    os.makedirs(out)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "SSL_CERT_FILE", "SSL_CERT_DIR")}
    base = "http://127.0.0.1:%s/x/inst-tool/body/70000" % server["http_port"]
    r = run([tool, "get", base, "-o", "got.bin"], env=env, cwd=out)
    body = open(os.path.join(out, "got.bin"), "rb").read() if os.path.exists(os.path.join(out, "got.bin")) else b""
    results.check("installed lumox downloads from the test server",
                  r.returncode == 0 and body == bytes(i % 251 for i in range(70000)) and os.listdir(out) == ["got.bin"],
                  "exit %d, %d bytes, %s %s" % (r.returncode, len(body), os.listdir(out), r.stderr))
    url = "https://localhost:%s/x/inst-tls/body/10" % server["https_port"]
    refused = run([tool, "get", url, "-o", "tls.bin"], env=env, cwd=out)
    relaxed = run([tool, "get", url, "-o", "tls.bin", "-k"], env=env, cwd=out)
    results.check("installed lumox refuses an untrusted certificate (exit 5) and takes it with -k",
                  refused.returncode == 5 and refused.stderr.startswith("lumox: error 12045: ")
                  and relaxed.returncode == 0, "%d %s / %d %s" % (refused.returncode, refused.stderr,
                                                                   relaxed.returncode, relaxed.stderr))


def start_server(work):
    """Starts the test server for work; returns its info keys, or None."""
    info = os.path.join(work, "server.info")
    r = run([sys.executable, os.path.join(ROOT, "tests", "server", "srvctl.py"), "start", "--info", info,
             "--records", os.path.join(work, "records"), "--max-seconds", "600"])
    if r.returncode != 0:
        return None
    return dict(l.split("=", 1) for l in open(info).read().split() if "=" in l)


def stop_server(work):
    info = os.path.join(work, "server.info")
    if os.path.exists(info):
        run([sys.executable, os.path.join(ROOT, "tests", "server", "srvctl.py"), "stop", "--info", info])


def run_consumer(results, label, cmd, env, server, work_arg, prefix_id):
    """Runs consumer.c's program (cmd, then BASE_URL WORK_DIR ID_PREFIX) and checks what it
    and the server's records show."""
    base = "http://127.0.0.1:%s" % server["http_port"]
    records = server["records"]
    r = run(cmd + [base, work_arg, prefix_id], env=env, timeout=240)
    lines = [l.strip() for l in r.stdout.splitlines() if l.startswith(("ok ", "FAIL "))]
    failed = [l for l in lines if l.startswith("FAIL ")]
    results.check("[%s] consumer: %d transfer and message checks" % (label, len(lines)),
                  r.returncode == 0 and len(lines) == 9 and not failed,
                  "exit %d; %s %s" % (r.returncode, failed or lines, r.stderr[-500:]))
    record = os.path.join(records, prefix_id + "-auto", "0001.json")
    target = json.load(open(record))["target"] if os.path.exists(record) else None
    results.check("[%s] automation-form list reached the server as Name1=Value1&Name2=Value2" % label,
                  target == "/x/%s-auto/body/10?Name1=Value1&Name2=Value2" % prefix_id, target)
    record = os.path.join(records, prefix_id + "-get", "0001.json")
    target = json.load(open(record))["target"] if os.path.exists(record) else None
    results.check("[%s] plain-form list reached the server percent-encoded" % label,
                  target is not None and target.endswith("?Name1=Value1&Name2=Value%202"), target)


def main():
    results = lumox_header.Results(sys.argv[1])
    build, work = os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = os.path.join(work, "prefix")
    try:
        r = run(["cmake", "--install", build, "--prefix", prefix])
        results.check("cmake --install into a temporary prefix", r.returncode == 0, r.stderr + r.stdout)
        cache = open(os.path.join(build, "CMakeCache.txt")).read()
        build_type = [l.split("=", 1)[1] for l in cache.splitlines() if l.startswith("CMAKE_BUILD_TYPE:")][0]
        got, want = installed_files(prefix), expected_files(build_type)
        results.check("installed tree holds exactly lumox, the library, Lumox.h, lumox.pc, the CMake package and docs",
                      got == want, "extra %s, missing %s" % (sorted(got - want), sorted(want - got)))
        r = run([sys.executable, os.path.join(ROOT, "scripts", "check_binaries.py"), "linux-prefix", prefix,
                 results.path, "installed"])
        print(r.stdout, end="")  # its PASS/FAIL lines went into the results file
        if r.returncode != 0 and "FAIL" not in r.stdout:
            results.check("static checks of the installed library ran", False, r.stderr)
        header_checks(results, os.path.join(prefix, "include"), work)

        server = start_server(work)
        if not results.check("test server started", server is not None):
            return
        tool_checks(results, prefix, server, work)

        # pkg-config, from a prefix other than the one configured: the .pc file finds its tree.
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
        r = run(["pkg-config", "--modversion", "lumox"], env=env)
        results.check("pkg-config --modversion lumox is %s" % VERSION, r.stdout.strip() == VERSION, r.stdout + r.stderr)
        flags = run(["pkg-config", "--cflags", "--libs", "lumox"], env=env).stdout.split()
        os.makedirs(os.path.join(work, "pc"))
        exe = os.path.join(work, "pc", "consumer")
        # Under AddressSanitizer, so that freeing a result string by the documented rule
        # (free((char *)s - 4)) is checked against the library's own allocation.
        r = run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-fsanitize=address,undefined",
                 "-fno-sanitize-recover=undefined", "-o", exe, os.path.join(HERE, "consumer", "consumer.c")]
                + flags)
        results.check("consumer builds through pkg-config with AddressSanitizer (%s)" % " ".join(flags),
                      r.returncode == 0, r.stderr)
        if r.returncode == 0:
            needed = run(["readelf", "-d", exe]).stdout
            results.check("consumer needs libLumox.so.%s (the SONAME)" % MAJOR,
                          "[libLumox.so.%s]" % MAJOR in needed, needed)
            run_env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(prefix, "lib"))
            run_consumer(results, "pkg-config", [exe], run_env, server, os.path.dirname(exe), "pc")

        # find_package(Lumox): a version the package satisfies, and one it must refuse.
        cm = os.path.join(work, "cm")
        r = run(["cmake", "-S", os.path.join(HERE, "consumer"), "-B", cm, "-G", "Ninja",
                 "-DCMAKE_PREFIX_PATH=" + prefix, "-DLUMOX_WANT_VERSION=%s.0" % MAJOR])
        ok = r.returncode == 0
        if ok:
            r = run(["cmake", "--build", cm])
            ok = r.returncode == 0
        results.check("consumer builds through find_package(Lumox %s.0) and Lumox::Lumox" % MAJOR, ok,
                      r.stdout[-1500:] + r.stderr[-1500:])
        if ok:
            run_consumer(results, "find_package", [os.path.join(cm, "consumer")], dict(os.environ),
                         server, cm, "cm")
        r = run(["cmake", "-S", os.path.join(HERE, "consumer"), "-B", os.path.join(work, "cm2"), "-G", "Ninja",
                 "-DCMAKE_PREFIX_PATH=" + prefix, "-DLUMOX_WANT_VERSION=%d.0" % (int(MAJOR) + 1)])
        results.check("find_package(Lumox %d.0) refuses version %s" % (int(MAJOR) + 1, VERSION),
                      r.returncode != 0 and VERSION in (r.stdout + r.stderr), r.stdout[-800:] + r.stderr[-800:])
    finally:
        stop_server(work)
        results.write()


if __name__ == "__main__":
    main()
    sys.exit(0)
