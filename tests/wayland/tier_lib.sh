# Shared by the Wayland tiers (sourced): failing with the app's log, waiting.
# Set `work` before sourcing.

fail() {
  echo "FAIL: $*" >&2
  [[ -f $work/app.log ]] && tail -30 "$work/app.log" >&2
  # The session's folder goes with it: what the tier saw is kept for a look.
  local keep
  if keep=$(mktemp -d /tmp/nimbo-tier-failure.XXXXXX 2>/dev/null); then
    cp -r "$work"/. "$keep"/ 2>/dev/null || true
    echo "what the tier saw is kept in $keep" >&2
  fi
  exit 1
}

waitFor() {  # waitFor DESCRIPTION COMMAND… — up to 30 s
  local what=$1
  shift
  for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.3; done
  fail "timed out waiting for $what"
}

# The app starts its bundled share server detached (it outlives the app on
# purpose); the one this session's app started ends with the test.
trap 'pkill -f "nimbo-share-server .*--data $HOME/" 2>/dev/null || true' EXIT
