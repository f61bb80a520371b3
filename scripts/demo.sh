#!/usr/bin/env bash
# The main job: builds all three legs, then runs real transfers through libLumox.so
# against the local test server (direct and through its Basic-auth proxy) and prints
# each result code with its message.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
work=$(mktemp -d /tmp/lumox-demo-XXXXXX)
python3 tests/server/srvctl.py start --info "$work/server.info" --records "$work/records" > /dev/null
trap 'python3 tests/server/srvctl.py stop --info "$work/server.info" > /dev/null; rm -rf "$work"' EXIT
port=$(sed -n 's/^http_port=//p' "$work/server.info")
proxy=$(sed -n 's/^proxy_port=//p' "$work/server.info")
echo
echo "Transfers against the test server on 127.0.0.1:$port (proxy on port $proxy):"
mkdir -p "$work/files"
build/linux/tools/lumox_demo "http://127.0.0.1:$port" "$work/files" 127.0.0.1 "$proxy" Kiva3 7391
