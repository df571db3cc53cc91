#!/usr/bin/env bash
# Full-screen capture on varied real screens: `nimbo screenshot -o` against
# scrot, file size and time, at 1920x1080 and 3840x2160.
#
#   bench/png_varied.sh [RUNS] [KEEP_DIR]   (RUNS 0: only keep the screens)
#
# Each screen is a real program shown full-screen in the virtual desktop: a
# terminal with a man page, gvim with a C++ file of this repository, a manual
# page rendered by Chromium, a photograph, Geany in a dark theme, a
# spreadsheet-like table, xterm and gvim over a photograph as wallpaper, a
# terminal over a wallpaper of smooth gradients, a news page with
# photographs, a grid of icons, and a nearly bare desktop with a wallpaper of
# soft, blurred shapes. While a screen is displayed both tools capture it
# (hyperfine, RUNS timed runs after 2 warm-ups each). Prints per screen the
# mean wall time and the file size of each tool with the ratios; goals: scrot's
# time / ours >= 3 and our size / scrot's <= 1.25. With KEEP_DIR, scrot's
# captures are kept there (SIZE-SCREEN.png) for build/png_tune.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
keep=${2:-}
scripts/install-deps --bench >/dev/null
[[ -x build/nimbo ]] || scripts/build >/dev/null
out=$(mktemp -d /tmp/nimbo-varied.XXXXXX)
for size in 1920x1080 3840x2160; do
  scripts/with-desktop --no-tray --size "$size" -- bench/png_varied_inner.sh "$size" "$runs" "$out/$size" \
    2> >(grep -v 'dbus-daemon' >&2)
  if [[ -n $keep ]]; then mkdir -p "$keep" && cp "$out/$size"/screens/*.png "$keep/"; fi
done
echo
for size in 1920x1080 3840x2160; do cat "$out/$size/report.txt"; echo; done
rm -rf "$out"
