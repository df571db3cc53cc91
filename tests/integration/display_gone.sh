#!/usr/bin/env bash
# The X server killed under a running Nimbo (as at logout): it must exit 0 or 1,
# never by a signal, and a recording in progress must be left playable.
#   scripts/with-desktop tests/integration/display_gone.sh NIMBO idle|overlay|editor|recording
set -uo pipefail
nimbo=$1 scenario=$2
: "${NIMBO_XORG_PID:?run inside scripts/with-desktop}"
work=$(mktemp -d /tmp/nimbo-gone.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
conf="$XDG_CONFIG_HOME/com.vantori.screenshot" data="$XDG_DATA_HOME/com.vantori.screenshot"
mkdir -p "$conf" "$data/originals" "$data/thumbnails"
printf '[General]\nnimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\nuploadEndpoint=http://127.0.0.1:9/\n' >"$conf/settings.ini"
# One capture in the history, for the editor to open.
id=0F6A7B9C-1234-4ABC-8DEF-0123456789AB
convert -size 400x300 xc:skyblue "$data/originals/$id.png"
cp "$data/originals/$id.png" "$data/thumbnails/$id.png"
printf '[{"id":"%s","createdAt":"2026-01-01T00:00:00Z","width":400,"height":300,"mediaType":"image"}]' "$id" >"$data/history.json"

fail() { echo "FAIL ($scenario): $*"; sed 's/^/    /' "$work/log" 2>/dev/null; exit 1; }
waitFor() {  # waitFor DESCRIPTION COMMAND… — up to 20 s
  local what=$1; shift
  for _ in $(seq 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  fail "never saw $what"
}

if [[ $scenario == recording ]]; then
  "$nimbo" --smoke --smoke-target=screen --smoke-audio=both --smoke-seconds=60 --smoke-self-noise=1 \
    --smoke-log="$work/log" &
  pid=$!
  waitFor "a recording being written" bash -c "find '$data/recordings' -name '*.mp4' -size +20k | grep -q ."
  sleep 2
else
  "$nimbo" >"$work/log" 2>&1 &
  pid=$!
  waitFor "the app started" grep -q "Hotkeys registered" "$work/log"
  case $scenario in
    overlay) "$nimbo" capture-to-clipboard
      waitFor "the selection overlay" grep -q "frozen\|CaptureFlow.run" "$work/log"
      sleep 1.5 ;;
    editor) "$nimbo" edit
      waitFor "the editor window" xdotool search --name "Nimbo — Edit" ;;
  esac
fi

# As at logout: the server is told to end, then ends its clients' connections.
kill -TERM "$NIMBO_XORG_PID"
for _ in $(seq 50); do kill -0 "$NIMBO_XORG_PID" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$NIMBO_XORG_PID" 2>/dev/null
for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "still running 30 s after the X server went away"; }
wait "$pid"
rc=$?
((rc == 0 || rc == 1)) || fail "exit status $rc (a signal when above 128)"

if [[ $scenario == recording ]]; then
  file=$(find "$data/recordings" -name '*.mp4' | head -1)
  [[ -n $file ]] || fail "no recording left behind"
  dur=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$file")
  awk -v d="$dur" 'BEGIN { exit !(d >= 1.5) }' || fail "recording of $dur s is too short or unreadable"
  ((frames > 0)) || fail "recording has no decodable frames"
fi
grep -q "the display went away" "$work/log" || fail "no word in the log about the display going away"
echo "PASS ($scenario): exit status $rc"
