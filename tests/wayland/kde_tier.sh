#!/usr/bin/env bash
# Nimbo on KDE Plasma's Wayland session, inside scripts/with-desktop --kde (kwin_wayland
# --virtual, one 1920x1080 output): a known picture through KDE's Screenshot portal, pixel
# for pixel; the app's shortcuts bound through the GlobalShortcuts portal, one pressed the
# way kglobalaccel reports a press (kwin takes no injected keys).   kde_tier.sh NIMBO TEST_PICTURE
nimbo=$1 picture=$2
source "$(dirname "$0")/tier_lib.sh"

showPicture "$work/expected"
output=$(basename "$(ls "$work/expected"/*.png | head -1)" .png)
# KDE's portal draws the pointer, which kwin leaves mid-output: that 48x48 square is left out.
pointer="rectangle 936,516 983,563"
convert "$work/expected/$output.png" -fill black -draw "$pointer" "$work/expected/masked.png"
exact() {
  "$nimbo" screenshot --screen "$output" -o "$work/shot.png" &&
    convert "$work/shot.png" -fill black -draw "$pointer" "$work/masked.png" &&
    [[ $(differ "$work/masked.png" "$work/expected/masked.png") == 0 ]]
}
waitFor "nimbo screenshot to show the known picture exactly" exact
echo "ok: screenshot --screen $output through KDE's Screenshot portal ($(identify -format '%wx%h' "$work/shot.png"), exact but for the pointer)"
stop "$pic"

startApp
waitFor "the shortcuts bound by the desktop" grep -q "the desktop bound captureToClipboard, captureAndUpload, recordAndUpload, recordToFile" "$work/app.log"
component() { gdbus call --session --dest org.kde.kglobalaccel --object-path /kglobalaccel \
  --method org.kde.KGlobalAccel.allComponents | grep -o "/component/nimbo[0-9a-z_]*" | head -1; }
waitFor "our shortcuts in the desktop's shortcut service" component
gdbus call --session --dest org.kde.kglobalaccel --object-path "$(component)" \
  --method org.kde.kglobalaccel.Component.invokeShortcut captureToClipboard default >/dev/null
waitFor "the shortcut's action" grep -q "Screenshot: CaptureFlow.run(mode: clipboardOnly) invoked" "$work/app.log"
waitFor "the selection overlay" grep -q "overlay-visible" "$work/app.log"
echo "ok: the desktop bound the four shortcuts; pressing captureToClipboard froze the screen for a selection"
stop "$app"
echo "kde tier: all passed"
