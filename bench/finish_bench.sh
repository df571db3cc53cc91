#!/usr/bin/env bash
# Finishing benchmark: how long the user waits between stopping a recording
# and having its file, for a short and a long recording of a full-motion
# 1080p screen with system audio (Nimbo's self-test inside a virtual
# desktop). The writer logs the time from its stop to the finished file;
# both figures and their ratio are printed, then, for comparison, how long
# rewriting the long file with its index at the front (what finishing used
# to do) takes with `ffmpeg -c copy -movflags +faststart`.
#   bench/finish_bench.sh [SHORT_SECONDS [LONG_SECONDS]]
# NIMBO_BUILD names the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${NIMBO_BUILD:-build}

if [[ ${1:-} == --inner ]]; then
  dir=$2 short=$3 long=$4
  "$build/motion_window" &
  motion=$!
  sleep 1
  # A tone on the speakers, so the recording has real sound to encode.
  ffmpeg -nostdin -loglevel error -re -f lavfi -i "sine=frequency=440:sample_rate=48000" -f pulse "tone" &
  tone=$!
  trap 'kill $motion $tone 2>/dev/null' EXIT
  for seconds in "$short" "$long"; do
    run=$dir/$seconds
    mkdir -p "$run"
    XDG_DATA_HOME="$run/data" XDG_CONFIG_HOME="$run/config" "$build/nimbo" --smoke --smoke-target=screen \
      --smoke-audio=system --smoke-seconds="$seconds" --smoke-log="$run/nimbo.log" >/dev/null 2>&1 || true
    # The whole way to a link: record, stop, upload to the bundled server.
    # Each run has a server of its own, so no device token from the last one.
    secret-tool clear service com.vantori.screenshot account upload-device-token 2>/dev/null || true
    XDG_DATA_HOME="$run/flow-data" XDG_CONFIG_HOME="$run/flow-config" "$build/nimbo" --smoke --smoke-flow=1 \
      --smoke-seconds="$seconds" --smoke-log="$run/flow.log" >/dev/null 2>&1 || true
    pkill -f "nimbo-share-server .*--data $run/flow-data/" 2>/dev/null || true
  done
  exit 0
fi

short=${1:-30} long=${2:-180}
[[ -x $build/nimbo && -x $build/motion_window ]] || {
  echo "build nimbo and motion_window in $build first (cmake --build $build --target nimbo motion_window)" >&2
  exit 1
}
out=$(mktemp -d /tmp/nimbo-finish-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
scripts/with-desktop --no-tray --size 1920x1080 -- "$0" --inner "$out" "$short" "$long" \
  2> >(grep -v 'dbus-daemon' >&2)

finished_ms() { sed -n 's/.*Nimbo: recording finished in \([0-9]*\) ms.*/\1/p' "$out/$1/nimbo.log" | tail -1; }
file_of() { sed -n 's/^SMOKE PASS file saved: //p' "$out/$1/nimbo.log"; }
duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }
report() {
  local seconds=$1 file ms
  file=$(file_of "$seconds")
  ms=$(finished_ms "$seconds")
  [[ -n $file && -n $ms ]] || { echo "the ${seconds} s recording did not finish:" >&2; cat "$out/$seconds/nimbo.log" >&2; exit 1; }
  printf '%4d s recording: stop to finished file %5d ms  (file %7.1f MiB, ffprobe %.2f s, %s)\n' "$seconds" "$ms" \
    "$(awk -v b="$(stat -c %s "$file")" 'BEGIN {print b / 1048576}')" "$(duration "$file")" \
    "$(grep -c '^SMOKE FAIL' "$out/$seconds/nimbo.log" | sed 's/^0$/self-test passed/;s/^\([1-9][0-9]*\)$/\1 self-test checks FAILED/')"
}
echo "== finishing a 1920x1080 full-motion recording with system audio"
report "$short"
report "$long"
a=$(finished_ms "$short") b=$(finished_ms "$long")
printf 'ratio %d s / %d s: %.2f (goal: under 1000 ms, no growth with length)\n' "$long" "$short" \
  "$(awk -v a="$a" -v b="$b" 'BEGIN {print (a > 0 ? b / a : b)}')"
long_file=$(file_of "$long")
start=$(date +%s%N)
ffmpeg -nostdin -v error -y -i "$long_file" -c copy -movflags +faststart "$out/faststart.mp4"
end=$(date +%s%N)
printf 'for comparison, rewriting the %d s file with its index first (ffmpeg -c copy -movflags +faststart): %d ms\n' \
  "$long" $(((end - start) / 1000000))
link_ms() { sed -n 's/.*stop to link on clipboard: \([0-9]*\) ms.*/\1/p' "$out/$1/flow.log" | tail -1; }
for seconds in "$short" "$long"; do
  ms=$(link_ms "$seconds")
  if [[ -n $ms ]]; then
    printf '%4d s recording: stop to link on the clipboard %6d ms (upload to the bundled server on loopback)\n' "$seconds" "$ms"
  else
    echo "the ${seconds} s flow gave no link:"; sed 's/^/    /' "$out/$seconds/flow.log"
  fi
done
