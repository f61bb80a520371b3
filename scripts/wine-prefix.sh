#!/usr/bin/env bash
# Makes the Wine prefix the win64 tests run in (once), and keeps its wineserver up for a
# while so the test programs start quickly.
set -euo pipefail
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  timeout 240 /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
fi
test -f "$prefix/system.reg"
/usr/lib/wine/wineserver -p 60 || true
