#!/usr/bin/env bash
# The self-test's panel mode (its picture kept in ARTIFACT_DIR for review) and
# its full record-and-upload flow, inside the virtual desktop.
#   scripts/with-desktop tests/integration/smoke_modes.sh NIMBO ARTIFACT_DIR
set -uo pipefail
nimbo=$1 artifacts=$2
work=$(mktemp -d /tmp/nimbo-smoke-modes.XXXXXX)
export HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
# The bundled server this run started outlives the app on purpose.
trap 'pkill -f "nimbo-share-server .*--data $XDG_DATA_HOME/" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$artifacts"
failed=0
smoke() {  # smoke MODE ARGS… — one self-test run, which must pass whole
  local mode=$1; shift
  "$nimbo" --smoke "$@" --smoke-log="$work/$mode.txt"
  local rc=$?
  cat "$work/$mode.txt"
  ((rc == 0)) && grep -q "SMOKE RESULT: ALL PASS" "$work/$mode.txt" && return
  echo "FAIL: $mode mode (exit $rc)"; failed=1; return 1
}
panel="$artifacts/recorder-panel.png"
if NIMBO_SMOKE_PANEL_OUT="$panel" smoke panel --smoke-panel=1 && [[ $(identify -format '%wx%h' "$panel" 2>/dev/null) != 380x560 ]]; then
  echo "FAIL: the panel picture is not 380x560: $(identify "$panel" 2>&1)"; failed=1
fi
smoke flow --smoke-flow=1 --smoke-seconds=3 --smoke-self-noise=1 --smoke-expect-signal=1
((failed == 0)) && echo "PASS: panel and flow modes"
exit $failed
