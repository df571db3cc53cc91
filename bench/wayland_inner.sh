#!/usr/bin/env bash
# Inside scripts/with-desktop --gnome (GNOME's Wayland session, one 1920x1080
# monitor, Meta-0, whose screen cast is allowed under $NIMBO_SCREENCAST_TOKEN):
# see wayland_bench.sh.   wayland_inner.sh SECONDS DIR RECORDER…
set -euo pipefail
seconds=$1 dir=$2
shift 2
cd "$(dirname "$0")/.."
source bench/window_lib.sh
work=$dir/work
mkdir -p "$work"
clip=$work/clip.mp4
make_clip "$clip" "$seconds"
text=$work/typing.txt
make_typing "$text"
shell=$(pgrep -u "$(id -u)" -f "gnome-shell --headless" | head -1)
ticks() { awk '{ split($0, a, ") "); split(a[2], f, " "); print f[12] + f[13] }' "/proc/$1/stat"; }

overview_closed() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Set org.gnome.Shell OverviewActive "<false>" >/dev/null 2>&1
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Get org.gnome.Shell OverviewActive 2>/dev/null | grep -q false
}

apps=()
start_desktop() {
  # A browser filling the screen with a long document, a video playing in
  # it top left, and an editor on a new file in front, focused. GNOME
  # places the windows; the pointer rests on the document, bottom right.
  rm -rf "$work/chromium" "$work/geany" "$work/notes.cpp"
  mkdir -p "$work/geany"
  printf '%s\n' '[geany]' pref_main_save_wingeom=true 'geometry=0;0;1180;660;0;' msgwindow_visible=false \
    sidebar_visible=false >"$work/geany/geany.conf"
  : >"$work/notes.cpp"
  chromium --ozone-platform=wayland --no-sandbox --disable-gpu --no-first-run --no-default-browser-check \
    --disable-sync --password-store=basic --user-data-dir="$work/chromium" --start-maximized \
    --app="file:///usr/share/doc/geany/html/index.html" >/dev/null 2>&1 &
  apps+=($!)
  sleep 4
  SDL_VIDEODRIVER=wayland ffplay -v error -an -loop 0 -x 640 -y 360 -window_title clip "$clip" \
    </dev/null >/dev/null 2>&1 &
  apps+=($!)
  sleep 2
  GDK_BACKEND=wayland geany -i -m -n -c "$work/geany" "$work/notes.cpp" >/dev/null 2>&1 &
  apps+=($!)
  sleep 3
  for _ in $(seq 30); do overview_closed && break; sleep 0.3; done
  sleep 1
}

stop_desktop() {
  for p in "${apps[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 1
  for p in "${apps[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  for p in "${apps[@]}"; do wait "$p" 2>/dev/null || true; done
  apps=()
  sleep 1
}

mkdir -p "$HOME/.config/com.vantori.screenshot"
printf '[screenCast]\nrestoreToken\\Meta-0=%s\n' "$NIMBO_SCREENCAST_TOKEN" \
  >"$HOME/.config/com.vantori.screenshot/settings.ini"
# GNOME's recorder is started by the session bus, which must know the display.
dbus-update-activation-environment WAYLAND_DISPLAY
export QT_QPA_PLATFORM=wayland
for rec in "$@"; do
  start_desktop
  case $rec in
    nimbo)
      cmd=(/usr/bin/time -f "recorder cpu %U %S" build/nimbo --smoke --smoke-target=screen --smoke-audio=none
           --smoke-seconds="$seconds" --smoke-log="$dir/nimbo.log") ;;
    gnome)
      cmd=(python3 bench/gnome_recorder.py "$dir/gnome.webm" "$seconds") ;;
  esac
  "${cmd[@]}" >"$dir/$rec.out" 2>&1 &
  recorder=$!
  # The activity begins once the recording has (Nimbo's self-test waits three
  # seconds first); gnome-shell's CPU is taken over the activity alone.
  if [[ $rec == nimbo ]]; then wait_recording "$recorder" "$dir/nimbo.log" "recorder started"
  else wait_recording "$recorder" "$dir/gnome.out" "^recording"; fi
  before=$(ticks "$shell") began=$(date +%s.%N)
  python3 bench/wayland_activity.py "$seconds" "$text" 1700,800
  echo "$(($(ticks "$shell") - before)) $(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')" \
    >"$dir/$rec.shell"
  wait "$recorder" || echo "wayland: $rec exited with an error" >&2
  # The screen as it stands, exactly, three times: what the recording's last
  # picture is compared with, where nothing moves (see wayland_bench.sh).
  for shot in a b c; do build/nimbo screenshot --screen Meta-0 -o "$dir/$rec-$shot.png"; done
  if [[ $rec == nimbo ]]; then
    file=$(sed -n 's/^SMOKE PASS file saved: //p' "$dir/nimbo.log" | head -1)
    [[ -n $file ]] && mv "$file" "$dir/nimbo.mp4"
  fi
  stop_desktop
done
