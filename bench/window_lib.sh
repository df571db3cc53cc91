# Shared by the benchmarks that stage real applications (sourced).

# Waits for a visible window of a class (at most 20 s) and prints its id.
window_of() {  # CLASS
  local wid=""
  for _ in $(seq 200); do
    wid=$(xdotool search --onlyvisible --class "$1" 2>/dev/null | tail -1) && [[ -n $wid ]] && break
    sleep 0.1
  done
  [[ -n $wid ]] || { echo "$(basename "$0"): no $1 window" >&2; return 1; }
  echo "$wid"
}

# A clip to play in a corner: a slow pan and zoom over a photograph, long
# enough that it never loops during a recording of SECONDS, at
# NIMBO_BENCH_CLIP_FPS frames a second (25 unless told) and
# NIMBO_BENCH_CLIP_SIZE (640x360 unless told). Made once.
make_clip() {  # FILE SECONDS
  local fps=${NIMBO_BENCH_CLIP_FPS:-25} size=${NIMBO_BENCH_CLIP_SIZE:-640x360} frames
  [[ -s $1 ]] && return 0
  frames=$((($2 + 15) * fps))
  ffmpeg -nostdin -v error -y -i /usr/share/backgrounds/mate/nature/LadyBird.jpg \
    -vf "scale=3840:-2,zoompan=z='1.1+0.4*on/$frames':x='(iw-iw/zoom)*(0.5+0.4*sin(on/90))':y='(ih-ih/zoom)*(0.5+0.4*cos(on/130))':d=$frames:s=$size:fps=$fps,format=yuv420p" \
    -frames:v "$frames" -c:v libx264 -preset medium -crf 18 "$1"
}

# The text typed into the editor: this project's own source.
make_typing() {  # FILE
  sed -n '1,200p' "$(dirname "${BASH_SOURCE[0]}")/../src/recording/screen_recorder.cpp" | cut -c1-100 >"$1"
}

# Waits until a recorder has begun: FILE holds TEXT (at most 30 s, or until
# PID has ended), then half a second more, so the activity is all recorded.
wait_recording() {  # PID FILE TEXT
  for _ in $(seq 300); do
    grep -q "$3" "$2" 2>/dev/null && break
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  sleep 0.5
}
