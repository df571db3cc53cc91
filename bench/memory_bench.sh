#!/usr/bin/env bash
# Memory benchmark: the tray app's start-to-tray time and resident memory
# idle, after a capture, after an editor session and after a recording, on
# a 1920x1080 virtual desktop with a tray host, beside flameshot (another
# tray screenshot tool) started and used for a capture the same way.
# Goals: under 55 MB idle, back under 60 MB once the capture, the editor
# and the recording are over.
#   bench/memory_bench.sh [ROUNDS]   (ROUNDS starts of each, default 3; medians)
# NIMBO_BUILD_DIR names a build to measure instead of building build/.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
build=${NIMBO_BUILD_DIR:-build}
if [[ $build == build ]]; then
  scripts/install-deps --bench >/dev/null
  scripts/build >/dev/null
fi
out=$(mktemp -d /tmp/nimbo-memory-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
scripts/with-desktop --size 1920x1080 -- bench/memory_inner.sh "$PWD/$build" "$rounds" "$out" \
  2> >(grep -v 'dbus-daemon' >&2)
cat "$out/report.txt"
