#!/usr/bin/env bash
# The Wine prefix a Windows leg's tests run in.
#
#   wine-prefix.sh [--wine32] PREFIX          makes it (once) and starts Wine's services
#   wine-prefix.sh --stop [--wine32] PREFIX   ends its wineserver, and with it every Wine
#                                             process of the prefix
#
# Without --wine32 the host's 64-bit Wine (win64 leg); with it 32-bit Wine in the emulated
# i386 root through scripts/wine32-run.sh (win32 leg). The services are started with their
# output away from the caller: a service started by the first test program would otherwise
# hold that test's output pipe open and CTest would wait for it. A prefix whose making was
# cut short, or made for the other bitness, is made again.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stop=0 bits=64
while [ $# -gt 1 ]; do
  case $1 in
    --stop) stop=1 ;;
    --wine32) bits=32 ;;
    *) break ;;
  esac
  shift
done
prefix=$(realpath -m "$1")
export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
if [ "$bits" = 32 ]; then
  wine=("$here/wine32-run.sh")
  wineserver=("$here/wine32-run.sh" --wineserver)
  boot_seconds=420 persist=300
else
  wine=(/usr/lib/wine/wine64)
  wineserver=(/usr/lib/wine/wineserver)
  boot_seconds=240 persist=120
fi

if [ "$stop" = 1 ]; then
  [ -d "$prefix" ] || exit 0
  # -k sends SIGINT, then SIGKILL to what is left; -w waits until the server is gone.
  timeout 60 "${wineserver[@]}" -k </dev/null >/dev/null 2>&1
  timeout 60 "${wineserver[@]}" -w </dev/null >/dev/null 2>&1
  exit 0
fi

if [ ! -f "$prefix/.lumox-ready" ] || ! grep -qx "#arch=win$bits" "$prefix/system.reg" 2>/dev/null; then
  "${wineserver[@]}" -k </dev/null >/dev/null 2>&1
  rm -rf "$prefix"
  mkdir -p "$prefix"
  timeout "$boot_seconds" "${wine[@]}" wineboot --init </dev/null >/dev/null 2>&1
  # The registry files are written when the wineserver ends.
  timeout 120 "${wineserver[@]}" -w </dev/null >/dev/null 2>&1
  if ! grep -qx "#arch=win$bits" "$prefix/system.reg" 2>/dev/null; then
    echo "wine-prefix: making the win$bits prefix $prefix failed" >&2
    [ "$bits" = 32 ] && echo "wine-prefix: is the emulation prepared? scripts/wine32-prepare.sh" >&2
    exit 1
  fi
  touch "$prefix/.lumox-ready"
fi
# The server stays up between test programs (a fresh one restarts every service), until the
# stop or a while after the last program.
"${wineserver[@]}" -p "$persist" </dev/null >/dev/null 2>&1
timeout 180 "${wine[@]}" cmd /c exit </dev/null >/dev/null 2>&1
exit 0
