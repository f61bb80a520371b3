#!/usr/bin/env bash
# Compares libLumox.so with the curl and wget command-line tools over loopback, pair by pair.
#   bench/compare.sh [BUILD_DIR]      (default build/linux; needs the linux preset built)
# Environment: REPS (runs per case, default 3), BIG_REPS (runs of the 1 GiB cases, default
# REPS), CASES (space-separated case names to run, default all), RUNS (times the whole
# table is made, default 1; with more, a closing table gives per case the worst and the
# median ratio across the runs).
# Downloads come from nginx (HTTP, and HTTPS with a throw-away self-signed certificate that
# every tool is told to trust, so that each verifies it once as against a real server);
# uploads go to lumox_bench_sink (bench/sink.c), which reads every body whole before it
# answers. Prints per case the median wall time of each tool, the ratios Lumox/curl and
# Lumox/wget and the largest peak resident set of the Lumox process. Before the first
# download of a size come its floor lines: the network alone (curl into /dev/null) and the
# disk alone (dd of the same size in 1 MiB blocks into a new file); L/floor is Lumox's time
# over the larger of the two. Any failed or short transfer is reported and makes the script
# exit 1. Everything it starts listens on 127.0.0.1 only and is stopped by its PID when the
# script ends.
# With ROTATE_WITH=OTHER_BUILD_DIR it compares two builds in tight rotation instead: per case,
# ROUNDS (default 9) rounds of one run each of this build, the other build and curl, in an
# order drawn afresh each round, so that a machine drifting between a slow and a fast phase
# weighs on all three alike, and so does whatever a run leaves to the next (the README says
# why the order must not merely turn); it prints per build the median and the worst of each
# round's ratio to curl, the median ratio of the other build to this one, and each build's
# peak.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/linux}" && pwd)"
reps="${REPS:-3}"
big_reps="${BIG_REPS:-$reps}"
runs="${RUNS:-1}"
cases="${CASES:-dl-1M dl-100M dl-1G ul-1M ul-100M ul-1G dl-https-100M dl-8x100M}"
library="$build/library/libLumox.so"
driver="$build/bench/lumox_bench_driver"
sink="$build/bench/lumox_bench_sink"
other="${ROTATE_WITH:-}"
if [ -n "$other" ]; then
  other="$(cd "$other" && pwd)"
  other_library="$other/library/libLumox.so"
  other_driver="$other/bench/lumox_bench_driver"
fi
for f in "$library" "$driver" "$sink" ${other:+"$other_library" "$other_driver"}; do
  [ -e "$f" ] || { echo "missing $f (build the linux preset first)" >&2; exit 2; }
done
for tool in nginx curl wget openssl python3 timeout dd; do
  command -v "$tool" >/dev/null || { echo "missing $tool (run scripts/setup.sh)" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/lumox-compare-XXXXXX")"
chmod 755 "$work"  # nginx workers may run as another user
nginx_pid="" sink_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && { kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; }
  [ -n "$sink_pid" ] && { kill "$sink_pid" 2>/dev/null; wait "$sink_pid" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_for() {  # url: bounded wait until the server answers
  local i
  for i in $(seq 100); do
    curl -skf -o /dev/null "$1" && return 0
    sleep 0.1
  done
  echo "server at $1 did not come up" >&2
  exit 2
}

# --- data and servers ---------------------------------------------------------------
mkdir -p "$work/www" "$work/out"
head -c $((1 << 20)) /dev/urandom >"$work/www/1M.bin"
head -c $((100 << 20)) /dev/urandom >"$work/www/100M.bin"
if [[ " $cases " == *-1G\ * ]]; then
  { for i in $(seq 10); do cat "$work/www/100M.bin"; done
    head -c $((24 << 20)) /dev/urandom; } >"$work/www/1G.bin"
fi
chmod 755 "$work/www" && chmod 644 "$work/www"/*
# The new files go to disk now: writing them back while the tools run would slow whichever
# tool ran during it.
sync
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

http_port="$(free_port)"
https_port="$(free_port)"
cat >"$work/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 5;
  default_type application/octet-stream;
  client_body_temp_path $work/tmp-body;
  proxy_temp_path $work/tmp-proxy;
  fastcgi_temp_path $work/tmp-fastcgi;
  uwsgi_temp_path $work/tmp-uwsgi;
  scgi_temp_path $work/tmp-scgi;
  server {
    listen 127.0.0.1:$http_port;
    listen 127.0.0.1:$https_port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
  }
}
CONF
nginx -e "$work/nginx-error.log" -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
"$sink" "$work/sink.port" "$work/sink.log" &
sink_pid=$!
for i in $(seq 100); do [ -s "$work/sink.port" ] && break; sleep 0.1; done
[ -s "$work/sink.port" ] || { echo "sink did not start" >&2; exit 2; }
sink_url="http://127.0.0.1:$(cat "$work/sink.port")/upload"
wait_for "http://127.0.0.1:$http_port/1M.bin"
wait_for "https://127.0.0.1:$https_port/1M.bin"

# --- one timed run ----------------------------------------------------------------------
failures=0
peak_kib=0
other_peak_kib=0
elapsed=""

fail() { echo "  $*" >&2; failures=$((failures + 1)); }

# Checks the last body the sink read: complete and at least `size` bytes.
check_sink() {  # case tool size
  local line announced got
  line="$(tail -n 1 "$work/sink.log" 2>/dev/null || true)"
  read -r announced got <<<"${line:-0 -1}"
  if [ "$got" != "$announced" ] || [ "$announced" -lt "$3" ]; then
    fail "$1 $2: the sink read $got of $announced bytes (file $3)"
  fi
  : >"$work/sink.log"
}

check_file() {  # case tool path size
  local got
  got="$(stat -c %s "$3" 2>/dev/null || echo missing)"
  [ "$got" = "$4" ] || fail "$1 $2: $3 holds $got bytes, not $4"
}

# Runs one tool once for a case; sets `elapsed` (seconds) or leaves it empty on failure.
run_once() {  # case tool
  local name="$1" tool="$2" kind size url src out t0 t1 rc=0 i line kib
  local drv="$driver" lib="$library"
  [ "$tool" = other ] && drv="$other_driver" lib="$other_library"
  kind="${name%%-*}"
  size="${name##*-}"; size="${size#8x}"
  local file="$size.bin"
  case "$size" in 1M) size=$((1 << 20)) ;; 100M) size=$((100 << 20)) ;; 1G) size=$((1 << 30)) ;; esac
  src="$work/www/$file"
  url="http://127.0.0.1:$http_port/$file"
  [[ "$name" == dl-https-* ]] && url="https://127.0.0.1:$https_port/$file"
  out="$work/out/body"
  rm -f "$work/out/"*
  elapsed=""
  t0=$EPOCHREALTIME
  if [[ "$name" == dl-8x* ]]; then
    case "$tool" in
      lumox | other) line="$(timeout 600 "$drv" "$lib" download "$url" "$out" 8)" || rc=$? ;;
      curl) for i in 0 1 2 3 4 5 6 7; do timeout 600 curl -sS -o "$out.$i" "$url" & done
            for i in 0 1 2 3 4 5 6 7; do wait -n || rc=$?; done ;;
      wget) for i in 0 1 2 3 4 5 6 7; do timeout 600 wget -q -O "$out.$i" "$url" & done
            for i in 0 1 2 3 4 5 6 7; do wait -n || rc=$?; done ;;
    esac
  elif [ "$kind" = dl ]; then
    case "$tool" in
      lumox | other) line="$(SSL_CERT_FILE="$work/cert.pem" timeout 600 "$drv" "$lib" download \
                               "$url" "$out")" || rc=$? ;;
      curl) timeout 600 curl -sS --cacert "$work/cert.pem" -o "$out" "$url" || rc=$? ;;
      wget) timeout 600 wget -q --ca-certificate="$work/cert.pem" -O "$out" "$url" || rc=$? ;;
    esac
  else
    case "$tool" in
      lumox | other) line="$(timeout 600 "$drv" "$lib" upload "$sink_url" "$src")" || rc=$? ;;
      curl) timeout 600 curl -sS -H 'Expect:' -F "file=@$src" -o "$out" "$sink_url" || rc=$? ;;
      wget) timeout 600 wget -q --post-file="$src" -O "$out" "$sink_url" || rc=$? ;;
    esac
  fi
  t1=$EPOCHREALTIME
  if [ "$rc" -ne 0 ]; then
    fail "$name $tool: exit status $rc ${line:-}"
    return
  fi
  if [ "$tool" = lumox ] || [ "$tool" = other ]; then
    kib="$(sed -n 's/.*peak_rss_kib=\([0-9]*\).*/\1/p' <<<"$line")"
    if [ "$tool" = other ]; then
      [ -n "$kib" ] && [ "$kib" -gt "$other_peak_kib" ] && other_peak_kib="$kib"
    else
      [ -n "$kib" ] && [ "$kib" -gt "$peak_kib" ] && peak_kib="$kib"
    fi
  fi
  if [[ "$name" == dl-8x* ]]; then
    for i in 0 1 2 3 4 5 6 7; do check_file "$name" "$tool" "$out.$i" "$size"; done
  elif [ "$kind" = dl ]; then
    check_file "$name" "$tool" "$out" "$size"
  else
    check_sink "$name" "$tool" "$size"
  fi
  elapsed="$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.4f", b - a}')"
}

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{v[NR]=$1} END{if(NR==0){print ""}else if(NR%2){print v[(NR+1)/2]}else{printf "%.4f\n",(v[NR/2]+v[NR/2+1])/2}}'; }
worst() { tr ' ' '\n' | sed '/^$/d' | sort -g | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{if(a==""||b==""||b==0) print "-"; else printf "%.2f", a/b}'; }
larger() { awk -v a="$1" -v b="$2" 'BEGIN{if(a==""||b=="") print ""; else print (a>b?a:b)}'; }
bytes_of() { case "$1" in 1M) echo $((1 << 20)) ;; 100M) echo $((100 << 20)) ;; 1G) echo $((1 << 30)) ;; esac; }

# Times one floor command for a size: the network alone or the disk alone.
floor_once() {  # net|disk size
  local t0 t1 rc=0 mib=$(($(bytes_of "$2") >> 20))
  rm -f "$work/out/"*
  t0=$EPOCHREALTIME
  if [ "$1" = net ]; then
    timeout 600 curl -sS -o /dev/null "http://127.0.0.1:$http_port/$2.bin" || rc=$?
  else
    timeout 600 dd if=/dev/zero of="$work/out/floor" bs=1M count="$mib" status=none || rc=$?
  fi
  t1=$EPOCHREALTIME
  elapsed=""
  [ "$rc" -eq 0 ] || { fail "floor-$1-$2: exit status $rc"; return; }
  [ "$1" = disk ] && check_file "floor-disk-$2" dd "$work/out/floor" "$(bytes_of "$2")"
  elapsed="$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.4f", b - a}')"
}

# Tight rotation of two builds and curl (ROTATE_WITH): per case, a round is one run of each.
rotate() {
  local name round i tool a b c tools=(lumox other curl) rows="" ta tb tc
  printf 'this build (A) = %s, other (B) = %s; %s rounds per case, each tool once a round\n' \
    "$build" "$other" "${ROUNDS:-9}"
  printf '%-16s %12s %8s %12s %8s %8s %12s\n' case 'A/curl med' worst 'B/curl med' worst 'B/A med' \
    'peak MiB A B'
  for name in $cases; do
    rows="" peak_kib=0 other_peak_kib=0
    for round in $(seq "${ROUNDS:-9}"); do
      ta="" tb="" tc=""
      for i in $(shuf -i 0-2); do
        tool="${tools[$i]}"
        run_once "$name" "$tool"
        case "$tool" in lumox) ta="$elapsed" ;; other) tb="$elapsed" ;; curl) tc="$elapsed" ;; esac
      done
      [ -n "$ta" ] && [ -n "$tb" ] && [ -n "$tc" ] && rows+="$ta $tb $tc"$'\n'
    done
    awk -v name="$name" -v pa="$peak_kib" -v pb="$other_peak_kib" '
      function med(v, n,   i, j, t) { for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j-1] > v[j]; j--) { t = v[j]; v[j] = v[j-1]; v[j-1] = t }
                                       return n % 2 ? v[(n+1)/2] : (v[n/2] + v[n/2+1]) / 2 }
      NF == 3 { n++; a[n] = $1 / $3; b[n] = $2 / $3; d[n] = $2 / $1
                if (a[n] > wa) wa = a[n]; if (b[n] > wb) wb = b[n] }
      END { if (n == 0) { printf "%-16s no complete round\n", name; exit }
            printf "%-16s %12.2f %8.2f %12.2f %8.2f %8.2f %6.1f %5.1f\n", name, med(a, n), wa, med(b, n), wb, med(d, n), pa / 1024, pb / 1024 }' <<<"$rows"
  done
}

if [ -n "$other" ]; then
  rotate
  [ "$failures" -eq 0 ] || { echo "$failures transfer(s) failed or came out short" >&2; exit 1; }
  exit 0
fi

declare -A floor_of all_curl all_wget all_floor
format='%-16s %9s %9s %9s %8s %8s %8s %10s\n'
for run in $(seq "$runs"); do
  [ "$runs" -gt 1 ] && printf '\nrun %d of %d\n' "$run" "$runs"
  printf 'Lumox vs curl and wget over loopback (%s runs per case, median wall seconds)\n' "$reps"
  printf 'uploads: Lumox and curl send multipart/form-data, wget a bare body (--post-file)\n'
  printf "$format" case lumox curl wget L/curl L/wget L/floor 'peak MiB'
  floor_of=()
  for name in $cases; do
    n="$reps"; [[ "$name" == *-1G ]] && n="$big_reps"
    size="${name##*-}"
    if [[ "$name" =~ ^dl-[0-9]+[MG]$ ]] && [ -z "${floor_of[$size]:-}" ]; then
      for what in net disk; do
        ftimes=""
        for r in $(seq "$n"); do floor_once "$what" "$size"; ftimes+=" $elapsed"; done
        t="$(median <<<"$ftimes")"
        printf "$format" "floor-$what-$size" "${t:--}" "" "" "" "" "" ""
        floor_of[$size]="$(larger "${floor_of[$size]:-0}" "$t")"
      done
    fi
    declare -A times=([lumox]="" [curl]="" [wget]="")
    peak_kib=0
    for r in $(seq "$n"); do
      for tool in lumox curl wget; do
        run_once "$name" "$tool"
        times[$tool]+=" $elapsed"
      done
    done
    l="$(median <<<"${times[lumox]}")"; c="$(median <<<"${times[curl]}")"; w="$(median <<<"${times[wget]}")"
    f="-"; [[ "$name" =~ ^dl-[0-9]+[MG]$ ]] && f="$(ratio "$l" "${floor_of[$size]:-}")"
    printf "$format" "$name" "${l:--}" "${c:--}" "${w:--}" "$(ratio "$l" "$c")" "$(ratio "$l" "$w")" \
      "$f" "$(awk -v k="$peak_kib" 'BEGIN{printf "%.1f", k/1024}')"
    all_curl[$name]+=" $(ratio "$l" "$c")"; all_wget[$name]+=" $(ratio "$l" "$w")"
    all_floor[$name]+=" $f"
    unset times
  done
done
if [ "$runs" -gt 1 ]; then
  printf '\nacross %d runs: worst and median ratio per case\n' "$runs"
  printf '%-16s %12s %12s %12s %12s %12s %12s\n' case 'L/curl worst' median 'L/wget worst' median \
    'L/flr worst' median
  for name in $cases; do
    row=("$name")
    for list in "${all_curl[$name]}" "${all_wget[$name]}" "${all_floor[$name]}"; do
      list="$(tr ' ' '\n' <<<"$list" | grep -E '^[0-9.]+$' | tr '\n' ' ' || true)"
      w="$(worst <<<"$list")"; m="$(median <<<"$list")"
      row+=("${w:--}" "$(awk -v v="$m" 'BEGIN{if(v=="") print "-"; else printf "%.2f", v}')")
    done
    printf '%-16s %12s %12s %12s %12s %12s %12s\n' "${row[@]}"
  done
fi
if [ "$failures" -ne 0 ]; then
  echo "$failures transfer(s) failed or came out short" >&2
  exit 1
fi
