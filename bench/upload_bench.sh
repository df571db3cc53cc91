#!/usr/bin/env bash
# Video upload memory benchmark: a 1 GiB recording goes to a local
# nimbo-share-server through the app's uploader; prints the client's peak
# memory growth (it streams the file, so it should stay flat).
#   bench/upload_bench.sh [SIZE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1024}
scripts/install-deps >/dev/null
scripts/build >/dev/null
dir=$(mktemp -d /tmp/nimbo-upload-bench.XXXXXX)
trap 'kill $server 2>/dev/null; rm -rf "$dir"' EXIT
port=$((20000 + RANDOM % 20000))
build/nimbo-share-server --listen "127.0.0.1:$port" --data "$dir/server" \
  --max-video-bytes $(((size + 1) * 1048576)) 2>/dev/null &
server=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/terms" >/dev/null && break; sleep 0.1; done
# An MP4 header, then the rest of the size (sparse on disk).
printf '\0\0\0\030ftypisom\0\0\2\0isomiso2' >"$dir/big.mp4"
truncate -s "${size}M" "$dir/big.mp4"
XDG_CONFIG_HOME="$dir/config" build/upload_bench "http://127.0.0.1:$port/" "$dir/big.mp4"
stored=$(find "$dir/server/videos" -name '*.mp4' -printf '%s\n')
echo "server stored $stored bytes (sent $((size * 1048576)))"
