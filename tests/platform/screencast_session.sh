#!/usr/bin/env bash
# Runs the screen cast tests against a real PipeWire daemon: a private
# runtime folder, PipeWire and its session manager (the tests add their
# video sources). Run under dbus-run-session; the portal itself is the
# tests' stand-in.
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
export PIPEWIRE_RUNTIME_DIR=$dir
export NIMBO_PIPEWIRE_SOCKET=$dir/pipewire-0
"$@"
