#!/usr/bin/env bash
# Builds the three legs (linux, win64, win32) and shows what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in linux win64 win32; do
  echo "== $preset"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "${LUMOX_JOBS:-2}" > /dev/null
done
echo
echo "Built:"
for f in build/linux/library/libLumox.so build/win64/library/Lumox.dll build/win64/testclient/Lumoxdemo.exe \
         build/win32/library/Lumox.dll build/win32/testclient/Lumoxdemo.exe; do
  [ -f "$f" ] && printf '  %-45s %9d bytes  %s\n' "$f" "$(stat -c %s "$f")" "$(file -b "$f" | cut -d, -f1-2)"
done
echo
echo "Exports of build/win32/library/Lumox.dll:"
i686-w64-mingw32-objdump -p build/win32/library/Lumox.dll | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed 's/^/  /'
