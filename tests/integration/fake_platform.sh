#!/usr/bin/env bash
# The real app on the in-memory platform, with no X server at all: it starts,
# takes commands over its socket, and ends cleanly.
#   tests/integration/fake_platform.sh NIMBO
set -uo pipefail
nimbo=$1
work=$(mktemp -d /tmp/nimbo-fake.XXXXXX)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/runtime" "$work/config/com.vantori.screenshot"
chmod 700 "$work/runtime"
printf '[General]\nnimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\nuploadEndpoint=\n' >"$work/config/com.vantori.screenshot/settings.ini"
export HOME="$work" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export NIMBO_PLATFORM=fake QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
"$nimbo" >"$work/log" 2>&1 &
pid=$!
fail() { echo "FAIL: $*"; sed 's/^/    /' "$work/log"; exit 1; }
for _ in $(seq 100); do grep -q "Hotkeys registered" "$work/log" && break; sleep 0.1; done
grep -q "Nimbo: running on the in-memory platform" "$work/log" || fail "not on the in-memory platform"
# A command reaches it: with an empty history there is nothing to edit.
out=$("$nimbo" edit 2>&1) && fail "edit with an empty history succeeded: $out"
echo "$out" | grep -qi "no capture\|nothing\|history" || fail "edit gave no reason: $out"
kill -TERM "$pid"
wait "$pid"
rc=$?
((rc == 0)) || fail "exit status $rc after SIGTERM"
# A self-test log it cannot write: it says so, and its lines still reach stdout.
"$nimbo" --smoke --smoke-seconds=1 --smoke-log=/dev/null/smoke.txt >"$work/smoke.out" 2>"$work/smoke.err"
grep -q "cannot write /dev/null/smoke.txt" "$work/smoke.err" || fail "no word about the unwritable log: $(cat "$work/smoke.err")"
grep -q "^SMOKE " "$work/smoke.out" || fail "the self-test's lines were lost: $(cat "$work/smoke.out")"
echo "PASS: ran on the in-memory platform, ended with status 0, and an unwritable self-test log kept stdout"
