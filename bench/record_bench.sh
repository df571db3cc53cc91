#!/usr/bin/env bash
# Recording benchmark: a full-motion test pattern recorded for 20 seconds
# with system audio by Nimbo (its self-test) and by `ffmpeg -f x11grab` with
# libx264 ultrafast and AAC, one after the other on the same virtual display,
# at 1080p and at 4K; then 30 seconds at 1440p with every core taken by
# other programs for six of them. Prints, for each: frames written against
# frames expected, CPU seconds per recorded second, peak memory and file
# size, and the rates Nimbo changed to.
#   bench/record_bench.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/install-deps --bench >/dev/null
scripts/build >/dev/null
out=$(mktemp -d /tmp/nimbo-record-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
# The last: every core taken by other programs for a moment, from two
# seconds in for six; the rate comes down and, after a calm, back up.
for spec in "1920x1080 60 $seconds" "3840x2160 30 $seconds" "2560x1440 30 30 2 6"; do
  read -r size fps length at span <<<"$spec"
  LOAD=${at:+"$at $span"} scripts/with-desktop --no-tray --size "$size" -- \
    bench/record_inner.sh "$size" "$fps" "$length" "$out/$size" 2> >(grep -v 'dbus-daemon' >&2)
  cat "$out/$size/report.txt"
  echo
done
