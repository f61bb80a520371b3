#!/usr/bin/env bash
# Runs a Windows program of the win32 leg under 32-bit Wine in the emulated i386 root that
# scripts/wine32-prepare.sh made (no 32-bit code runs natively on this machine).
#
#   wine32-run.sh PROGRAM [ARG...]        wine PROGRAM ARG...
#   wine32-run.sh --wineserver [ARG...]   the prefix's wineserver (-k ends it, -w waits for it)
#
# The command runs in a mount namespace of its own, in which the root's /proc, /sys, /dev,
# /tmp, the project tree, the build folders, the current folder, the prefix and the
# program's folder are the host's, each at its own path, so paths mean the same inside and
# out; the mounts vanish with the namespace's last process (the prefix's wineserver keeps
# it until `wineserver -k`). Environment variables pass through as they are (PATH and HOME
# are the root's), WINEPREFIX defaulting to build/wineprefix32. LUMOX_EMULATOR tells the test
# programs that they run emulated. LUMOX_WINE32_HOME as for wine32-prepare.sh.
set -uo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
root=${LUMOX_WINE32_HOME:-/var/cache/lumox-wine32}/root
if [ ! -f "$root/.lumox-ready" ]; then
  echo "wine32-run: no i386 root at $root: run scripts/wine32-prepare.sh first" >&2
  exit 125
fi
export WINEPREFIX="${WINEPREFIX:-$project/build/wineprefix32}"
export WINEDEBUG="${WINEDEBUG:--all}"
export LC_ALL="${LUMOX_WINE_LOCALE:-ja_JP.UTF-8}"
export LUMOX_EMULATOR=qemu-i386
if [ "${1:-}" = --wineserver ]; then
  shift
  set -- /usr/lib/wine/wineserver32 "$@"
else
  set -- /usr/bin/wine "$@"
  case ${2:-} in /*) shared_program=$(dirname "$2") ;; *) shared_program= ;; esac
fi

# Folders shown inside, outermost first; one lying inside another is covered by it.
candidates=("$project" "${LUMOX_BUILD_ROOT:-}" "$PWD" "$WINEPREFIX" "${shared_program:-}")
IFS=: read -r -a extra <<< "${LUMOX_WINE32_BINDS:-}"
candidates+=("${extra[@]}")
binds=()
while IFS= read -r dir; do
  [ -n "$dir" ] && [ -d "$dir" ] || continue
  case $dir in / | /proc* | /sys* | /dev* | /tmp | /tmp/*) continue ;; esac
  covered=0
  for b in "${binds[@]}"; do
    case $dir/ in "$b"/*) covered=1 ;; esac
  done
  [ "$covered" = 0 ] && binds+=("$dir")
done < <(for d in "${candidates[@]}"; do [ -n "$d" ] && realpath -m "$d"; done | sort -u)

exec unshare -m --propagation private -- bash -c '
  root=$1 cwd=$2 n=$3
  shift 3
  mount -t proc proc "$root/proc" && mount --rbind /sys "$root/sys" &&
    mount --rbind /dev "$root/dev" && mount --bind /tmp "$root/tmp" || exit 125
  for ((i = 0; i < n; i++)); do
    mkdir -p "$root$1" && mount --bind "$1" "$root$1" || exit 125
    shift
  done
  unset LD_LIBRARY_PATH LD_PRELOAD
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
  exec chroot "$root" env -C "$cwd" "$@"' wine32-run "$root" "$PWD" "${#binds[@]}" "${binds[@]}" "$@"
