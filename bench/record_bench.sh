#!/usr/bin/env bash
# Recording benchmark: a full-motion test pattern recorded for 20 seconds
# with system audio by Nimbo (its self-test) and by `ffmpeg -f x11grab` with
# libx264 ultrafast and AAC, one after the other on the same virtual display.
# Prints, for each: frames written against frames expected, CPU seconds per
# recorded second, peak memory and file size.
#   bench/record_bench.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/install-deps --bench >/dev/null
scripts/build >/dev/null
out=$(mktemp -d /tmp/nimbo-record-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
for spec in 1920x1080:60 3840x2160:30; do
  size=${spec%:*} fps=${spec#*:}
  scripts/with-desktop --no-tray --size "$size" -- bench/record_inner.sh "$size" "$fps" "$seconds" "$out/$size" \
    2> >(grep -v 'dbus-daemon' >&2)
  cat "$out/$size/report.txt"
  echo
done
