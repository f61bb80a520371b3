#!/usr/bin/env bash
# Runs the libFuzzer targets of tests/fuzz, each for a fixed time, one after the other.
#
#   scripts/fuzz.sh [-t SECONDS] [-b BUILD_DIR] [-c CHECKS_FILE] [NAME...]
#
# -t  seconds per target (default 600); -b the linux-fuzz build folder (default
# build/linux-fuzz, built here); -c a file that gets one "PASS name" or "FAIL name" line per
# target. Each target starts from its seeds and keeps what it finds in BUILD_DIR/corpus/NAME;
# a failing input is kept in BUILD_DIR/artifacts/. The targets run in a network namespace
# of their own with only the loopback interface up, where the machine allows one.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=600
build=$root/build/linux-fuzz
checks=
while getopts "t:b:c:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    b) build=$OPTARG ;;
    c) checks=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(fuzz_url fuzz_ini fuzz_codepage fuzz_builders fuzz_reply)

if ! { cmake --preset linux-fuzz -B "$build" > /dev/null &&
       cmake --build "$build" -j "${LUMOX_JOBS:-2}" --target fuzzers > "$build/fuzz-build.log" 2>&1; }; then
  echo "fuzz: BUILD FAILED (see $build/fuzz-build.log)"
  tail -n 30 "$build/fuzz-build.log"
  for name in "${names[@]}"; do [ -n "$checks" ] && echo "FAIL $name: build" >> "$checks"; done
  exit 1
fi

# A private network namespace: nothing but loopback can be reached from inside.
isolate=()
if unshare --net true 2> /dev/null; then
  isolate=(unshare --net sh -c 'ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null; exec "$@"' sh)
fi

failed=0
for name in "${names[@]}"; do
  corpus=$build/corpus/$name
  mkdir -p "$corpus" "$build/artifacts"
  log=$build/$name.log
  start=$(date +%s)
  "${isolate[@]}" "$build/tests/fuzz/$name" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
    -dict="$root/tests/fuzz/dictionary.txt" -artifact_prefix="$build/artifacts/$name-" \
    -print_final_stats=1 "$corpus" "$root/tests/fuzz/seeds/$name" > "$log" 2>&1
  rc=$?
  runs=$(grep -oE '^Done [0-9]+ runs' "$log" | tail -n 1 | awk '{print $2}')
  elapsed=$(( $(date +%s) - start ))
  if [ $rc -eq 0 ] && [ -n "$runs" ]; then
    echo "fuzz: $name passed: ${runs} runs in ${elapsed} s, corpus $(ls "$corpus" | wc -l) inputs"
    [ -n "$checks" ] && echo "PASS $name (${runs} runs, ${elapsed} s)" >> "$checks"
  else
    failed=1
    echo "fuzz: $name FAILED after ${elapsed} s (exit $rc); log $log"
    grep -E 'check failed|ERROR|SUMMARY|Test unit written' "$log" | head -n 10
    [ -n "$checks" ] && echo "FAIL $name: see $log" >> "$checks"
  fi
done
exit $failed
