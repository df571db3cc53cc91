#!/usr/bin/env bash
# Nimbo on a Wayland session, through the desktop portal: run inside
# scripts/with-desktop --wayland (two outputs at scale 2, 960x540 points each).
#   wayland_tier.sh NIMBO TEST_PICTURE TEST_POINTER
# A known picture fills both outputs; the one-shot screenshots and a region
# dragged in the running app (copied to the clipboard) must match it pixel
# for pixel.
set -euo pipefail
nimbo=$1 picture=$2 pointer=$3
work=$NIMBO_DESKTOP_DIR/tier
mkdir -p "$work/expected"
source "$(dirname "$0")/tier_lib.sh"
export QT_QPA_PLATFORM=wayland

same() {  # same ACTUAL EXPECTED WHAT
  [[ -s $1 ]] || fail "$3: no picture"
  local size expected differ
  size=$(identify -format '%wx%h' "$1") expected=$(identify -format '%wx%h' "$2")
  [[ $size == "$expected" ]] || fail "$3: $size pixels, expected $expected"
  differ=$(compare -metric AE "$1" "$2" null: 2>&1) || true
  [[ $differ == 0 ]] || fail "$3: $differ pixels differ"
  echo "ok: $3 ($size, exact)"
}

# Each output's picture full-screen on that output, whatever the compositor
# makes of the order the windows appear in.
for output in HEADLESS-1 HEADLESS-2; do
  swaymsg "for_window [title=\"^nimbo-picture $output\$\"] move container to output $output, fullscreen enable" >/dev/null
done
"$picture" "$work/expected" >"$work/picture.out" 2>&1 &
waitFor "the known picture's windows" grep -q ready "$work/picture.out"
onOutputs() {
  swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node, output):
    if node.get("type") == "output":
        output = node.get("name")
    found = {}
    if (node.get("name") or "").startswith("nimbo-picture ") and node.get("fullscreen_mode") == 1:
        found[node["name"].split(" ")[1]] = output
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        found.update(walk(child, output))
    return found
f = walk(json.load(sys.stdin), None)
sys.exit(0 if f.get("HEADLESS-1") == "HEADLESS-1" and f.get("HEADLESS-2") == "HEADLESS-2" else 1)'
}
waitFor "the known picture full-screen on both outputs" onOutputs
one=$work/expected/HEADLESS-1.png two=$work/expected/HEADLESS-2.png
convert "$one" "$two" +append "$work/expected/desktop.png"
# Shown when the compositor's own capture shows it (a headless output may
# take a moment to draw a new window).
shown() {
  grim "$work/shown.png" && [[ $(compare -metric AE "$work/shown.png" "$work/expected/desktop.png" null: 2>&1) == 0 ]]
}
waitFor "the compositor to show the known picture" shown

# One-shot screenshots: each output, the whole desktop, a region across both.
"$nimbo" screenshot --screen HEADLESS-1 -o "$work/one.png"
same "$work/one.png" "$one" "screenshot --screen HEADLESS-1"
"$nimbo" screenshot --screen HEADLESS-2 -o "$work/two.png"
same "$work/two.png" "$two" "screenshot --screen HEADLESS-2"
"$nimbo" screenshot -o - >"$work/desktop.png"
same "$work/desktop.png" "$work/expected/desktop.png" "screenshot of the whole desktop to standard output"
"$nimbo" screenshot --region 1800,100,300,200 -o "$work/region.png"
convert "$work/expected/desktop.png" -crop 300x200+1800+100 +repage "$work/expected/region.png"
same "$work/region.png" "$work/expected/region.png" "screenshot --region across both outputs"
if "$nimbo" screenshot --screen NOPE -o "$work/none.png" 2>"$work/none.err"; then fail "an unknown screen was accepted"; fi
grep -q "screens: HEADLESS-1, HEADLESS-2" "$work/none.err" || fail "unknown screen: $(cat "$work/none.err")"

# The running app: capture to clipboard, a region dragged on the second
# output. Points (1000,100)-(1200,250) of the layout are (40,100)-(240,250)
# on HEADLESS-2: 400x300 pixels from (80,200).
# A user who has agreed to the welcome already.
mkdir -p "$HOME/.config/com.vantori.screenshot"
printf '[General]\nnimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\n' >>"$HOME/.config/com.vantori.screenshot/settings.ini"
NIMBO_TRACE_TIMING=1 "$nimbo" >"$work/app.log" 2>&1 &
app=$!
waitFor "the app on Wayland" grep -q "running on Wayland through the desktop portals" "$work/app.log"
waitFor "the app started" grep -q "Hotkeys registered" "$work/app.log"
"$nimbo" capture-to-clipboard
waitFor "the selection overlay" grep -q "overlay-visible" "$work/app.log"
sleep 0.5
"$pointer" 1920 540 <<'MOVES'
move 1000 100
sleep 100
press
sleep 50
move 1100 180
sleep 50
move 1200 250
sleep 100
release
MOVES
waitFor "the capture on the clipboard" grep -q "Screenshot: selection 200x150" "$work/app.log"
sleep 1
wl-paste --list-types >"$work/types" 2>&1 || fail "nothing on the clipboard: $(cat "$work/types")"
wl-paste --type image/png >"$work/clipboard.png" || fail "no PNG on the clipboard: $(cat "$work/types")"
convert "$two" -crop 400x300+80+200 +repage "$work/expected/clipboard.png"
same "$work/clipboard.png" "$work/expected/clipboard.png" "capture-to-clipboard, dragged on HEADLESS-2"

# Starting nimbo again brings up the settings window, an ordinary window the
# compositor places (sway tiles it beside nothing: the workspace is empty).
"$nimbo"
settingsShown() {
  swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node):
    if node.get("name") == "Nimbo Settings" and node.get("visible"):
        return True
    return any(walk(c) for c in node.get("nodes", []) + node.get("floating_nodes", []))
sys.exit(0 if walk(json.load(sys.stdin)) else 1)'
}
waitFor "the settings window on Wayland" settingsShown
echo "ok: starting nimbo again shows the settings window on Wayland"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true

# Recording: sway's portal backend cannot share a screen without a GPU, so a
# stand-in ScreenCast portal on a bus of its own shares a real PipeWire node
# of this session (a moving test picture of the first output's size); the
# rest is real: Qt on Wayland, PipeWire, PulseAudio, the encoder.
platform=$(cd "$(dirname "$0")/../platform" && pwd)
gst-launch-1.0 -q videotestsrc pattern=ball is-live=true \
  ! video/x-raw,format=BGRx,width=1920,height=1080,framerate=30/1 \
  ! pipewiresink mode=provide client-name=nimbo-test-monitor \
    stream-properties="props,media.class=Video/Source,node.name=nimbo-test-monitor" >"$work/gst.log" 2>&1 &
source_pid=$!
node=""
for _ in $(seq 100); do
  node=$(pw-dump 2>/dev/null | python3 -c '
import json, sys
for o in json.load(sys.stdin):
    if o.get("info", {}).get("props", {}).get("node.name") == "nimbo-test-monitor":
        print(o["id"])' || true)
  [[ -n $node ]] && break
  sleep 0.1
done
[[ -n $node ]] || fail "the test monitor did not appear in PipeWire: $(cat "$work/gst.log")"
export NIMBO_PORTAL_LOG=$work/screencast.jsonl NIMBO_PIPEWIRE_SOCKET=$XDG_RUNTIME_DIR/pipewire-0
dbus-run-session --config-file="$platform/private-bus.conf" -- bash -c '
  "$1" "$2" 1920 1080 &
  portal=$!
  for _ in $(seq 100); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner org.freedesktop.portal.Desktop 2>/dev/null | grep -q true && break
    sleep 0.1
  done
  NIMBO_PLATFORM=wayland "$3" --smoke --smoke-target=screen --smoke-audio=both --smoke-seconds=3 \
    --smoke-self-noise=1 --smoke-expect-signal=1 --smoke-log="$4"
  rc=$?
  kill $portal
  exit $rc
' smoke "$platform/fake_screencast_portal.py" "$node" "$nimbo" "$work/smoke.txt" >"$work/smoke.out" 2>&1
rc=$?
kill "$source_pid" 2>/dev/null || true
cat "$work/smoke.txt" 2>/dev/null
((rc == 0)) && grep -q "SMOKE RESULT: ALL PASS" "$work/smoke.txt" || fail "recording through the screen cast portal (exit $rc): $(tail -20 "$work/smoke.out")"
grep -q '"call": "OpenPipeWireRemote"' "$work/screencast.jsonl" || fail "the recording did not go through the portal"
echo "ok: nimbo --smoke records HEADLESS-1 through the ScreenCast portal and PipeWire, with sound"
echo "wayland tier: all passed"
