#!/usr/bin/env bash
# The self-test's panel and full-flow modes inside the virtual desktop. The
# panel's picture is kept as an artifact for review.
#   scripts/with-desktop tests/integration/smoke_modes.sh NIMBO ARTIFACT_DIR
set -uo pipefail
nimbo=$1 artifacts=$2
work=$(mktemp -d /tmp/nimbo-smoke-modes.XXXXXX)
export HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
cleanup() {
  # The bundled server this run started (it outlives the app on purpose).
  pkill -f "nimbo-share-server .*--data $XDG_DATA_HOME/" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$artifacts"
failed=0

NIMBO_SMOKE_PANEL_OUT="$artifacts/recorder-panel.png" "$nimbo" --smoke --smoke-panel=1 --smoke-log="$work/panel.txt"
rc=$?
cat "$work/panel.txt"
if ((rc != 0)) || ! grep -q "SMOKE RESULT: ALL PASS" "$work/panel.txt"; then
  echo "FAIL: panel mode (exit $rc)"; failed=1
elif [[ $(identify -format '%wx%h' "$artifacts/recorder-panel.png" 2>/dev/null) != 380x560 ]]; then
  echo "FAIL: the panel picture is not 380x560: $(identify "$artifacts/recorder-panel.png" 2>&1)"; failed=1
fi

"$nimbo" --smoke --smoke-flow=1 --smoke-seconds=3 --smoke-self-noise=1 --smoke-expect-signal=1 \
  --smoke-log="$work/flow.txt"
rc=$?
cat "$work/flow.txt"
if ((rc != 0)) || ! grep -q "SMOKE RESULT: ALL PASS" "$work/flow.txt"; then
  echo "FAIL: flow mode (exit $rc)"; failed=1
fi
((failed == 0)) && echo "PASS: panel and flow modes"
exit $failed
