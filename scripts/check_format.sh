#!/usr/bin/env bash
# Checks that every C and C++ source of the project is formatted by .clang-format.
#
#   scripts/check_format.sh [-c CHECKS_FILE] [--fix]
#
# Lists each file that clang-format would change and exits 1 when there is one; --fix
# formats them instead. With -c, adds one "PASS format" or "FAIL format: N files" line.
# Generated sources (the code page table) are left as their generator writes them.
set -uo pipefail
cd "$(dirname "$0")/.."
checks= fix=0
while [ $# -gt 0 ]; do
  case $1 in
    -c) checks=$2; shift 2 ;;
    --fix) fix=1; shift ;;
    *) echo "usage: scripts/check_format.sh [-c CHECKS_FILE] [--fix]" >&2; exit 2 ;;
  esac
done
mapfile -t files < <(git ls-files -- library platform cli testclient tests bench |
                     grep -E '\.(c|cc|cpp|h|hpp)$' | grep -v '^platform/src/cp932_table\.h$')
if [ "$fix" = 1 ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
# One run over all files; each unformatted place is reported as "FILE:LINE:COL: error: ...".
mapfile -t bad < <(clang-format --dry-run "${files[@]}" 2>&1 |
                   sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: .*clang-format-violations.*/\1/p' | sort -u)
if [ ${#bad[@]} -eq 0 ]; then
  echo "format: ${#files[@]} files formatted"
  [ -n "$checks" ] && echo "PASS format" >> "$checks"
  exit 0
fi
echo "format: not formatted (scripts/check_format.sh --fix formats them):"
printf '  %s\n' "${bad[@]}"
[ -n "$checks" ] && echo "FAIL format: ${#bad[@]} files not formatted" >> "$checks"
exit 1
