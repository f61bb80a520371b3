#!/usr/bin/env bash
# Compares two builds of libLumox.so fairly: bench/compare.sh is run on each in turn
# (A, B, A, B, ...), so that a machine that drifts slower or faster during the hour weighs on
# both alike.
#   bench/interleave.sh BUILD_A BUILD_B     (each a linux preset build folder)
# Environment: ROUNDS (pairs of runs, default 3); REPS, BIG_REPS and CASES go to compare.sh.
# Prints every table as it is made, each headed with its build, and at the end per build and
# case the worst and the median across the rounds of L/curl and L/floor, and the largest peak.
# Exit status 1 when any run of compare.sh failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
[ $# -eq 2 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
builds=("$1" "$2")
rounds="${ROUNDS:-3}"
case $rounds in '' | *[!0-9]* | 0) echo "interleave: ROUNDS wants a count" >&2; exit 2 ;; esac
out="$(mktemp -d "${TMPDIR:-/tmp}/lumox-interleave-XXXXXX")"
trap 'rm -rf "$out"' EXIT
status=0
for round in $(seq "$rounds"); do
  for i in 0 1; do
    label=$([ "$i" -eq 0 ] && echo A || echo B)
    printf '\n== %s (%s), round %d of %d\n' "$label" "${builds[$i]}" "$round" "$rounds"
    RUNS=1 bash "$here/compare.sh" "${builds[$i]}" | tee "$out/$label.$round" || status=1
  done
done
# The rows of a table: case, lumox, curl, wget, L/curl, L/wget, L/floor, peak MiB.
printf '\nacross %d rounds: worst and median per case (A = %s, B = %s)\n' "$rounds" "$1" "$2"
printf '%-16s %-2s %12s %8s %12s %8s %9s\n' case '' 'L/curl worst' median 'L/flr worst' median \
  'peak MiB'
cat "$out"/A.* "$out"/B.* 2>/dev/null | awk '$1 ~ /^(dl|ul)-/ && NF == 8 {print $1}' |
  awk '!seen[$0]++' | while read -r name; do
    for label in A B; do
      cat "$out/$label".* 2>/dev/null | awk -v n="$name" -v lab="$label" '
        function sort(a, k,   i, j, t) {
          for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
        }
        function med(a, k) { return k == 0 ? "-" : (k % 2 ? a[(k+1)/2] : (a[k/2] + a[k/2+1]) / 2) }
        $1 == n && NF == 8 {
          if ($5 ~ /^[0-9.]+$/) c[++nc] = $5
          if ($7 ~ /^[0-9.]+$/) f[++nf] = $7
          if ($8 + 0 > peak) peak = $8 + 0
        }
        END {
          sort(c, nc); sort(f, nf)
          printf "%-16s %-2s %12s %8s %12s %8s %9.1f\n", n, lab,
            nc ? sprintf("%.2f", c[nc]) : "-", nc ? sprintf("%.2f", med(c, nc)) : "-",
            nf ? sprintf("%.2f", f[nf]) : "-", nf ? sprintf("%.2f", med(f, nf)) : "-", peak
        }'
    done
  done
exit "$status"
