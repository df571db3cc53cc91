#!/usr/bin/env bash
# Nimbo on GNOME's Wayland session, through its own portal backend: run
# inside scripts/with-desktop --gnome (one 1920x1080 virtual monitor, Meta-0,
# its screen cast allowed under $NIMBO_SCREENCAST_TOKEN).
#   gnome_tier.sh NIMBO TEST_PICTURE
# The one-shot screenshot must show a known picture pixel for pixel, and the
# recording self-test must record the monitor through the ScreenCast portal
# and PipeWire, with sound, without asking (the restore token).
set -euo pipefail
nimbo=$1 picture=$2
work=$NIMBO_DESKTOP_DIR/tier
mkdir -p "$work/expected"
source "$(dirname "$0")/tier_lib.sh"
export QT_QPA_PLATFORM=wayland


"$picture" "$work/expected" >"$work/picture.out" 2>&1 &
pic=$!
waitFor "the known picture's window" grep -q ready "$work/picture.out"
[[ -f $work/expected/Meta-0.png ]] || fail "no output named Meta-0: $(ls "$work/expected")"
# Once GNOME shows the window, the screenshot is exact. GNOME opens its
# overview when the session has finished starting, which on a loaded machine
# can come after the desktop script closed it: close it again each time.
exact() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Set org.gnome.Shell OverviewActive "<false>" >/dev/null 2>&1 || true
  "$nimbo" screenshot --screen Meta-0 -o "$work/shot.png" &&
    [[ $(compare -metric AE "$work/shot.png" "$work/expected/Meta-0.png" null: 2>&1) == 0 ]]
}
waitFor "nimbo screenshot to show the known picture exactly" exact
echo "ok: screenshot --screen Meta-0 through GNOME's Screenshot portal (1920x1080, exact)"
kill "$pic"
wait "$pic" 2>/dev/null || true

# GNOME sends screen cast frames only when something changes.
"$picture" "$work/moving" --animate >"$work/moving.out" 2>&1 &
pic=$!
mkdir -p "$HOME/.config/com.vantori.screenshot"
printf '[screenCast]\nrestoreToken\\Meta-0=%s\n' "$NIMBO_SCREENCAST_TOKEN" >"$HOME/.config/com.vantori.screenshot/settings.ini"
waitFor "the moving picture" grep -q ready "$work/moving.out"
"$nimbo" --smoke --smoke-target=screen --smoke-audio=both --smoke-seconds=3 --smoke-self-noise=1 \
  --smoke-expect-signal=1 --smoke-log="$work/smoke.txt" >"$work/smoke.out" 2>&1 || true
cat "$work/smoke.txt" 2>/dev/null
grep -q "SMOKE RESULT: ALL PASS" "$work/smoke.txt" || fail "recording on GNOME: $(tail -20 "$work/smoke.out")"
grep -q "recording Meta-0 through the screen cast portal" "$work/smoke.txt" || fail "the recording did not go through the portal"
written=$(sed -n 's/.*frames written \([0-9]*\).*/\1/p' "$work/smoke.txt")
((written >= 20)) || fail "only $written frames recorded in 3 seconds"
token=$(sed -n 's/^restoreToken\\Meta-0=//p' "$HOME/.config/com.vantori.screenshot/settings.ini")
[[ -n $token ]] || fail "no restore token kept for the next recording"
echo "ok: nimbo --smoke records Meta-0 through GNOME's ScreenCast portal and PipeWire, with sound, without asking"
kill "$pic" 2>/dev/null || true
echo "gnome tier: all passed"
