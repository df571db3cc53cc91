#!/usr/bin/env bash
# Nimbo on sway through the desktop portal, inside scripts/with-desktop --wayland (two outputs
# at scale 2, 960x540 points each): a known picture fills both, and the one-shot screenshots and
# a region dragged in the running app match it pixel for pixel.   wayland_tier.sh NIMBO TEST_PICTURE TEST_POINTER
nimbo=$1 picture=$2 pointer=$3
source "$(dirname "$0")/tier_lib.sh"

same() {  # same ACTUAL EXPECTED WHAT
  [[ -s $1 ]] || fail "$3: no picture"
  local size expected
  size=$(identify -format '%wx%h' "$1") expected=$(identify -format '%wx%h' "$2")
  [[ $size == "$expected" ]] || fail "$3: $size pixels, expected $expected"
  [[ $(differ "$1" "$2") == 0 ]] || fail "$3: $(differ "$1" "$2") pixels differ"
  echo "ok: $3 ($size, exact)"
}
windows() {  # one line per node of sway's tree: OUTPUT FULLSCREEN VISIBLE NAME
  swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node, output):
    output = node["name"] if node.get("type") == "output" else output
    print(output, node.get("fullscreen_mode"), node.get("visible"), node.get("name"))
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child, output)
walk(json.load(sys.stdin), None)'
}

# Each output's picture full-screen on that output, whatever order the windows appear in.
for output in HEADLESS-1 HEADLESS-2; do
  swaymsg "for_window [title=\"^nimbo-picture $output\$\"] move container to output $output, fullscreen enable" >/dev/null
done
showPicture "$work/expected"
onOutputs() { [[ $(windows | grep -cE '^(HEADLESS-[12]) 1 \S+ nimbo-picture \1$') == 2 ]]; }
waitFor "the known picture full-screen on both outputs" onOutputs
convert "$work/expected/HEADLESS-1.png" "$work/expected/HEADLESS-2.png" +append "$work/expected/desktop.png"
# Shown once the compositor's own capture shows it (a headless output may take a moment).
shown() { grim "$work/shown.png" && [[ $(differ "$work/shown.png" "$work/expected/desktop.png") == 0 ]]; }
waitFor "the compositor to show the known picture" shown

# One-shot screenshots: each output, the whole desktop, a region across both.
for output in HEADLESS-1 HEADLESS-2; do
  "$nimbo" screenshot --screen $output -o "$work/$output.png"
  same "$work/$output.png" "$work/expected/$output.png" "screenshot --screen $output"
done
"$nimbo" screenshot -o - >"$work/desktop.png"
same "$work/desktop.png" "$work/expected/desktop.png" "screenshot of the whole desktop to standard output"
"$nimbo" screenshot --region 1800,100,300,200 -o "$work/region.png"
convert "$work/expected/desktop.png" -crop 300x200+1800+100 +repage "$work/expected/region.png"
same "$work/region.png" "$work/expected/region.png" "screenshot --region across both outputs"
if "$nimbo" screenshot --screen NOPE -o "$work/none.png" 2>"$work/none.err"; then fail "an unknown screen was accepted"; fi
grep -q "screens: HEADLESS-1, HEADLESS-2" "$work/none.err" || fail "unknown screen: $(cat "$work/none.err")"

# The running app: capture to clipboard, a region dragged on the second output.
# Points (1000,100)-(1200,250) are (40,100)-(240,250) on HEADLESS-2: 400x300 pixels from (80,200).
startApp
waitFor "the app started" grep -q "Hotkeys registered" "$work/app.log"
"$nimbo" capture-to-clipboard
waitFor "the selection overlay" grep -q "overlay-visible" "$work/app.log"
sleep 0.5
printf '%s\n' "move 1000 100" "sleep 100" press "sleep 50" "move 1100 180" "sleep 50" "move 1200 250" "sleep 100" release |
  "$pointer" 1920 540
waitFor "the capture on the clipboard" grep -q "Screenshot: selection 200x150" "$work/app.log"
sleep 1
wl-paste --type image/png >"$work/clipboard.png" || fail "no PNG on the clipboard: $(wl-paste --list-types 2>&1)"
convert "$work/expected/HEADLESS-2.png" -crop 400x300+80+200 +repage "$work/expected/clipboard.png"
same "$work/clipboard.png" "$work/expected/clipboard.png" "capture-to-clipboard, dragged on HEADLESS-2"

# Starting nimbo again brings up the settings window, an ordinary window sway places.
"$nimbo"
waitFor "the settings window on Wayland" eval 'windows | grep -q " True Nimbo Settings$"'
echo "ok: starting nimbo again shows the settings window on Wayland"
stop "$app"

# Recording: sway's portal backend cannot share a screen without a GPU, so a stand-in ScreenCast portal
# on a bus of its own shares a real PipeWire node (a moving picture of the first output's size); Qt on
# Wayland, PipeWire, PulseAudio and the encoder are real.
platform=$(cd "$(dirname "$0")/../platform" && pwd)
export NIMBO_PORTAL_LOG=$work/screencast.jsonl NIMBO_PIPEWIRE_SOCKET=$XDG_RUNTIME_DIR/pipewire-0
monitorNode() {
  node=$(pw-dump | python3 -c 'import json, sys
print(*[o["id"] for o in json.load(sys.stdin) if o.get("info", {}).get("props", {}).get("node.name") == "nimbo-test-monitor"])')
  [[ -n $node ]]
}
castSmoke() {  # castSmoke WHAT WIDTH HEIGHT: the recording self-test through the stand-in portal, sharing WIDTHxHEIGHT
  # A source of its own each time: gstreamer's pipewiresink sends next to nothing once a consumer has left it.
  gst-launch-1.0 -q videotestsrc pattern=ball is-live=true ! video/x-raw,format=BGRx,width=1920,height=1080,framerate=30/1 \
    ! pipewiresink mode=provide client-name=nimbo-test-monitor \
    stream-properties="props,media.class=Video/Source,node.name=nimbo-test-monitor" >"$work/gst.log" 2>&1 &
  monitor=$!
  waitFor "the test monitor in PipeWire" monitorNode
  : >"$work/screencast.jsonl"
  smoke "$1" dbus-run-session --config-file="$platform/private-bus.conf" -- bash -c '
  "$1" "$2" "$3" "$4" &
  for _ in $(seq 100); do
    gdbus call --session --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
      --method org.freedesktop.DBus.Properties.Get org.freedesktop.portal.ScreenCast version >/dev/null 2>&1 && break
    sleep 0.1
  done
  NIMBO_PLATFORM=wayland "${@:5}" || rc=$?
  kill $!
  exit ${rc:-0}' portal "$platform/fake_screencast_portal.py" "$node" "$2" "$3" "$nimbo"
  stop "$monitor"
  waitFor "the test monitor gone" eval '! monitorNode'
  grep -q '"call": "OpenPipeWireRemote"' "$work/screencast.jsonl" || fail "$1: the recording did not go through the portal"
}
castSmoke "recording through the screen cast portal" 1920 1080
# Never shared before: chosen before the countdown, connected during it, one session in all.
grep -q "connected during the countdown" "$work/smoke.txt" || fail "the monitor chosen before the countdown was not connected during it"
[[ $(grep -c '"call": "CreateSession"' "$work/screencast.jsonl") == 1 ]] || fail "the monitor was asked for twice"
# The stream says where each picture changed and the writer converts and encodes only that:
# nothing of an earlier picture may stay behind.
video=$(sed -n 's/.*file saved: //p' "$work/smoke.txt")
balls=$(python3 "$(dirname "$0")/one_ball.py" "$video" 2>&1) || fail "the recording through the portal: $balls"
echo "ok: $balls"
echo "ok: nimbo --smoke records HEADLESS-1 through the ScreenCast portal and PipeWire, with sound, chosen before the countdown"
# A window is chosen in the desktop's dialog (the stand-in answers at once) and connected while the
# countdown runs: the start asks the portal nothing more.
target=window castSmoke "recording a window chosen through the screen cast portal" 1280 720
grep -q "connected during the countdown" "$work/smoke.txt" || fail "the chosen window was not connected during the countdown"
[[ $(grep -c '"call": "OpenPipeWireRemote"' "$work/screencast.jsonl") == 1 ]] || fail "the start connected to the window again"
echo "ok: nimbo --smoke records a window chosen in the desktop's dialog, connected during the countdown"
echo "wayland tier: all passed"
