#!/usr/bin/env bash
# Nimbo on KDE Plasma's Wayland session: run inside scripts/with-desktop --kde
# (kwin_wayland --virtual, one 1920x1080 output).
#   kde_tier.sh NIMBO TEST_PICTURE
# The one-shot screenshot must show a known picture pixel for pixel through
# KDE's Screenshot portal, and the running app must bind its four shortcuts
# through the GlobalShortcuts portal, a press of one reaching its action.
# kwin takes no injected keys, so the press is made the way the desktop's
# shortcut service (kglobalaccel) reports one.
set -euo pipefail
nimbo=$1 picture=$2
work=$NIMBO_DESKTOP_DIR/tier
mkdir -p "$work/expected"
source "$(dirname "$0")/tier_lib.sh"
export QT_QPA_PLATFORM=wayland


"$picture" "$work/expected" >"$work/picture.out" 2>&1 &
pic=$!
waitFor "the known picture's window" grep -q ready "$work/picture.out"
output=$(basename "$(ls "$work/expected"/*.png | head -1)" .png)
# KDE's portal draws the pointer into its pictures, and kwin leaves it at the
# middle of the output: that 48x48 square is left out of the comparison.
pointer="rectangle 936,516 983,563"
convert "$work/expected/$output.png" -fill black -draw "$pointer" "$work/expected/masked.png"
exact() {
  "$nimbo" screenshot --screen "$output" -o "$work/shot.png" &&
    convert "$work/shot.png" -fill black -draw "$pointer" "$work/masked.png" &&
    [[ $(compare -metric AE "$work/masked.png" "$work/expected/masked.png" null: 2>&1) == 0 ]]
}
waitFor "nimbo screenshot to show the known picture exactly" exact
echo "ok: screenshot --screen $output through KDE's Screenshot portal ($(identify -format '%wx%h' "$work/shot.png"), exact but for the pointer)"
kill "$pic"
wait "$pic" 2>/dev/null || true

NIMBO_TRACE_TIMING=1 "$nimbo" >"$work/app.log" 2>&1 &
app=$!
waitFor "the app on Wayland" grep -q "running on Wayland through the desktop portals" "$work/app.log"
waitFor "the shortcuts bound by the desktop" grep -q "the desktop bound captureToClipboard, captureAndUpload, recordAndUpload, recordToFile" "$work/app.log"
component() {
  gdbus call --session --dest org.kde.kglobalaccel --object-path /kglobalaccel \
    --method org.kde.KGlobalAccel.allComponents | grep -o "/component/nimbo[0-9a-z_]*" | head -1
}
waitFor "our shortcuts in the desktop's shortcut service" component
path=$(component)
# The suggested keys became the bindings.
keys=$(gdbus call --session --dest org.kde.kglobalaccel --object-path "$path" \
  --method org.kde.kglobalaccel.Component.allShortcutInfos)
grep -q "captureToClipboard" <<<"$keys" || fail "captureToClipboard is not among the desktop's shortcuts: $keys"
gdbus call --session --dest org.kde.kglobalaccel --object-path "$path" \
  --method org.kde.kglobalaccel.Component.invokeShortcut captureToClipboard default >/dev/null
waitFor "the shortcut's action" grep -q "Screenshot: CaptureFlow.run(mode: clipboardOnly) invoked" "$work/app.log"
waitFor "the selection overlay" grep -q "overlay-visible" "$work/app.log"
echo "ok: the desktop bound the four shortcuts; pressing captureToClipboard froze the screen for a selection"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
echo "kde tier: all passed"
