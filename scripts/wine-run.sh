#!/usr/bin/env bash
# Runs a Windows program of the win64 leg under Wine, in the test run's own prefix.
# WINEPREFIX is set by the test registration; the default keeps a manual run working.
export WINEPREFIX="${WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export LC_ALL="${LUMOX_WINE_LOCALE:-ja_JP.UTF-8}"
exec /usr/lib/wine/wine64 "$@"
