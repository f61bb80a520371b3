#!/usr/bin/env bash
# Peak memory of a 1 GiB download and a 1 GiB upload over loopback through libLumox.so,
# and of the same download by `lumox get` when the tool is built.
# Builds nothing: takes a Linux build folder that holds library/libLumox.so and
# bench/lumox_bench_driver (built with the tests), starts its own test server, and fails
# when either transfer does not succeed or its peak resident set reaches 32 MiB.
#   bench/memory.sh build/linux [size-in-bytes]
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR [BYTES]}" && pwd)"
size="${2:-1073741824}"
here="$(cd "$(dirname "$0")" && pwd)"
library="$build/library/libLumox.so"
driver="$build/bench/lumox_bench_driver"
limit_kib=$((32 * 1024))
for f in "$library" "$driver"; do
  [ -e "$f" ] || { echo "missing $f (build the linux preset with tests first)" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/lumox-bench-XXXXXX")"
info="$work/server.info"
cleanup() {
  python3 "$here/../tests/server/srvctl.py" stop --info "$info" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
python3 "$here/../tests/server/srvctl.py" start --info "$info" --records "$work/records" >/dev/null
port="$(sed -n 's/^http_port=//p' "$info")"
file="$work/big.bin"
status=0

run() {  # name url
  local out kib
  out="$("$driver" "$library" "$1" "$2" "$file")" || { echo "$1: failed: $out"; status=1; return; }
  kib="$(sed -n 's/.*peak_rss_kib=\([0-9]*\).*/\1/p' <<<"$out")"
  printf '%-8s %s  peak %s MiB\n' "$1" "$out" "$(awk -v k="$kib" 'BEGIN{printf "%.1f", k/1024}')"
  if ! grep -q "bytes=$size " <<<"$out"; then echo "$1: local file is not $size bytes"; status=1; fi
  if [ "$kib" -ge "$limit_kib" ]; then echo "$1: peak RSS $kib KiB is not under $limit_kib KiB"; status=1; fi
}

url="http://127.0.0.1:$port/x/bench-dl/body/$size/hdr/LFile-Length/$size"
run download "$url"
# The server checks the upload's length and keeps only its head (sink).
run upload "http://127.0.0.1:$port/x/bench-ul/sink/text/OK"
if ! grep -q '"body_complete": true' "$work/records/bench-ul/0001.json" 2>/dev/null; then
  echo "upload: the server did not receive the whole body"; status=1
fi
# The same download by the lumox tool when it is built: its time next to the library's own.
lumox="$build/cli/lumox"
if [ -x "$lumox" ] && [ -x /usr/bin/time ]; then
  rm -f "$file"
  if /usr/bin/time -o "$work/time" -f "%e %M" "$lumox" get -s "$url" -o "$file" 2> "$work/err"; then
    read -r seconds kib < "$work/time"
    printf '%-8s result=0 bytes=%s seconds=%s  peak %s MiB\n' lumox "$(stat -c %s "$file")" "$seconds" \
      "$(awk -v k="$kib" 'BEGIN{printf "%.1f", k/1024}')"
    [ "$(stat -c %s "$file")" = "$size" ] || { echo "lumox: local file is not $size bytes"; status=1; }
    if [ "$kib" -ge "$limit_kib" ]; then echo "lumox: peak RSS $kib KiB is not under $limit_kib KiB"; status=1; fi
  else
    echo "lumox: failed: $(cat "$work/err")"; status=1
  fi
fi
[ "$status" -eq 0 ] && echo "every transfer stayed under 32 MiB"
exit "$status"
