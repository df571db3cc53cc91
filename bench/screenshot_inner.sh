#!/usr/bin/env bash
# One size of bench/screenshot_bench.sh, run inside scripts/with-desktop.
set -euo pipefail
size=$1 runs=$2 dir=$3
w=${size%x*} h=${size#*x}
nimbo=$PWD/build/nimbo
mkdir -p "$dir/shots" "$dir/home/tmp"
export XDG_DATA_HOME=$dir/home/data XDG_CONFIG_HOME=$dir/home/config TMPDIR=$dir/home/tmp

# Desktop-like content: a dark sidebar and toolbar, a page of text, a
# "photograph" (seeded plasma with grain) and flat coloured controls.
convert -size "${w}x${h}" xc:'#2b2d31' \
  -fill '#1e1f22' -draw "rectangle 0,0 $((w / 6)),$h" \
  -fill '#f2f3f5' -draw "rectangle $((w / 6)),0 $w,$((h / 18))" \
  -fill '#5865f2' -draw "roundrectangle $((w / 5)),$((h / 60)) $((w / 5 + w / 12)),$((h / 24)) 6,6" \
  -fill '#3ba55c' -draw "roundrectangle $((w / 5 + w / 10)),$((h / 60)) $((w / 5 + w / 10 + w / 12)),$((h / 24)) 6,6" \
  "$dir/base.png"
# A page of text, one line every 1.6 em.
pt=$((h / 70))
lines=()
for i in $(seq $((h * 3 / 4 / (pt * 8 / 5)))); do
  lines+=(-annotate "+10+$((i * pt * 8 / 5))" "Line $i: The quick brown fox jumps over the lazy dog; pack my box with five dozen jugs. 0123456789")
done
convert -size "$((w * 2 / 5))x$((h * 3 / 4))" xc:'#313338' -font DejaVu-Sans -pointsize "$pt" \
  -fill '#dbdee1' "${lines[@]}" "$dir/text.png"
convert -seed 42 -size "$((w * 2 / 5))x$((h * 3 / 5))" plasma:fractal -blur 0x3 \
  -attenuate 0.4 +noise Gaussian "$dir/photo.png"
convert "$dir/base.png" "$dir/text.png" -geometry "+$((w / 5))+$((h / 10))" -composite \
  "$dir/photo.png" -geometry "+$((w * 3 / 5 + w / 40))+$((h / 10))" -composite "$dir/content.png"
feh --no-fehbg --bg-center "$dir/content.png"
sleep 0.5

# (a) Request to overlay visible with every display frozen, measured inside the
# app (socket command received → last overlay painted) and from outside
# (command launched → overlay mapped, polled).
NIMBO_TRACE_TIMING=1 "$nimbo" >"$dir/app.log" 2>&1 &
app=$!
for _ in $(seq 100); do grep -q 'Nimbo: Hotkeys registered' "$dir/app.log" && break; sleep 0.05; done
internal=() external=()
for i in $(seq "$runs"); do
  before=$(grep -c 'timing overlay-visible' "$dir/app.log" || true)
  t0=$(date +%s%N)
  "$nimbo" capture-to-clipboard
  until xdotool search --onlyvisible --name 'Nimbo selection' >/dev/null 2>&1; do :; done
  t1=$(date +%s%N)
  for _ in $(seq 200); do
    (($(grep -c 'timing overlay-visible' "$dir/app.log" || true) > before)) && break
    sleep 0.01
  done
  internal+=("$(grep 'timing overlay-visible' "$dir/app.log" | tail -1 | awk '{print $NF}')")
  external+=("$(((t1 - t0) / 1000000))")
  xdotool key Escape
  for _ in $(seq 200); do (($(grep -c 'selection cancelled' "$dir/app.log" || true) >= i)) && break; sleep 0.01; done
done
kill "$app"; wait "$app" 2>/dev/null || true
mean() { printf '%s\n' "$@" | awk '{s+=$1} END {printf "%.1f", s/NR}'; }
maxof() { printf '%s\n' "$@" | sort -g | tail -1; }

# (b) Whole-process captures of the full screen.
declare -A cmd=(
  [nimbo]="$nimbo screenshot -o $dir/shots/nimbo.png"
  [scrot]="scrot -o $dir/shots/scrot.png"
  [maim]="maim $dir/shots/maim.png"
  [import]="import -window root $dir/shots/import.png"
  [flameshot]="flameshot full -p $dir/shots/flameshot.png"
)
order=(nimbo scrot maim import flameshot)
declare -A secs bytes
for t in "${order[@]}"; do
  if ! timeout 30 bash -c "${cmd[$t]}" >/dev/null 2>&1; then secs[$t]=failed; continue; fi
  hyperfine -N --style none --warmup 2 --runs "$runs" --export-json "$dir/$t.json" "${cmd[$t]}" >/dev/null 2>&1 ||
    { secs[$t]=failed; continue; }
  secs[$t]=$(python3 -c "import json;print(json.load(open('$dir/$t.json'))['results'][0]['mean'])")
  f=$(ls -t "$dir"/shots/"$t"*.png | head -1)
  bytes[$t]=$(stat -c %s "$f")
done

{
  echo "== $size =="
  printf '(a) request -> overlay visible, all displays frozen (%s runs)\n' "$runs"
  printf '    inside the app: mean %s ms, worst %s ms (goal: 100 ms at 3840x2160)\n' \
    "$(mean "${internal[@]}")" "$(maxof "${internal[@]}")"
  printf '    from launching `nimbo capture-to-clipboard`: mean %s ms, worst %s ms\n' \
    "$(mean "${external[@]}")" "$(maxof "${external[@]}")"
  echo "(b) full-screen capture as a whole process (mean of $runs runs)"
  fastest=""
  for t in scrot maim import flameshot; do
    [[ ${secs[$t]} == failed ]] && continue
    if [[ -z $fastest ]] || python3 -c "import sys;sys.exit(0 if ${secs[$t]} < ${secs[$fastest]} else 1)"; then fastest=$t; fi
  done
  printf '    %-10s %10s %12s %14s %14s\n' tool seconds bytes "speed vs it" "size vs scrot"
  for t in "${order[@]}"; do
    if [[ ${secs[$t]} == failed ]]; then printf '    %-10s %10s\n' "$t" failed; continue; fi
    python3 - "$t" "${secs[$t]}" "${bytes[$t]}" "${secs[nimbo]}" "${bytes[scrot]:-0}" <<'PY'
import sys
t, s, b, ns, sb = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
speed = f"{s / ns:.2f}x" if t != "nimbo" else "1.00x"
size = f"{b / sb:.2f}x" if sb else "-"
print(f"    {t:<10} {s:10.3f} {b:12d} {speed:>14} {size:>14}")
PY
  done
  if [[ -n $fastest ]]; then
    python3 -c "print(f'    nimbo is {${secs[$fastest]}/${secs[nimbo]}:.2f}x faster than the fastest other tool ($fastest); goal 3x')"
    [[ -n ${bytes[scrot]:-} ]] && python3 -c "print(f'    nimbo file is {${bytes[nimbo]}/${bytes[scrot]}:.2f}x the size of scrot\'s; goal at most 1.25x')"
  fi
} >"$dir/report.txt"
cat "$dir/report.txt"
