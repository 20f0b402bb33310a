#!/usr/bin/env bash
# Builds kavelo, starts the project's test RTMP server on 127.0.0.1 with a
# generated 20-second stream, downloads it and checks the FLV file.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh build-essential cmake python3 flvmeta libssl-dev
cmake -S . -B build -DKAVELO_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo '{"media": {"synthetic": {"duration_ms": 20000}}}' > "$work/scenario.json"
python3 tests/server/rtmp_test_server.py --port 0 --scenario "$work/scenario.json" > "$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
  grep -q '^PORT ' "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
port=$(awk '/^PORT /{print $2}' "$work/server.out")
[ -n "$port" ] || { echo "the test server did not start"; exit 1; }

build/kavelo -r "rtmp://127.0.0.1:$port/vod/demo" -o "$work/demo.flv"
flvmeta --check "$work/demo.flv"
echo "Demo download of $(stat -c %s "$work/demo.flv") bytes is a valid FLV file."
