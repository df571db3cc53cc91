#!/usr/bin/env bash
# Inside the virtual desktop: see memory_bench.sh.
set -euo pipefail
build=$1 rounds=$2 out=$3
nimbo=$build/nimbo

now_ms() { echo $(($(date +%s%N) / 1000000)); }
rss_mb() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local until=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    (($(now_ms) < until)) || return 1
    sleep 0.01
  done
}
visible() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
logged() { grep -q "$1" "$log"; }
settle() { sleep 3; }  # the app goes idle; what was freed is handed back

nimbo_round() {
  local r=$1 home=$out/nimbo-$1
  mkdir -p "$home"
  export XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache
  log=$home/log
  local t0
  t0=$(now_ms)
  "$nimbo" 2>"$log" &
  local pid=$!
  wait_for 20 logged "tray icon shown" || { echo "no tray icon" >&2; cat "$log" >&2; return 1; }
  local ready=$(($(now_ms) - t0))
  settle
  local idle
  idle=$(rss_mb $pid)

  # A capture: the overlay, a dragged region, filed in the history.
  "$nimbo" capture-to-clipboard
  wait_for 10 visible "Nimbo selection"
  sleep 0.3
  xdotool mousemove 300 200 mousedown 1 mousemove 700 450 mousemove 1100 700 mouseup 1
  wait_for 10 test -s "$XDG_DATA_HOME/com.vantori.screenshot/history.json"
  settle
  local captured
  captured=$(rss_mb $pid)

  # The editor on it: a rectangle drawn, then the window closed.
  "$nimbo" edit last
  wait_for 10 visible "Nimbo — Edit"
  local win
  win=$(xdotool search --onlyvisible --name "Nimbo — Edit" | head -1)
  xdotool windowactivate --sync "$win"
  sleep 0.5
  xdotool key --clearmodifiers r
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT / 3)) mousedown 1 mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) \
    mouseup 1
  sleep 0.5
  local editing
  editing=$(rss_mb $pid)
  xdotool key --clearmodifiers ctrl+s
  wait_for 10 logged "Editor: saved over"
  # Closed through the window manager; asked again should it not take it.
  for _ in 1 2 3; do
    xdotool windowactivate --sync "$win" key --clearmodifiers alt+F4 2>/dev/null || true
    wait_for 3 bash -c '! xdotool search --onlyvisible --name "Nimbo — Edit" >/dev/null 2>&1' && break
  done
  settle
  local edited
  edited=$(rss_mb $pid)

  # A five-second recording of the screen from the recorder panel.
  local started
  started=$(grep -c "recording started" "$log" || true)
  "$nimbo" record-to-file
  wait_for 10 visible "^New Recording$"
  xdotool windowactivate --sync "$(xdotool search --onlyvisible --name '^New Recording$' | head -1)" key Return
  wait_for 15 bash -c "(( \$(grep -c 'recording started' '$log') > $started ))"
  sleep 5
  local recording
  recording=$(rss_mb $pid)
  "$nimbo" record-to-file
  wait_for 30 logged "tray icon back to idle"
  sleep 2
  # FFmpeg is closed a while after the recording is done.
  wait_for 60 logged "FFmpeg closed" || echo "FFmpeg still open a minute after the recording" >&2
  settle
  local recorded
  recorded=$(rss_mb $pid)
  kill $pid
  wait $pid 2>/dev/null || true
  pkill -f "nimbo-share-server.*$home" || true  # the bundled share server
  echo "$ready $idle $captured $editing $edited $recording $recorded" >>"$out/nimbo.txt"
}

flameshot_round() {
  local r=$1 home=$out/flameshot-$1
  mkdir -p "$home"
  export XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache
  local t0
  t0=$(now_ms)
  flameshot >"$home/log" 2>&1 &
  local pid=$!
  wait_for 20 bash -c 'dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.flameshot.Flameshot 2>/dev/null | grep -q true'
  local ready=$(($(now_ms) - t0))
  settle
  local idle
  idle=$(rss_mb $pid)
  flameshot full -p "$home/shot.png" >/dev/null 2>&1 || true
  settle
  local captured
  captured=$(rss_mb $pid)
  kill $pid
  wait $pid 2>/dev/null || true
  echo "$ready $idle $captured" >>"$out/flameshot.txt"
}

for ((r = 1; r <= rounds; r++)); do
  nimbo_round "$r"
  flameshot_round "$r"
done

median() {  # column $1 of file $2
  awk -v c="$1" '{print $c}' "$2" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
{
  echo "== tray app memory, 1920x1080, median of $rounds starts (resident MB; time in ms)"
  printf '%-34s %10s %10s %8s\n' step nimbo flameshot ratio
  row() {  # label, nimbo column, flameshot column or -
    local n f
    n=$(median "$2" "$out/nimbo.txt")
    if [[ $3 == - ]]; then
      printf '%-34s %10s %10s %8s\n' "$1" "$n" - -
    else
      f=$(median "$3" "$out/flameshot.txt")
      printf '%-34s %10s %10s %8.2f\n' "$1" "$n" "$f" "$(awk -v a="$n" -v b="$f" 'BEGIN {print a / b}')"
    fi
  }
  row "start to tray (ms)" 1 1
  row "idle after start" 2 2
  row "after a capture" 3 3
  row "editor open" 4 -
  row "after the editor is closed" 5 -
  row "recording" 6 -
  row "after the recording" 7 -
  echo "goals: idle < 55 MB; after the capture, the editor and the recording < 60 MB"
} >"$out/report.txt"
