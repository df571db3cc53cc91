#!/usr/bin/env bash
# Inside the virtual desktop (1920x1080): see everyday_bench.sh.
#   everyday_inner.sh SECONDS DIR RECORDER…
# RECORDER is nimbo, ultrafast or veryfast, each recorded twice: once timed,
# once with x264 computing its SSIM (kept out of the timed run).
set -euo pipefail
seconds=$1 dir=$2
shift 2
recorders=("$@")
cd "$(dirname "$0")/.."
w=1920 h=1080
work=$dir/work
mkdir -p "$work" "$dir/home/tmp"
export HOME=$dir/home TMPDIR=$dir/home/tmp

# --- What the desktop shows --------------------------------------------------

source bench/window_lib.sh  # from the repository root (above)
clip_size=${NIMBO_BENCH_CLIP_SIZE:-640x360}
clip=$work/clip.mp4
[[ $clip_size == none ]] || make_clip "$clip" "$seconds"
text=$work/typing.txt
make_typing "$text"

place() {  # CLASS X Y W H: the window's outer frame at X,Y, its inside W x H
  local wid
  wid=$(window_of "$1")
  xdotool windowsize "$wid" "$4" "$5" windowmove "$wid" "$2" "$3"
  echo "$wid"
}

# NIMBO_BENCH_DARK=1: the same minute in dark colours (the editor's desert
# scheme, Chromium's forced dark pages, a dark terminal).
vimdark=() webdark=() termdark=()
if [[ ${NIMBO_BENCH_DARK:-} == 1 ]]; then
  vimdark=(--cmd 'autocmd GUIEnter * colorscheme desert')
  webdark=(--force-dark-mode --enable-features=WebContentsForceDark)
  termdark=(-bg '#1d1f21' -fg '#c5c8c6')
fi

apps=()
start_desktop() {
  # Wallpaper: a photograph.
  feh --no-fehbg --bg-fill /usr/share/backgrounds/mate/nature/Garden.jpg
  # Left: an editor with syntax colours on a new C++ file.
  rm -f "$work/notes.cpp" "$work/.notes.cpp.sw"*
  gvim -f -n -u NONE -U NONE -N --cmd 'syntax on' --cmd 'set number ruler laststatus=2 nowrap' \
    --cmd "set guifont=DejaVu\\ Sans\\ Mono\\ 11" "${vimdark[@]}" "$work/notes.cpp" >/dev/null 2>&1 &
  apps+=($!)
  editor=$(place Gvim 0 0 1180 660)
  # Right: a long document in a browser window.
  chromium --no-sandbox --disable-gpu --no-first-run --no-default-browser-check --disable-sync "${webdark[@]}" \
    --user-data-dir="$work/chromium" --app="file:///usr/share/doc/geany/html/index.html" >/dev/null 2>&1 &
  apps+=($!)
  sleep 3
  browser=$(place Chromium 1190 0 730 1040)
  # Bottom left: a video playing.
  if [[ $clip_size != none ]]; then
    local cw=${clip_size%x*} ch=${clip_size#*x}
    ffplay -v error -an -noborder -loop 0 -x "$cw" -y "$ch" -left 0 -top $((1070 - ch)) -window_title clip "$clip" \
      </dev/null &
    apps+=($!)
    window_of ffplay >/dev/null
  fi
  # A small terminal showing top, the window that gets moved about.
  xterm "${termdark[@]}" -geometry 80x20+680+700 -fa 'DejaVu Sans Mono' -fs 10 -e top -d 1 &
  apps+=($!)
  term=$(window_of XTerm)
  xdotool windowactivate --sync "$editor"
  sleep 2
}

stop_desktop() {
  for p in "${apps[@]}"; do kill "$p" 2>/dev/null || true; done
  # ffplay sometimes lets SIGTERM go by; after three seconds it gets SIGKILL.
  for _ in $(seq 30); do
    local alive=0 p
    for p in "${apps[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    ((alive)) || break
    sleep 0.1
  done
  for p in "${apps[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  for p in "${apps[@]}"; do wait "$p" 2>/dev/null || true; done
  apps=()
  sleep 1
}

# The minute of use, on a fixed timetable: type, scroll the document, drag
# the terminal around, type again, then read (only the video and the
# terminal change). Each phase ends at its time however long its steps took.
activity() {
  local t0 chunk
  t0=$(date +%s.%N)
  until_t() { local left; left=$(awk -v a="$t0" -v b="$(date +%s.%N)" -v t="$1" 'BEGIN {print a + t - b}'); awk -v l="$left" 'BEGIN {exit !(l > 0)}' && sleep "$left" || true; }
  type_for() {  # SECONDS: types the next lines of the text, about 9 keys a second
    local left=$(($1 * 9)) line
    while ((left > 0)); do
      line=${lines[typed]:col:left}
      [[ -n $line ]] && xdotool type --delay 110 -- "$line"
      col=$((col + ${#line}))
      left=$((left - ${#line} - 1))
      ((left >= 0)) || break
      xdotool key Return
      typed=$((typed + 1)) col=0
    done
  }
  # NIMBO_BENCH_HICCUPS="8 20 44": at each of those seconds three other
  # processes take both cores for a second, as a build or a browser tab does.
  local h
  for h in ${NIMBO_BENCH_HICCUPS:-}; do
    (until_t "$h"; for _ in 1 2 3; do timeout 1 sh -c 'while :; do :; done' & done; wait) &
  done
  mapfile -t lines <"$text"
  typed=0 col=0
  xdotool windowactivate --sync "$editor" key --clearmodifiers i
  type_for 13
  until_t 15
  # Scrolling: the wheel over the document, a few notches every second.
  xdotool mousemove 1550 500 windowactivate --sync "$browser"
  for i in $(seq 12); do
    xdotool click --repeat 3 --delay 60 5
    ((i % 4 == 0)) && xdotool click --repeat 2 --delay 60 4
    until_t $((15 + i))
  done
  # Dragging the terminal across the screen and back.
  local x y
  for i in $(seq 0 239); do
    x=$(awk -v i="$i" 'BEGIN {printf "%d", 680 - 500 * sin(i / 240 * 3.14159 * 2)}')
    y=$(awk -v i="$i" 'BEGIN {printf "%d", 700 - 500 * sin(i / 240 * 3.14159)}')
    xdotool windowmove "$term" "$x" "$y"
    until_t "$(awk -v i="$i" 'BEGIN {print 27 + i / 30}')"
  done
  until_t 36
  xdotool windowactivate --sync "$editor"
  type_for 13
  until_t 50
  # Reading.
  until_t $((seconds - 2))
}

# --- The recordings ----------------------------------------------------------

export XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config"
for rec in "${recorders[@]}"; do
  for kind in cpu ssim; do
    # lossless: a capture of the minute to tune on (bench/record_tune.cpp).
    [[ $rec == lossless && $kind == ssim ]] && continue
    name=$rec-$kind
    start_desktop
    case $rec in
      nimbo)
        env=()
        [[ $kind == ssim ]] && env=(NIMBO_X264_PARAMS="ssim=1${NIMBO_X264_PARAMS:+:$NIMBO_X264_PARAMS}")
        cmd=(env "${env[@]}" build/nimbo --smoke --smoke-target=screen --smoke-audio=none --smoke-seconds="$seconds"
             --smoke-log="$dir/$name.log") ;;
      lossless)
        cmd=(ffmpeg -nostdin -y -f x11grab -framerate 30 -video_size "${w}x${h}" -draw_mouse 1 -i "$DISPLAY+0,0"
             -c:v libx264rgb -preset ultrafast -qp 0 -t "$seconds" "$dir/$name.mkv") ;;
      *)
        params=()
        [[ $kind == ssim ]] && params=(-x264-params ssim=1)
        cmd=(ffmpeg -nostdin -y -f x11grab -framerate 30 -video_size "${w}x${h}" -draw_mouse 1 -i "$DISPLAY+0,0"
             -c:v libx264 -preset "$rec" -crf 23 "${params[@]}" -pix_fmt yuv420p -t "$seconds" "$dir/$name.mp4") ;;
    esac
    /usr/bin/time -f "%U %S" -o "$dir/$name.time" "${cmd[@]}" >"$dir/$name.out" 2>&1 &
    recorder=$!
    # The activity begins once the recording has: Nimbo's self-test waits
    # three seconds before it starts recording; ffmpeg starts at once.
    if [[ $rec == nimbo ]]; then wait_recording "$recorder" "$dir/$name.log" "recorder started"; else sleep 1; fi
    activity
    wait "$recorder" || echo "everyday: $name exited with an error" >&2
    if [[ $rec == nimbo ]]; then
      file=$(sed -n 's/^SMOKE PASS file saved: //p' "$dir/$name.log" "$dir/$name.out" | head -1)
      [[ -n $file ]] && mv "$file" "$dir/$name.mp4"
    fi
    stop_desktop
  done
done
