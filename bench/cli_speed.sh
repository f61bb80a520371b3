#!/usr/bin/env bash
# Time and peak memory of a large download by `lumox get` next to the library's own speed
# (bench/lumox_bench_driver calling HttpDownloadFileC), over loopback, alternating runs.
#   bench/cli_speed.sh build/linux [size-in-bytes] [rounds]
# Builds nothing: takes a Linux build folder with cli/lumox and bench/lumox_bench_driver.
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR [BYTES] [ROUNDS]}" && pwd)"
size="${2:-1073741824}"
rounds="${3:-3}"
here="$(cd "$(dirname "$0")" && pwd)"
lumox="$build/cli/lumox"
driver="$build/bench/lumox_bench_driver"
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
for f in "$lumox" "$driver" "$build/library/libLumox.so"; do
  [ -e "$f" ] || { echo "missing $f (build the linux preset first)" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/lumox-clispeed-XXXXXX")"
info="$work/server.info"
cleanup() {
  python3 "$here/../tests/server/srvctl.py" stop --info "$info" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
python3 "$here/../tests/server/srvctl.py" start --info "$info" --records "$work/records" >/dev/null
port="$(sed -n 's/^http_port=//p' "$info")"
url="http://127.0.0.1:$port/x/clispeed/body/$size/hdr/LFile-Length/$size"

measure() {  # label command...
  local label=$1 wall user sys kib
  shift
  /usr/bin/time -o "$work/time" -f "%e %U %S %M" "$@" > /dev/null 2> "$work/err" || {
    echo "$label: failed: $(cat "$work/err")"; return 1; }
  [ "$(stat -c %s "$work/file")" = "$size" ] || { echo "$label: wrong size"; return 1; }
  rm -f "$work/file"
  read -r wall user sys kib < "$work/time"
  printf '%-8s %6.2f s wall  %5.2f s cpu  %6.1f MiB/s  peak %5.1f MiB\n' "$label" "$wall" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN{print u+s}')" \
    "$(awk -v b="$size" -v w="$wall" 'BEGIN{print b/1048576/w}')" "$(awk -v k="$kib" 'BEGIN{print k/1024}')"
}

echo "download of $size bytes over loopback, $rounds rounds"
for _ in $(seq "$rounds"); do
  measure library "$driver" "$build/library/libLumox.so" download "$url" "$work/file"
  measure lumox "$lumox" get "$url" -o "$work/file"
done
