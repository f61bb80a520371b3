#!/usr/bin/env bash
# The main job: builds the `lumox` tool and libLumox.so (linux leg only), starts the bundled
# test server on loopback and runs real transfers with lumox against it: a GET with
# parameters, a download by POST, a multipart upload with its reply, a transfer through the
# server's Basic-auth proxy and a 404. Each step shows the command and its outcome.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh linux
echo "== building lumox (linux leg)"
cmake --preset linux > /dev/null
cmake --build build/linux --target lumox -j "${LUMOX_JOBS:-2}" > /dev/null
lumox=$root/build/linux/cli/lumox

work=$(mktemp -d "${TMPDIR:-/tmp}/lumox-demo-XXXXXX")
info=$work/server.info
python3 tests/server/srvctl.py start --info "$info" --records "$work/records" > /dev/null
trap 'python3 "$root/tests/server/srvctl.py" stop --info "$info" > /dev/null; rm -rf "$work"' EXIT
port=$(sed -n 's/^http_port=//p' "$info")
proxy=$(sed -n 's/^proxy_port=//p' "$info")
base=http://127.0.0.1:$port
mkdir "$work/files"
cd "$work/files"

echo
echo "lumox against the local test server on $base (proxy 127.0.0.1:$proxy, user Kiva3):"

# run DESCRIPTION lumox-arguments...: shows the command, lumox's own output and the outcome.
status=0
run() {
  local what=$1 rc=0
  shift
  echo
  echo "# $what"
  local shown=lumox arg
  for arg in "$@"; do
    case $arg in *[[:space:]]*) shown+=" '$arg'" ;; *) shown+=" $arg" ;; esac
  done
  echo "\$ $shown"
  set +e
  "$lumox" "$@" 2>&1 | sed 's/^/  /'
  rc=${PIPESTATUS[0]}
  set -e
  echo "  -> exit status $rc"
  last=$rc
}
size() { printf '%s: %d bytes' "$1" "$(stat -c %s "$1")"; }
seen() {  # what the server received for a record id: method and target
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); print("  server saw: %s %s%s" % (r["method"], r["target"], " (through the proxy)" if r["via_proxy"] else ""))' \
    "$(ls "$work/records/$1"/0*.json | tail -n 1)"
}
expect() { [ "$last" -eq "$1" ] || { echo "  !! expected exit status $1"; status=1; }; }

run "download by GET with two parameters" get "$base/x/demo/body/100000" -d Name1=Value1 -d "Name2=two words" -o download.bin
expect 0; echo "  $(size download.bin)"; seen demo

run "download by POST, the parameters as form fields" get "$base/x/post/text/posted" --post -d Name1=Value1 -o posted.txt
expect 0; echo "  $(size posted.txt), content: $(cat posted.txt)"; seen post

run "multipart upload behind a form field, the reply kept" upload "$base/x/upload/echo" download.bin --field inputfieldname -d Name1=Value1 --reply reply.txt
expect 0; echo "  $(size reply.txt) (the server echoes the multipart body it received)"; seen upload

export LUMOX_PROXY_PASSWORD=7391
echo
echo "(the proxy password comes from LUMOX_PROXY_PASSWORD; --proxy-password PASSWORD or a prompt also work)"
run "download through the Basic-auth proxy" get "$base/x/proxied/body/5000" --proxy "127.0.0.1:$proxy" --proxy-user Kiva3 -o proxied.bin
expect 0; echo "  $(size proxied.bin)"; seen proxied
unset LUMOX_PROXY_PASSWORD

run "a missing resource: one line with the result code and its message" get "$base/x/missing/status/404" -o missing.bin
expect 4; [ -e missing.bin ] && { echo "  !! missing.bin was written"; status=1; } || echo "  no file written"

run "the canonical form of a URL" canon "$base/x/demo/../demo/body/1000?a=1"
expect 0
run "the library's message for a result code" message 12029
expect 0

echo
echo "To use a real server:  build/linux/cli/lumox get https://your.server/path/file.zip"
echo "(see docs/lumox.1.md; scripts/test.sh runs the tests)"
if [ "$status" -ne 0 ]; then echo "demo: some steps did not end as expected"; fi
exit "$status"
