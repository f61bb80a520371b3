#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and the ja_JP.UTF-8 locale
# that Wine needs for code page 932. Safe to run again.
# `setup.sh linux` installs only what the linux leg needs (the demo uses that).
set -euo pipefail
pkgs=(cmake ninja-build g++ python3 openssl libcurl4-openssl-dev googletest nginx curl wget)
pkgs+=(php-fpm php-cli squid)  # the real servers of the peers stage (tests/peers)
if [ "${1:-}" = linux ]; then
  linux_only=1
else
  linux_only=0
  pkgs+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 mingw-w64-tools
         wine64 locales xvfb xdotool imagemagick fonts-ipafont-gothic
         pkg-config zip unzip groff-base clang libclang-rt-14-dev iproute2
         clang-format clang-tidy)
  pkgs+=(python3-markdown)  # scripts/package.sh makes the HTML descriptions with it
  pkgs+=(chromium)  # the package tests open the HTML descriptions in headless Chromium
  pkgs+=(debootstrap)  # the i386 root of the win32 tests (scripts/wine32-prepare.sh)
  pkgs+=(stress-ng)  # the CPU hog of scripts/test-under-load.sh
  pkgs+=(x11-xserver-utils)  # xmodmap: the GUI test gives the characters it types keys of their own
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ "$linux_only" = 0 ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "setup: generating ja_JP.UTF-8"
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
