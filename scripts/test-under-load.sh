#!/usr/bin/env bash
# Runs the test command, or chosen tests, with a CPU hog of one core beside them: a test
# that assumes a speed shows up here rather than on a busy developer's machine.
#
#   test-under-load.sh [-n N] [COMMAND [ARG...]]
#       COMMAND (default: bash scripts/test.sh) N times in a row (default 1)
#   test-under-load.sh [-n N] -t PRESET:REGEX [-t PRESET:REGEX]...
#       for each PRESET:REGEX in turn, `ctest -R REGEX` in the preset's build folder N times
#       in a row (build it first), e.g. -n 5 -t win64:'^gui_tests$' -t win32:'^gui_tests$'
#
# Each run prints its result line, the seconds it took and the tests' "note:" lines (a field
# typed again, a start tried again). The hog (stress-ng, one CPU worker, installed by
# scripts/setup.sh) is stopped by its PID when the script ends, however it ends; it also
# stops by itself after LUMOX_LOAD_HOURS (default 6). Exit status 0 when every run passed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
build_root=${LUMOX_BUILD_ROOT:-$PWD/build}
runs=1
sets=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) runs=$2; shift 2 ;;
    -t) sets+=("$2"); shift 2 ;;
    -h | --help) sed -n '2,15p' "$0"; exit 0 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || set -- bash scripts/test.sh
case $runs in '' | *[!0-9]* | 0) echo "test-under-load: -n wants a count, not '$runs'" >&2; exit 2 ;; esac
command -v stress-ng >/dev/null || { echo "test-under-load: no stress-ng (scripts/setup.sh installs it)" >&2; exit 2; }

# The hog leads a process group of its own (setsid), so its worker ends with it.
setsid stress-ng --cpu 1 --timeout "$(( ${LUMOX_LOAD_HOURS:-6} * 3600 ))" --quiet </dev/null >/dev/null 2>&1 &
hog=$!
stop_hog() {
  kill -TERM -- "-$hog" 2>/dev/null
  wait "$hog" 2>/dev/null
}
trap stop_hog EXIT
trap 'exit 130' INT TERM
echo "== load: stress-ng --cpu 1 beside the runs (PID $hog)"

failed=0
report() {  # report NAME STATUS SECONDS LOG
  local result
  result=$(grep -E '[0-9]+ passed, [0-9]+ failed|tests passed, [0-9]+ tests failed' "$4" | tail -n 1)
  echo "== $1: ${result:-no result line (status $2)} in $3 s"
  grep -hE '^([0-9]+: )?note' "$4" | sed 's/^/   /'
  [ "$2" = 0 ] || failed=$((failed + 1))
}

if [ ${#sets[@]} -eq 0 ]; then
  for ((i = 1; i <= runs; i++)); do
    log=$(mktemp)
    started=$(date +%s)
    "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    report "run $i/$runs of $*" "$status" $(( $(date +%s) - started )) "$log"
    rm -f "$log"
  done
else
  for set in "${sets[@]}"; do
    preset=${set%%:*} regex=${set#*:}
    dir=$build_root/$preset
    if [ ! -f "$dir/CTestTestfile.cmake" ]; then
      echo "test-under-load: $dir is not a configured build folder" >&2
      failed=$((failed + 1))
      continue
    fi
    for ((i = 1; i <= runs; i++)); do
      log=$dir/load-run-$i.log
      started=$(date +%s)
      ctest --test-dir "$dir" -R "$regex" -V > "$log" 2>&1
      status=$?
      report "$preset $regex run $i/$runs" "$status" $(( $(date +%s) - started )) "$log"
      [ "$status" = 0 ] || grep -E '(FAIL|Failed|Timeout)' "$log" | tail -n 20 | sed 's/^/   /'
    done
  done
fi
echo "== load: $failed failed run(s)"
[ "$failed" = 0 ]
