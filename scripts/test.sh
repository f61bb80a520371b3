#!/usr/bin/env bash
# Runs every test on a fresh machine: installs the packages it needs, builds the four
# configurations (linux, linux-asan, win64, win32), runs the Linux, sanitizer and Wine
# tests and the static checks of the 32-bit deliverables, and ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1

jobs=${LUMOX_JOBS:-2}
# Build folders: build/<preset> unless LUMOX_BUILD_ROOT names another place.
build_root=${LUMOX_BUILD_ROOT:-$root/build}
legs=${LUMOX_LEGS:-"linux linux-asan win64 win32"}
summary=()

build_leg() {
  local preset=$1 dir=$build_root/$1
  mkdir -p "$dir/results"
  : > "$dir/results/checks.txt"
  rm -rf "$dir/test-results" "$dir/ctest-junit.xml"
  mkdir -p "$dir/test-results"
  if cmake --preset "$preset" -B "$dir" > "$dir/results/configure.log" 2>&1 &&
     cmake --build "$dir" -j "$jobs" > "$dir/results/build.log" 2>&1; then
    echo "PASS $preset build" >> "$dir/results/checks.txt"
    echo "== $preset: built"
    return 0
  fi
  echo "FAIL $preset build: see $dir/results/build.log" >> "$dir/results/checks.txt"
  echo "== $preset: BUILD FAILED"
  tail -n 40 "$dir/results/configure.log" "$dir/results/build.log" 2>/dev/null
  return 1
}

for preset in $legs; do
  dir=$build_root/$preset
  summary+=("$preset=$dir")
  build_leg "$preset" || continue
  case $preset in
    win32)
      python3 scripts/check_binaries.py win32 "$dir" ;;
    *)
      case $preset in linux | win64) python3 scripts/check_binaries.py "$preset" "$dir" ;; esac
      echo "== $preset: running tests"
      ctest --test-dir "$dir" --output-on-failure -j "$jobs" --output-junit "$dir/ctest-junit.xml" --timeout 900 \
        > "$dir/results/ctest.log" 2>&1
      grep -E '^(\s*[0-9]+/[0-9]+ Test|[0-9]+% tests passed|The following tests FAILED|\s+[0-9]+ - )' \
        "$dir/results/ctest.log" || true
      ;;
  esac
done

# Install, consumer, bundle, Lumox.bas and documentation checks over the legs built above.
echo "== package: install and consumer tests, bundles, Lumox.bas and documentation checks"
summary+=("package=$build_root/package")
python3 tests/package/run_all.py "$build_root" "$build_root/package" $legs > "$build_root/package.log" 2>&1
grep -E '^FAIL' "$build_root/package/results/checks.txt" || true

python3 scripts/summarize.py "${summary[@]}"
