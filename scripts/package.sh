#!/usr/bin/env bash
# Makes the release bundles in dist/:
#   Lumox-<version>-win32.zip, Lumox-<version>-win64.zip   DLL, import library, .def, Lumox.h,
#       Lumox.bas, Lumoxdemo.exe, lumox.exe, the two descriptions, Lumox.ini sample, README.txt
#   lumox-<version>-linux-x86_64.tar.gz                     the install tree of the Linux build
# Builds the library and the test client of each leg first, runs the static checks on the
# very files to be bundled and refuses to make a bundle whose binaries fail them.
#   LUMOX_PACKAGE_LEGS   bundles to make (default "win32 win64 linux")
#   LUMOX_BUILD_ROOT     build folders (default build/), LUMOX_DIST output folder (default dist/)
#   LUMOX_PACKAGE_NO_BUILD=1   take the build folders as they are
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
version=$(sed -n 's/^project(Lumox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
build_root=${LUMOX_BUILD_ROOT:-$root/build}
dist=${LUMOX_DIST:-$root/dist}
legs=${LUMOX_PACKAGE_LEGS:-"win32 win64 linux"}
stage=$(mktemp -d /tmp/lumox-package-XXXXXX)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$dist"

build() {  # preset target...
  local preset=$1
  shift
  [ -n "${LUMOX_PACKAGE_NO_BUILD:-}" ] && return 0
  if [ ! -f "$build_root/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" -B "$build_root/$preset" > /dev/null
  fi
  cmake --build "$build_root/$preset" -j "${LUMOX_JOBS:-2}" --target "$@" > /dev/null
}

crlf() { sed 's/\r*$/\r/' "$1"; }

static_checks() {  # mode path name
  if ! python3 scripts/check_binaries.py "$1" "$2" "$stage/checks.txt" "$3" > "$stage/checks.log"; then
    grep FAIL "$stage/checks.log" >&2
    echo "package: $3 fails the static checks; no bundle made" >&2
    exit 1
  fi
}

for leg in $legs; do
  dir=$build_root/$leg
  case $leg in
    win32 | win64)
      build "$leg" Lumox Lumoxdemo lumox
      name=Lumox-$version-$leg
      out=$stage/$name
      mkdir -p "$out"
      cp "$dir/library/Lumox.dll" "$dir/testclient/Lumoxdemo.exe" "$dir/cli/lumox.exe" bindings/vba/Lumox.bas \
         docs/Lumox-API-ja.md docs/Lumox-API-en.md "$out/"
      cp "$dir/library/libLumox.dll.a" "$out/Lumox.lib"
      # 32-bit callers link the decorated stdcall names; the DLL exports them undecorated.
      if [ "$leg" = win32 ]; then def=library/Lumox-i686.def; else def=library/Lumox.def; fi
      crlf "$def" > "$out/Lumox.def"
      crlf library/include/Lumox.h > "$out/Lumox.h"
      crlf docs/Lumox.ini > "$out/Lumox.ini"
      bits=${leg#win}
      if [ "$bits" = 32 ]; then hosts="32-bit (VB6, 32-bit Office)"; else hosts="64-bit (64-bit Office)"; fi
      sed "s/@VERSION@/$version/; s/@BITS@/$bits/; s/@HOSTS@/$hosts/" docs/README-bundle.txt | crlf /dev/stdin > "$out/README.txt"
      static_checks "$leg-dir" "$out" "$name"
      rm -f "$dist/$name.zip"
      (cd "$stage" && zip -qrX "$dist/$name.zip" "$name")
      echo "package: $dist/$name.zip"
      ;;
    linux)
      build linux Lumox lumox
      name=lumox-$version-linux-x86_64
      cmake --install "$dir" --prefix "$stage/$name" --strip > /dev/null
      static_checks linux-prefix "$stage/$name" "$name"
      tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$dist/$name.tar.gz" "$name"
      echo "package: $dist/$name.tar.gz"
      ;;
    *)
      echo "package: unknown leg $leg" >&2
      exit 2
      ;;
  esac
done
