#!/usr/bin/env bash
# Inside the virtual desktop: see record_bench.sh.
set -euo pipefail
size=$1 fps=$2 seconds=$3 dir=$4
mkdir -p "$dir"
cd "$(dirname "$0")/.."
build/motion_window &
motion=$!
sleep 1
# A tone on the speakers, so both record real audio.
ffmpeg -nostdin -loglevel error -re -f lavfi -i "sine=frequency=440:sample_rate=48000" -f pulse "tone" &
tone=$!
loader=
trap 'kill $motion $tone $loader 2>/dev/null' EXIT
# A moment's load, for both recorders alike: with LOAD="AT SPAN", one more
# busy program than there are cores, from AT seconds into the recording for
# SPAN seconds. Its argument: how long the recorder waits before it starts
# (counted from the recorder's launch, so for Nimbo the load comes a moment
# early). Each recorder waits for its load to end before the next starts.
load() {
  [[ -n ${LOAD:-} ]] || return 0
  local at span
  read -r at span <<<"$LOAD"
  (
    sleep "$(awk -v a="$1" -v b="$at" 'BEGIN { print a + b }')"
    for _ in $(seq $(($(nproc) + 1))); do timeout "$span" sh -c 'while :; do :; done' & done
    wait
  ) &
  loader=$!
}
unload() {
  [[ -n $loader ]] && wait "$loader" 2>/dev/null || true
  loader=
}
measure() {  # name, command…: CPU seconds and peak RSS of the command
  local name=$1
  shift
  /usr/bin/time -f "%U %S %M" -o "$dir/$name.time" "$@" >"$dir/$name.out" 2>&1 || true
}
export XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config"
load 3  # the self-test's countdown
measure nimbo build/nimbo --smoke --smoke-target=screen --smoke-audio=system --smoke-seconds="$seconds" \
  --smoke-log="$dir/nimbo.log"
nimbo_file=$(sed -n 's/^SMOKE PASS file saved: //p' "$dir/nimbo.log")
unload
load 0
measure ffmpeg ffmpeg -nostdin -y -f x11grab -framerate "$fps" -video_size "$size" -draw_mouse 1 -i "$DISPLAY+0,0" \
  -f pulse -i nimbo_speakers.monitor -c:v libx264 -preset ultrafast -crf 23 -pix_fmt yuv420p \
  -c:a aac -b:a 128k -ar 48000 -ac 2 -t "$seconds" "$dir/ffmpeg.mp4"
unload
frames() { ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }
duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }
# Frames that differ from the one before (ffmpeg's duplicates of an
# unchanged screen are cheap to encode, so CPU is compared per distinct frame).
distinct() { ffmpeg -nostdin -v error -i "$1" -an -vf mpdecimate=hi=64:lo=64:frac=0 -f framemd5 - 2>/dev/null | grep -vc '^#'; }
expected=$((seconds * fps))
# Nimbo starts displays at 60 fps and comes down when this machine cannot
# keep that (logged, with the time it came down).
nimbo_fps=$(sed -n 's/^SMOKE INFO recorded at \([0-9]*\) fps.*/\1/p' "$dir/nimbo.log")
nimbo_fps=${nimbo_fps:-60}
# Nimbo's frames are counted against the ticks in the file's own length (the
# stream starts a moment after the recorder does), each stretch at the rate
# it was recorded at.
ticks=$(cat "$dir/nimbo.out" "$dir/nimbo.log" | awk -v d="$(duration "$nimbo_file")" '
  BEGIN { rate = 60; from = 0 }
  / fps from [0-9.]+ s on:/ {
    for (i = 1; i < NF; ++i) if ($i == "at" && $(i + 2) == "fps" && $(i + 3) == "from") {
      t += ($(i + 4) - from) * rate; rate = $(i + 1); from = $(i + 4)
    }
  }
  END { printf "%d", t + (d - from) * rate + 0.5 }')
{
  loaded=""
  if [[ -n ${LOAD:-} ]]; then
    read -r at span <<<"$LOAD"
    loaded="; $(($(nproc) + 1)) busy programs from $at s to $((at + span)) s"
  fi
  echo "== $size, full motion, ${seconds} s (Nimbo records displays at up to 60 fps; ffmpeg asked for $fps fps)$loaded"
  for name in nimbo ffmpeg; do
    file=$([[ $name == nimbo ]] && echo "$nimbo_file" || echo "$dir/ffmpeg.mp4")
    read -r user sys rss <"$dir/$name.time"
    n=$(frames "$file")
    d=$(duration "$file")
    want=$([[ $name == nimbo ]] && echo "$ticks" || echo "$expected")
    k=$(distinct "$file")
    printf '%-7s frames %5d of %5d (%5.1f%%), %5d distinct  CPU %.2f s per recorded s, %.1f ms per distinct frame  peak RSS %4d MiB  file %6.1f MiB  (%.1f s)\n' \
      "$name" "$n" "$want" "$(awk -v a="$n" -v b="$want" 'BEGIN {print 100 * a / b}')" "$k" \
      "$(awk -v u="$user" -v s="$sys" -v d="$d" 'BEGIN {print (u + s) / d}')" \
      "$(awk -v u="$user" -v s="$sys" -v k="$k" 'BEGIN {print 1000 * (u + s) / k}')" $((rss / 1024)) \
      "$(awk -v b="$(stat -c %s "$file")" 'BEGIN {print b / 1048576}')" "$d"
  done
  # Frames in which nothing changed are not written (the picture stays as it
  # was); with them, the ticks Nimbo served:
  read -r w u m dr < <(sed -n 's/.*frames written \([0-9]*\), unchanged \([0-9]*\), missed \([0-9]*\), dropped by the encoder \([0-9]*\).*/\1 \2 \3 \4/p' "$dir/nimbo.log")
  echo "nimbo   recorded at $nimbo_fps fps"
  sed -n 's/^SMOKE INFO \(first picture .*\)/nimbo   \1/p' "$dir/nimbo.log"
  sed -n 's/.*Nimbo: \(recording .* fps from .*\)/nimbo   \1/p' "$dir/nimbo.out" "$dir/nimbo.log" | awk '!seen[$0]++'
  printf 'nimbo   ticks served %d of %d (%.1f%%): %d written, %d unchanged; %d missed, %d dropped by the encoder\n' \
    $((w + u)) "$ticks" "$(awk -v a=$((w + u)) -v b="$ticks" 'BEGIN {print 100 * a / b}')" "$w" "$u" "$m" "$dr"
  if [[ -n ${NIMBO_X264_PRESET:-} ]]; then
    echo "nimbo   libx264 preset $NIMBO_X264_PRESET"
  else
    sed -n 's/.*Nimbo: \(the thorough encoder took .*\)/nimbo   libx264 veryfast and ultrafast: \1/p' "$dir/nimbo.log" | tail -1
    grep -q 'the thorough encoder took' "$dir/nimbo.log" || echo "nimbo   libx264 ultrafast alone"
  fi
} >"$dir/report.txt"
