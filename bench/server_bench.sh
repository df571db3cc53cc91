#!/usr/bin/env bash
# Share server under load, with ApacheBench on loopback: image pages, raw
# downloads of a screenshot-sized PNG, and uploads of it; then the same
# download from Python's threaded static file server for scale.
#
#   bench/server_bench.sh [REQUESTS] [CONCURRENCY] [UPLOADS]
#     REQUESTS     per page/download run (default 3000)
#     CONCURRENCY  clients at once (default 50)
#     UPLOADS      upload requests (default 1000; each stores the PNG again)
# The server binary: $NIMBO_SHARE_SERVER, else build-srv/ or build/.
set -euo pipefail

requests=${1:-3000}
concurrency=${2:-50}
uploads=${3:-1000}
limit=90  # seconds per ab run, whatever the count

here=$(cd "$(dirname "$0")/.." && pwd)
server=${NIMBO_SHARE_SERVER:-}
for c in "$here/build-srv/nimbo-share-server" "$here/build/nimbo-share-server"; do
  [[ -z $server && -x $c ]] && server=$c
done
[[ -x $server ]] || { echo "server_bench: build nimbo-share-server first" >&2; exit 1; }
for tool in ab curl convert python3; do
  command -v "$tool" >/dev/null || { echo "server_bench: $tool missing (scripts/install-deps --bench)" >&2; exit 1; }
done

tmp=$(mktemp -d /tmp/nimbo-server-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

# A screenshot-like PNG: a noisy wallpaper, an editor window of real source
# text, and real plots and diagrams from the system's documentation.
png=$tmp/shot.png
text=()
y=40
while IFS= read -r line; do
  line=${line//%/%%}
  text+=(-annotate "+16+$y" "${line//\\/\\\\}")
  y=$((y + 18))
done < <(sed -n '100,152p' /usr/include/httplib.h 2>/dev/null | cut -c1-110)
convert -size 1200x1000 xc:'#1e1e1e' -fill '#d4d4d4' -font DejaVu-Sans-Mono -pointsize 14 "${text[@]}" "$tmp/code.png"
layers=("$tmp/code.png" -geometry +120+140 -composite)
x=1450
yy=160
for f in /usr/share/doc/nodejs/contributing/doc_img/scatter-plot.png \
         /usr/share/doc/nodejs/contributing/doc_img/compare-boxplot.png \
         /usr/share/doc/valgrind/html/images/dh-tree.png /usr/share/info/gnupg-module-overview.png; do
  [[ -f $f ]] || continue
  layers+=("$f" -geometry "+$x+$yy" -composite)
  yy=$((yy + 620))
  ((yy > 1300)) && { x=160; yy=1200; }
done
convert -seed 7 -size 2688x1680 plasma:steelblue-navy -attenuate 0.6 +noise Gaussian "${layers[@]}" -depth 8 "$png"
size=$(stat -c %s "$png")

avail=$(df --output=avail -B1 "$tmp" | tail -1)
if ((uploads * size * 2 > avail)); then
  uploads=$((avail / size / 2))
  echo "server_bench: only room for $uploads uploads"
fi

"$server" --listen 127.0.0.1:0 --port-file "$tmp/port" --data "$tmp/data" 2>"$tmp/server.log" &
pids+=($!)
for _ in $(seq 100); do [[ -s $tmp/port ]] && break; sleep 0.05; done
port=$(cat "$tmp/port")
base=http://127.0.0.1:$port
token=$(curl -sf -X POST "$base/api/register" | sed 's/.*"token":"\([^"]*\)".*/\1/')
url=$(curl -sf -H "Authorization: Bearer $token" -H 'Content-Type: image/png' --data-binary "@$png" \
  "$base/api/upload" | sed 's/.*"url":"\([^"]*\)".*/\1/')
[[ $url == http* ]] || { echo "server_bench: upload failed" >&2; exit 1; }

echo "nimbo-share-server on $base; PNG $(identify -format '%wx%h' "$png"), $size bytes"
echo "$(nproc) cores; $concurrency concurrent clients, new connection per request"
printf '%-28s %8s %10s %9s %9s %8s\n' run requests "req/s" "p50 ms" "p99 ms" failed

# Runs ab and prints one line; leaves requests/s in $rps.
rps=0
run() {
  local name=$1 n=$2
  shift 2
  local out=$tmp/ab.out
  ab -q -t "$limit" -n "$n" -c "$concurrency" "$@" >"$out" 2>&1 || { cat "$out" >&2; return 1; }
  local done rate p50 p99 failed non2xx
  done=$(awk '/^Complete requests:/ {print $3}' "$out")
  rate=$(awk '/^Requests per second:/ {print $4}' "$out")
  p50=$(awk '$1 == "50%" {print $2}' "$out")
  p99=$(awk '$1 == "99%" {print $2}' "$out")
  failed=$(awk '/^Failed requests:/ {print $3}' "$out")
  non2xx=$(awk '/^Non-2xx responses:/ {print $3}' "$out")
  failed=$((failed + ${non2xx:-0}))
  printf '%-28s %8s %10s %9s %9s %8s\n' "$name" "$done" "$rate" "$p50" "$p99" "$failed"
  rps=$rate
}

run "page /i/<slug>" "$requests" "$url"
run "raw <link>.png" "$requests" "$url.png"
ours=$rps
run "upload POST /api/upload" "$uploads" -p "$png" -T image/png -H "Authorization: Bearer $token" "$base/api/upload"

# The same file from a plain static file server.
mkdir "$tmp/static"
cp "$png" "$tmp/static/shot.png"
static_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# Its listen backlog raised from 5, as ours is, so that refused connections
# (and their one-second retries) do not decide the comparison.
(cd "$tmp/static" && exec python3 -c '
import functools, http.server, sys
http.server.ThreadingHTTPServer.request_queue_size = 1024
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=".")
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), handler).serve_forever()
' "$static_port" >/dev/null 2>&1) &
pids+=($!)
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$static_port/shot.png" && break; sleep 0.05; done
run "python3 http.server .png" "$requests" "http://127.0.0.1:$static_port/shot.png"
awk -v a="$ours" -v b="$rps" 'BEGIN { if (b > 0) printf "raw downloads: %.1fx the static file server\n", a / b }'
