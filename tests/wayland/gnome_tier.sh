#!/usr/bin/env bash
# Nimbo on GNOME's Wayland session and portal backend, inside scripts/with-desktop --gnome
# (one 1920x1080 virtual monitor, Meta-0, its screen cast allowed under $NIMBO_SCREENCAST_TOKEN):
# a known picture screenshot pixel for pixel; the recording self-test through the ScreenCast
# portal and PipeWire, with sound, without asking (the restore token), readied during the countdown.   gnome_tier.sh NIMBO TEST_PICTURE
nimbo=$1 picture=$2
source "$(dirname "$0")/tier_lib.sh"

showPicture "$work/expected"
[[ -f $work/expected/Meta-0.png ]] || fail "no output named Meta-0: $(ls "$work/expected")"
# GNOME opens its overview once the session has started, which on a loaded
# machine can come after the desktop script closed it: closed again each time.
exact() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Set org.gnome.Shell OverviewActive "<false>" >/dev/null 2>&1 || true
  "$nimbo" screenshot --screen Meta-0 -o "$work/shot.png" &&
    [[ $(differ "$work/shot.png" "$work/expected/Meta-0.png") == 0 ]]
}
waitFor "nimbo screenshot to show the known picture exactly" exact
echo "ok: screenshot --screen Meta-0 through GNOME's Screenshot portal (1920x1080, exact)"
stop "$pic"

# GNOME sends screen cast frames only when something changes.
mkdir -p "$work/moving" "$HOME/.config/com.vantori.screenshot"
showPicture "$work/moving" --animate
printf '[screenCast]\nrestoreToken\\Meta-0=%s\n' "$NIMBO_SCREENCAST_TOKEN" >"$HOME/.config/com.vantori.screenshot/settings.ini"
smoke "recording on GNOME" "$nimbo"
grep -q "recording Meta-0 through the screen cast portal" "$work/smoke.txt" || fail "the recording did not go through the portal"
# Shared before (the token): shared again before the countdown, and connected while it ran.
grep -q "connected during the countdown" "$work/smoke.txt" || fail "the screen cast was not readied during the countdown"
written=$(sed -n 's/.*frames written \([0-9]*\).*/\1/p' "$work/smoke.txt")
((written >= 20)) || fail "only $written frames recorded in 3 seconds"
grep -q '^restoreToken\\Meta-0=.' "$HOME/.config/com.vantori.screenshot/settings.ini" || fail "no restore token kept"
ahead=$(sed -n 's/.*ready for the countdown in \([0-9]*\) ms.*/\1/p' "$work/smoke.txt")
echo "ok: nimbo --smoke records Meta-0 through GNOME's ScreenCast portal and PipeWire, with sound, without asking (restored in ${ahead:-?} ms, before the countdown)"
stop "$pic"

# The countdown as the app shows it, over the known picture standing still: GNOME puts our
# windows in the cast, and the stream connected during the countdown has a picture at once,
# which must be the screen without the countdown. Averaged over blocks of 64 pixels the
# first picture is the known one, within what the encoder changes; the countdown's dark
# disc, 220 pixels across, would darken whole blocks.
mkdir -p "$work/still"
showPicture "$work/still"
"$nimbo" --smoke --smoke-target=screen --smoke-audio=none --smoke-seconds=2 --smoke-countdown=1 \
  --smoke-log="$work/countdown.txt" >"$work/countdown.out" 2>&1 &
smoking=$!
# GNOME would put a new window at the top-left: the disc is in the middle of the screen.
waitFor "the countdown" grep -q "ready for the countdown" "$work/countdown.txt"
sleep 1
"$nimbo" screenshot --screen Meta-0 -o "$work/counting.png" || fail "no screenshot during the countdown"
wait $smoking || true
mean() { convert "$1" -crop "$2" -colorspace gray -format "%[fx:mean]" info:; }
middle=150x150+885+465 corner=150x150+35+60
awk -v a="$(mean "$work/counting.png" $middle)" -v b="$(mean "$work/still/Meta-0.png" $middle)" \
  -v c="$(mean "$work/counting.png" $corner)" -v d="$(mean "$work/still/Meta-0.png" $corner)" \
  'BEGIN { exit !(a < 0.7 * b && c > 0.95 * d && c < 1.05 * d) }' ||
  fail "the countdown is not in the middle of the screen (see counting.png)"
echo "ok: the countdown's disc is in the middle of the screen"
grep -q "SMOKE RESULT: ALL PASS" "$work/countdown.txt" || fail "recording after the countdown: $(tail -20 "$work/countdown.out")"
grep -q "connected during the countdown" "$work/countdown.txt" || fail "the screen cast was not readied during the countdown"
video=$(sed -n 's/^SMOKE PASS file saved: //p' "$work/countdown.txt")
ffmpeg -y -loglevel error -i "$video" -frames:v 1 "$work/first.png" || fail "no first picture in $video"
blocks() { convert "$1" -scale '30x17!' "$2"; }
blocks "$work/first.png" "$work/first-blocks.png"
blocks "$work/still/Meta-0.png" "$work/still-blocks.png"
worst=$( (compare -metric PAE "$work/first-blocks.png" "$work/still-blocks.png" null: 2>&1 || true) | sed -n 's/.*(\(.*\)).*/\1/p')
awk -v w="${worst:-1}" 'BEGIN { exit !(w < 0.12) }' || fail "the recording's first picture is not the screen under the countdown (worst block off by $worst)"
after=$(sed -n 's/.*first picture \([0-9]*\) ms after the start.*/\1/p' "$work/countdown.txt")
echo "ok: the first picture, ${after:-?} ms after the countdown, is the screen without it (worst block off by $worst)"
stop "$pic"
echo "gnome tier: all passed"
