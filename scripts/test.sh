#!/usr/bin/env bash
# Runs every test on a fresh machine: installs the packages it needs, checks the formatting,
# builds the configurations (linux, linux-asan, linux-tsan, linux-fuzz, win64, win32), runs
# the Linux, sanitizer and Wine tests, the stress test under ThreadSanitizer, each fuzz target
# for a short fixed time (LUMOX_FUZZ_SECONDS, default 30), the static checks of the 32-bit
# deliverables and their tests under 32-bit Wine in emulation (win32-run: prepared by
# scripts/wine32-prepare.sh), clang-tidy over the linux leg's sources, the check that no
# files of library/src or platform/src depend on each other in a loop, the real-server stage
# (peers), the package checks, prints the time each stage took and ends with
# "N passed, N failed". Every Wine prefix the tests used is ended when the command ends, also
# when it fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1
# A developer's or CI machine's proxy settings must not change a result (the Linux layer
# follows them for the system's configured proxy); the peers stage sets its own.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY

jobs=${LUMOX_JOBS:-2}
# Build folders: build/<preset> unless LUMOX_BUILD_ROOT names another place.
build_root=${LUMOX_BUILD_ROOT:-$root/build}
legs=${LUMOX_LEGS:-"linux linux-asan linux-tsan linux-fuzz win64 win32"}
summary=()
timings=()

# Ends the wineserver (and so every Wine process) of each prefix the legs use, then checks
# that no process of those prefixes, and no mount of the i386 root, is left.
stop_wine() {
  local prefix pid left=()
  bash scripts/wine-prefix.sh --stop "$build_root/win64/wineprefix"
  bash scripts/wine-prefix.sh --stop --wine32 "$build_root/win32/wineprefix32"
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    for prefix in "$build_root/win64/wineprefix" "$build_root/win32/wineprefix32"; do
      { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" &&
        left+=("$pid")
    done
  done
  case " $legs " in *" win64 "* | *" win32 "*) ;; *) return 0 ;; esac
  local name="no Wine process of this run nor mount of the i386 root left"
  local mounts
  mounts=$(grep -F " ${LUMOX_WINE32_HOME:-/var/cache/lumox-wine32}/root" /proc/mounts)
  if [ ${#left[@]} -gt 0 ] || [ -n "$mounts" ]; then
    echo "FAIL $name: $(ps -o pid=,args= -p "${left[*]:-0}" | tr '\n' ';') $mounts" \
      >> "$static_dir/results/checks.txt"
  else
    echo "PASS $name" >> "$static_dir/results/checks.txt"
  fi
}

# build_leg PRESET [TARGET...]: configures and builds (everything, or the targets named).
build_leg() {
  local preset=$1 dir=$build_root/$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  mkdir -p "$dir/results"
  : > "$dir/results/checks.txt"
  rm -rf "$dir/test-results" "$dir/ctest-junit.xml"
  mkdir -p "$dir/test-results"
  if cmake --preset "$preset" -B "$dir" > "$dir/results/configure.log" 2>&1 &&
     cmake --build "$dir" -j "$jobs" "${targets[@]}" > "$dir/results/build.log" 2>&1; then
    echo "PASS $preset build" >> "$dir/results/checks.txt"
    echo "== $preset: built"
    return 0
  fi
  echo "FAIL $preset build: see $dir/results/build.log" >> "$dir/results/checks.txt"
  echo "== $preset: BUILD FAILED"
  tail -n 40 "$dir/results/configure.log" "$dir/results/build.log" 2>/dev/null
  return 1
}

run_ctest() {
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --output-junit "$dir/ctest-junit.xml" --timeout 900 \
    -LE '^peers$' "$@" > "$dir/results/ctest.log" 2>&1
  grep -E '^(\s*[0-9]+/[0-9]+ Test|[0-9]+% tests passed|The following tests FAILED|\s+[0-9]+ - )' \
    "$dir/results/ctest.log" || true
}

# Static checks: formatting first (seconds), so a formatting slip shows before the builds.
static_dir=$build_root/static
mkdir -p "$static_dir/results"
: > "$static_dir/results/checks.txt"
summary+=("static=$static_dir")
trap stop_wine EXIT
started=$(date +%s)
echo "== static: formatting"
bash scripts/check_format.sh -c "$static_dir/results/checks.txt"
timings+=("$(printf '%-11s %4d s' static $(( $(date +%s) - started )))")

for preset in $legs; do
  dir=$build_root/$preset
  summary+=("$preset=$dir")
  started=$(date +%s)
  case $preset in
    win32)
      # The deliverables' static checks, then every test under 32-bit Wine in emulation.
      if build_leg "$preset"; then
        python3 scripts/check_binaries.py win32 "$dir"
        timings+=("$(printf '%-11s %4d s' "$preset" $(( $(date +%s) - started )))")
        started=$(date +%s)
        preset=win32-run
        echo "== win32-run: preparing the emulation (scripts/wine32-prepare.sh)"
        if bash scripts/wine32-prepare.sh > "$dir/results/prepare.log" 2>&1; then
          echo "PASS win32 emulation prepared" >> "$dir/results/checks.txt"
          echo "== win32-run: emulation ready after $(( $(date +%s) - started )) s; running tests"
          run_ctest "$dir"
        else
          echo "FAIL win32 emulation prepared: see $dir/results/prepare.log" >> "$dir/results/checks.txt"
          tail -n 30 "$dir/results/prepare.log"
        fi
      fi ;;
    linux-tsan)
      # Only the stress test, under ThreadSanitizer: any race report fails it.
      if build_leg "$preset" stress_tests; then
        echo "== $preset: running the stress test"
        run_ctest "$dir" -R '^stress_tests$'
      fi ;;
    linux-fuzz)
      mkdir -p "$dir/results"
      : > "$dir/results/checks.txt"
      rm -f "$dir/ctest-junit.xml"
      echo "== $preset: each fuzz target for ${LUMOX_FUZZ_SECONDS:-30} s"
      bash scripts/fuzz.sh -t "${LUMOX_FUZZ_SECONDS:-30}" -b "$dir" -c "$dir/results/checks.txt" ;;
    *)
      if build_leg "$preset"; then
        case $preset in linux | win64) python3 scripts/check_binaries.py "$preset" "$dir" ;; esac
        echo "== $preset: running tests"
        run_ctest "$dir"
      fi ;;
  esac
  timings+=("$(printf '%-11s %4d s' "$preset" $(( $(date +%s) - started )))")
  echo "== $preset: stage took $(( $(date +%s) - started )) s"
done

# Static analysis on the linux leg's compile commands (configured here when that leg is not
# among the legs run).
started=$(date +%s)
echo "== static: clang-tidy over library, platform and cli"
python3 scripts/check_tidy.py -b "$build_root/linux" -c "$static_dir/results/checks.txt" \
  > "$static_dir/results/tidy.log" 2>&1 || grep -v '^clang-tidy:' "$static_dir/results/tidy.log" | head -n 40
tail -n 1 "$static_dir/results/tidy.log"
# No loops between the files of library/src or of platform/src (includes and the linux
# leg's object files: what each uses of the others), when that leg was built.
case " $legs " in
  *" linux "*)
    python3 scripts/check_layers.py -b "$build_root/linux" -c "$static_dir/results/checks.txt" \
      > "$static_dir/results/layers.log" 2>&1 ||
      grep -v '^PASS' "$static_dir/results/layers.log" | head -n 40 ;;
esac
timings+=("$(printf '%-11s %4d s' clang-tidy $(( $(date +%s) - started )))")

# The real-server stage (tests/peers): nginx, PHP and squid on loopback, on the linux and
# win64 legs built above; its results go to peers/ of the leg's build folder.
for preset in linux win64; do
  dir=$build_root/$preset
  case " $legs " in *" $preset "*) ;; *) continue ;; esac
  [ -f "$dir/CTestTestfile.cmake" ] || continue
  started=$(date +%s)
  if ! lacking=$(python3 tests/peers/peers.py check); then
    echo "== peers ($preset): skipped, $lacking (scripts/setup.sh installs them)"
    continue
  fi
  pdir=$dir/peers
  summary+=("peers-$preset=$pdir")
  rm -rf "$pdir/test-results" "$pdir/ctest-junit.xml"
  mkdir -p "$pdir/results" "$pdir/test-results"
  : > "$pdir/results/checks.txt"
  echo "== peers ($preset): nginx, PHP and squid"
  ctest --test-dir "$dir" -L '^peers$' --output-on-failure --output-junit "$pdir/ctest-junit.xml" \
    --timeout 900 > "$pdir/results/ctest.log" 2>&1
  grep -E '^(\s*[0-9]+/[0-9]+ Test|[0-9]+% tests passed|The following tests FAILED|\s+[0-9]+ - )' \
    "$pdir/results/ctest.log" || true
  timings+=("$(printf '%-11s %4d s' "peers-$preset" $(( $(date +%s) - started )))")
done

# Install, consumer, bundle, Lumox.bas and documentation checks over the legs built above.
echo "== package: install and consumer tests, bundles, Lumox.bas, documentation and browser checks"
started=$(date +%s)
summary+=("package=$build_root/package")
python3 tests/package/run_all.py "$build_root" "$build_root/package" $legs > "$build_root/package.log" 2>&1
grep -E '^FAIL' "$build_root/package/results/checks.txt" || true
timings+=("$(printf '%-11s %4d s' package $(( $(date +%s) - started )))")

stop_wine
trap - EXIT
echo "== time per stage"
printf '   %s\n' "${timings[@]}"
python3 scripts/summarize.py "${summary[@]}"
