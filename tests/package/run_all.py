#!/usr/bin/env python3
"""The package tests of the README's test command.

  run_all.py BUILD_ROOT OUT_DIR LEG...

Always: the Lumox.bas check, the export list check, the documentation check, and the browser
check of the HTML descriptions, whose screenshots stay in OUT_DIR/screenshots. With a built
linux leg: the install and consumer tests. Then scripts/package.sh bundles every built leg
among win32, win64 and linux from BUILD_ROOT into OUT_DIR/dist, and the bundle check unpacks
and checks them.
Results go to OUT_DIR/results/checks.txt as "PASS name" / "FAIL name: why" lines.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lumox_header  # noqa: E402

ROOT = lumox_header.ROOT


def built(build_root, leg):
    checks = os.path.join(build_root, leg, "results", "checks.txt")
    return os.path.exists(checks) and ("PASS %s build\n" % leg) in open(checks).read()


def main():
    build_root, out, legs = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3:]
    results_file = os.path.join(out, "results", "checks.txt")
    os.makedirs(os.path.dirname(results_file), exist_ok=True)
    open(results_file, "w").close()
    py = sys.executable

    def step(*args, env=None):
        return subprocess.run([py] + list(args), env=env).returncode

    linux = "linux" in legs and built(build_root, "linux")
    so = os.path.join(build_root, "linux", "library", "libLumox.so")
    step(os.path.join(HERE, "check_bas.py"), results_file)
    step(os.path.join(HERE, "check_exports.py"), results_file, build_root)
    tool = os.path.join(build_root, "linux", "cli", "lumox")
    step(os.path.join(HERE, "check_docs.py"), results_file, *([so, tool] if linux else []))
    step(os.path.join(HERE, "check_html.py"), results_file, out)
    if linux:
        step(os.path.join(HERE, "consumer_test.py"), results_file, os.path.join(build_root, "linux"),
             os.path.join(out, "consumer"))

    bundle_legs = [leg for leg in ("win32", "win64", "linux") if leg in legs and built(build_root, leg)]
    if bundle_legs:
        dist = os.path.join(out, "dist")
        env = dict(os.environ, LUMOX_PACKAGE_NO_BUILD="1", LUMOX_BUILD_ROOT=build_root, LUMOX_DIST=dist,
                   LUMOX_PACKAGE_LEGS=" ".join(bundle_legs))
        r = subprocess.run(["bash", os.path.join(ROOT, "scripts", "package.sh")], env=env,
                           capture_output=True, text=True)
        print(r.stdout + r.stderr, end="")
        results = lumox_header.Results(results_file)
        results.check("scripts/package.sh makes the %s bundles" % " ".join(bundle_legs), r.returncode == 0,
                      r.stderr[-1500:])
        results.write()
        step(os.path.join(HERE, "check_bundles.py"), results_file, dist, os.path.join(out, "bundles"),
             *bundle_legs, env=dict(os.environ, LUMOX_BUILD_ROOT=build_root))
    text = open(results_file, encoding="utf-8").read()
    return 1 if "\nFAIL " in "\n" + text else 0


if __name__ == "__main__":
    sys.exit(main())
