#!/usr/bin/env bash
# Makes the release bundles in dist/:
#   Lumox-<version>-win32.zip, Lumox-<version>-win64.zip   DLL, import library, .def, Lumox.h,
#       Lumox.bas, Lumoxdemo.exe, lumox.exe, the two descriptions (Markdown and HTML),
#       Lumox.ini sample, README-ja.txt and README-en.txt
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

# The texts of a Windows bundle, each in the encoding and line ends its reader needs (see
# scripts/bundle_text.py); the HTML descriptions are made here with Debian's python3-markdown.
doc_python=/usr/bin/python3
[ -x "$doc_python" ] || doc_python=python3
bundle_docs() {  # leg def-file out-dir
  local text=("$doc_python" scripts/bundle_text.py) bits=${1#win} out=$3 hosts hosts_ja note note_ja
  "${text[@]}" ascii "$2" "$out/Lumox.def"
  "${text[@]}" ascii library/include/Lumox.h "$out/Lumox.h"
  "${text[@]}" ascii docs/Lumox.ini "$out/Lumox.ini"
  "${text[@]}" vba bindings/vba/Lumox.bas "$out/Lumox.bas"
  for lang in ja en; do
    "${text[@]}" reading "docs/Lumox-API-$lang.md" "$out/Lumox-API-$lang.md"
    "${text[@]}" html "docs/Lumox-API-$lang.md" "$out/Lumox-API-$lang.html"
  done
  if [ "$bits" = 32 ]; then
    hosts="32-bit (VB6, 32-bit Office)"
    hosts_ja="32ビットのプログラム用：VB6、32ビット版 Office"
    note="This is the 32-bit DLL, for 32-bit Office and VB6; 64-bit Office needs the Lumox.dll of the -win64 bundle."
    note_ja="この Lumox.dll は32ビット版で、32ビット版の Office と VB6 で使います。64ビット版の Office には -win64 版の Lumox.dll を使ってください。"
  else
    hosts="64-bit (64-bit Office)"
    hosts_ja="64ビットのプログラム用：64ビット版 Office"
    note="This is the 64-bit DLL, for 64-bit Office; 32-bit Office and VB6 need the Lumox.dll of the -win32 bundle."
    note_ja="この Lumox.dll は64ビット版で、64ビット版の Office で使います。32ビット版の Office と VB6 には -win32 版の Lumox.dll を使ってください。"
  fi
  "${text[@]}" reading docs/README-bundle.txt "$out/README-en.txt" "VERSION=$version" "BITS=$bits" \
    "HOSTS=$hosts" "BITNOTE=$note"
  "${text[@]}" reading docs/README-bundle-ja.txt "$out/README-ja.txt" "VERSION=$version" "BITS=$bits" \
    "HOSTS_JA=$hosts_ja" "BITNOTE_JA=$note_ja"
}

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
      cp "$dir/library/Lumox.dll" "$dir/testclient/Lumoxdemo.exe" "$dir/cli/lumox.exe" "$out/"
      cp "$dir/library/libLumox.dll.a" "$out/Lumox.lib"
      # 32-bit callers link the decorated stdcall names; the DLL exports them undecorated.
      if [ "$leg" = win32 ]; then def=$dir/library/Lumox-i686.def; else def=$dir/library/Lumox.def; fi
      bundle_docs "$leg" "$def" "$out"
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
