#!/usr/bin/env bash
# Windows benchmark: how long the popover takes from the tray click to its
# first paint with 6 captures, and the settings window from the popover's
# "See all →" to the first paint of its History with 30 captures, in the
# virtual desktop with its tray host. The captures are screens of varied
# content (a page of text, a photograph, flat interface colours, a chart) at
# several sizes. Goal: under 100 ms each.
#   bench/windows_bench.sh [RUNS]
# NIMBO_BUILD_DIR names a build to measure instead of building build/.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
build=${NIMBO_BUILD_DIR:-build}
if [[ $build == build ]]; then
  scripts/install-deps --bench >/dev/null
  scripts/build >/dev/null
fi
out=$(mktemp -d /tmp/nimbo-windows-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
scripts/with-desktop -- bench/windows_inner.sh "$PWD/$build" "$runs" "$out" 2> >(grep -v 'dbus-daemon' >&2)
cat "$out/report.txt"
