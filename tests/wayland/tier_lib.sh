# Shared by the Wayland tiers, sourced after `nimbo=… picture=…`.
set -euo pipefail
work=$NIMBO_DESKTOP_DIR/tier
mkdir -p "$work/expected"
export QT_QPA_PLATFORM=wayland

fail() {
  echo "FAIL: $*" >&2
  [[ -f $work/app.log ]] && tail -30 "$work/app.log" >&2
  local keep  # the session's folder goes with it: what the tier saw is kept
  keep=$(mktemp -d /tmp/nimbo-tier-failure.XXXXXX) && cp -r "$work"/. "$keep"/ 2>/dev/null || true
  echo "what the tier saw is kept in ${keep:-no folder}" >&2
  exit 1
}

waitFor() {  # waitFor DESCRIPTION COMMAND… — up to 30 s
  for _ in $(seq 100); do "${@:2}" >/dev/null 2>&1 && return 0; sleep 0.3; done
  fail "timed out waiting for $1"
}

differ() { compare -metric AE "$1" "$2" null: 2>&1 || true; }  # how many pixels differ
stop() { kill "$@" 2>/dev/null || true; wait "$@" 2>/dev/null || true; }

showPicture() {  # showPicture FOLDER [--animate]: the known picture on every output, its pid in $pic
  "$picture" "$@" >"$work/picture.out" 2>&1 &
  pic=$!
  waitFor "the known picture" grep -q ready "$work/picture.out"
}

startApp() {  # the app, for a user who has agreed to the welcome; its pid in $app
  mkdir -p "$HOME/.config/com.vantori.screenshot"
  printf '[General]\nnimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\n' >>"$HOME/.config/com.vantori.screenshot/settings.ini"
  NIMBO_TRACE_TIMING=1 "$nimbo" >"$work/app.log" 2>&1 &
  app=$!
  waitFor "the app on Wayland" grep -q "running on Wayland through the desktop portals" "$work/app.log"
}

smoke() {  # smoke WHAT COMMAND…: the recording self-test (first screen, with sound; $target if set) run by COMMAND… passes
  "${@:2}" --smoke --smoke-target="${target:-screen}" --smoke-audio=both --smoke-seconds=3 --smoke-self-noise=1 \
    --smoke-expect-signal=1 --smoke-log="$work/smoke.txt" >"$work/smoke.out" 2>&1 || true
  cat "$work/smoke.txt" 2>/dev/null || true
  grep -q "SMOKE RESULT: ALL PASS" "$work/smoke.txt" || fail "$1: $(tail -20 "$work/smoke.out")"
}

# The share server the app started detached (it outlives the app on purpose) ends with the test.
trap 'pkill -f "nimbo-share-server .*--data $HOME/" 2>/dev/null || true' EXIT
