#!/usr/bin/env bash
# Screenshot benchmark: Nimbo against the tools a user would pick instead,
# on the same virtual display at 1920x1080 and 3840x2160 showing
# desktop-like content (text, a photograph, flat interface colours).
#
#   bench/screenshot_bench.sh [RUNS]
#
# Prints (a) the time from a capture request to the overlay being visible on
# every display with the frozen picture, and (b) `nimbo screenshot` as a whole
# process against scrot, maim, `import -window root` and `flameshot full`:
# mean wall time and file size, with ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
scripts/install-deps --bench >/dev/null
scripts/build >/dev/null
out=$(mktemp -d /tmp/nimbo-bench.XXXXXX)
for size in 1920x1080 3840x2160; do
  scripts/with-desktop --no-tray --size "$size" -- bench/screenshot_inner.sh "$size" "$runs" "$out/$size" \
    2> >(grep -v 'dbus-daemon' >&2)
done
echo
for size in 1920x1080 3840x2160; do cat "$out/$size/report.txt"; echo; done
rm -rf "$out"
