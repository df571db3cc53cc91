#!/usr/bin/env bash
# Runs the screen cast tests against a real PipeWire daemon: a private
# runtime folder, PipeWire and its session manager, and a video source node
# (a solid colour, 800x600) standing in for a shared monitor. Run under
# dbus-run-session; the portal itself is the tests' stand-in.
#   screencast_session.sh TEST_BINARY [ARGS…]
set -euo pipefail
dir=$(mktemp -d /tmp/nimbo-screencast.XXXXXX)
chmod 700 "$dir"
export XDG_RUNTIME_DIR=$dir
pids=()
cleanup() {
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
pipewire >"$dir/pipewire.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -S $dir/pipewire-0 ]] && break; sleep 0.1; done
wireplumber >"$dir/wireplumber.log" 2>&1 &
pids+=($!)
gst-launch-1.0 -q videotestsrc pattern=solid-color foreground-color=0xff123456 is-live=true \
  ! video/x-raw,format=BGRx,width=800,height=600,framerate=30/1 \
  ! pipewiresink mode=provide client-name=nimbo-test-source \
    stream-properties="props,media.class=Video/Source,node.name=nimbo-test-source" >"$dir/gst.log" 2>&1 &
pids+=($!)
node=""
for _ in $(seq 100); do
  node=$(pw-dump 2>/dev/null | python3 -c '
import json, sys
for o in json.load(sys.stdin):
    if o.get("info", {}).get("props", {}).get("node.name") == "nimbo-test-source":
        print(o["id"])' || true)
  [[ -n $node ]] && break
  sleep 0.1
done
[[ -n $node ]] || { echo "screencast_session: the test source did not appear" >&2; cat "$dir/gst.log" >&2; exit 1; }
export NIMBO_TEST_NODE=$node NIMBO_PIPEWIRE_SOCKET=$dir/pipewire-0
"$@"
