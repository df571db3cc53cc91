#!/usr/bin/env bash
# Recording benchmark: a full-motion test pattern recorded for 20 seconds
# with system audio by Nimbo (its self-test) and by `ffmpeg -f x11grab` with
# libx264 ultrafast and AAC, one after the other on the same virtual display,
# at 1080p and at 4K; then 30 seconds at 1440p with every core taken by
# other programs for six of them, and 40 seconds at 4K with them taken for
# three. Prints, for each: frames written against
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
# The last two: every core taken by other programs for a moment, from two
# seconds in for six at 1440p, and at 4K from five seconds in for three in
# a 40 s recording; the rate comes down and, after a calm, back up.
n=0
for spec in "1920x1080 60 $seconds" "3840x2160 30 $seconds" "2560x1440 30 30 2 6" "3840x2160 30 40 5 3"; do
  read -r size fps length at span <<<"$spec"
  n=$((n + 1))
  LOAD=${at:+"$at $span"} scripts/with-desktop --no-tray --size "$size" -- \
    bench/record_inner.sh "$size" "$fps" "$length" "$out/$n" 2> >(grep -v 'dbus-daemon' >&2)
  cat "$out/$n/report.txt"
  echo
done
