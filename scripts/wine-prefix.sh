#!/usr/bin/env bash
# Makes the Wine prefix the win64 tests run in (once), keeps its wineserver up for a
# while, and starts Wine's background services with their output away from the caller:
# a service started by the first test program would otherwise hold that test's output
# pipe open and CTest would wait for it.
set -euo pipefail
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  timeout 240 /usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1 || true
  # The registry files are written when the wineserver ends.
  timeout 120 /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1 || true
fi
test -f "$prefix/system.reg"
/usr/lib/wine/wineserver -p 120 </dev/null >/dev/null 2>&1 || true
timeout 120 /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
