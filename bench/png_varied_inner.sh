#!/usr/bin/env bash
# One size of bench/png_varied.sh, run inside scripts/with-desktop.
set -euo pipefail
size=$1 runs=$2 dir=$3
w=${size%x*} h=${size#*x}
repo=$PWD
nimbo=$repo/build/nimbo
mkdir -p "$dir/screens" "$dir/shots" "$dir/home/tmp" "$dir/work"
export HOME=$dir/home XDG_DATA_HOME=$dir/home/data XDG_CONFIG_HOME=$dir/home/config TMPDIR=$dir/home/tmp
# At 3840x2160 programs draw at twice the scale, as on a real 4K monitor.
scale=$((w >= 3000 ? 2 : 1))
export GDK_SCALE=$scale
work=$dir/work
# Carets that do not blink, so that both tools see the same pixels.
mkdir -p "$XDG_CONFIG_HOME/gtk-3.0"
printf '[Settings]\ngtk-cursor-blink=false\n' >"$XDG_CONFIG_HOME/gtk-3.0/settings.ini"

source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"

# Makes the window of a class fill the screen below its title bar.
fill_screen() {  # CLASS
  local wid top
  wid=$(window_of "$1")
  xdotool windowmove "$wid" 0 0
  sleep 0.3
  top=$(xwininfo -id "$wid" | awk '/Absolute upper-left Y/ {print $NF}')
  xdotool windowsize "$wid" "$w" $((h - top))
  xdotool windowmove "$wid" 0 0 windowactivate "$wid" 2>/dev/null || true
  sleep 1.5
}

# Renders a page with headless Chromium at the screen's size and scale,
# scrolled down TOP page pixels.
render_page() {  # URL OUT.png [TOP]
  local top=${3:-0}
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
    --force-device-scale-factor="$scale" --window-size="$((w / scale)),$((h / scale + top))" \
    --screenshot="$work/page.png" "$1" >/dev/null 2>&1
  convert "$work/page.png" -crop "${w}x${h}+0+$((top * scale))" +repage "$2"
}

show_picture() {  # FILE
  feh --fullscreen --zoom fill --hide-pointer "$1" &
  pid=$!
  window_of feh >/dev/null
  sleep 1.5
}

# A spreadsheet: column letters, row numbers, gridlines, a shaded header, text,
# money, percentages and dates, a few highlighted cells.
python3 - "$work/table.html" <<'PY'
import random, sys, datetime
rnd = random.Random(7)
cols = 14
regions = ["North", "South", "East", "West", "Central"]
products = ["Widget", "Gadget", "Sprocket", "Flange", "Gizmo", "Bracket", "Valve", "Gear"]
out = ['<html><head><style>body{margin:0;font:13px "DejaVu Sans",sans-serif;background:#fff}'
       '.bar{background:#f3f3f3;border-bottom:1px solid #c6c6c6;padding:6px 8px;font-size:12px;color:#333}'
       'table{border-collapse:collapse}td,th{border:1px solid #d4d4d4;padding:2px 6px;white-space:nowrap;height:19px}'
       'th{background:#efefef;color:#555;font-weight:normal;min-width:84px}th.r{min-width:34px}'
       'td.n{text-align:right}tr.h td{background:#dbe5f1;font-weight:bold}td.hi{background:#fde9d9}'
       'td.ok{color:#1e7b34}td.bad{color:#c00000}</style></head><body>'
       '<div class="bar">File&nbsp;&nbsp; Edit&nbsp;&nbsp; View&nbsp;&nbsp; Insert&nbsp;&nbsp; Format&nbsp;&nbsp; Data'
       '&nbsp;&nbsp;&nbsp;&nbsp; <b>fx</b>&nbsp; =SUM(F2:F121)*(1+$M$1)</div><table>']
out.append('<tr><th class="r"></th>' + ''.join(f'<th>{chr(65 + c)}</th>' for c in range(cols)) + '</tr>')
head = ["Order", "Date", "Region", "Product", "Units", "Unit price", "Revenue", "Cost", "Margin",
        "Margin %", "Rep", "Status", "Target", "Delta"]
out.append('<tr class="h"><th class="r">1</th>' + ''.join(f'<td>{t}</td>' for t in head) + '</tr>')
day = datetime.date(2024, 1, 2)
for r in range(2, 160):
    units = rnd.randint(1, 900); price = rnd.choice([4.99, 12.5, 19.0, 7.25, 129.0, 64.9])
    rev = units * price; cost = rev * rnd.uniform(0.45, 0.9); m = rev - cost
    target = rev * rnd.uniform(0.8, 1.2)
    cells = [f"SO-{10400 + r}", (day + datetime.timedelta(days=r // 3)).isoformat(), rnd.choice(regions),
             rnd.choice(products), f'{units:,}', f'${price:,.2f}', f'${rev:,.2f}', f'${cost:,.2f}',
             f'${m:,.2f}', f'{100 * m / rev:.1f}%', rnd.choice(["A. Kim", "J. Ortiz", "M. Weber", "S. Rao"]),
             rnd.choice(["Shipped", "Open", "Invoiced", "Paid"]), f'${target:,.0f}', f'{rev - target:+,.0f}']
    tds = []
    for c, v in enumerate(cells):
        cls = 'n' if c in (4, 5, 6, 7, 8, 9, 12, 13) else ''
        if c == 13: cls += ' ok' if rev >= target else ' bad'
        if c == 9 and m / rev < 0.15: cls += ' hi'
        tds.append(f'<td class="{cls}">{v}</td>')
    out.append(f'<tr><th class="r">{r}</th>' + ''.join(tds) + '</tr>')
out.append('</table></body></html>')
open(sys.argv[1], 'w').write('\n'.join(out))
PY

# A dark colour scheme and interface for Geany.
mkdir -p "$work/geany/colorschemes"
cat >"$work/geany/colorschemes/nimbo-dark.conf" <<'CONF'
[theme_info]
name=Bench dark
[named_styles]
default=0xd4d4d4;0x1e1e1e;false;false
error=0xf44747;0x1e1e1e
selection=0xffffff;0x264f78;true;true
current_line=0x000000;0x2a2d2e;true
brace_good=0xffd700;0x1e1e1e;true;false
brace_bad=0xf44747;0x1e1e1e;true;false
margin_line_number=0x858585;0x1e1e1e
margin_folding=0x858585;0x252526
fold_symbol_highlight=0x1e1e1e
indent_guide=0x404040
caret=0xaeafad;0xaeafad;false
white_space=0x404040;0x1e1e1e;true;false
comment=0x6a9955
comment_doc=0x6a9955
comment_line=comment
comment_line_doc=comment_doc
comment_doc_keyword=comment_doc,bold
number=0xb5cea8
type=0x4ec9b0
class=type
function=0xdcdcaa
keyword=0x569cd6;;true
keyword_1=keyword
keyword_2=0xc586c0
string=0xce9178
string_1=string
string_2=string
preprocessor=0xc586c0
operator=0xd4d4d4
identifier=0x9cdcfe
CONF
cat >"$work/geany/geany.conf" <<CONF
[geany]
color_scheme=nimbo-dark.conf
sidebar_visible=true
msgwindow_visible=true
editor_font=DejaVu Sans Mono 10
long_line_type=0
pref_main_load_session=false
[VTE]
load_vte=false
CONF

# A news page: a header, four photographs and text under each.
python3 - "$work/news.html" <<'PY'
import sys
pictures = ["nature/Aqua.jpg", "nature/Dune.jpg", "nature/Storm.jpg", "nature/Wood.jpg"]
text = ("<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut "
        "labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco.</p>") * 3
out = ["<html><body style='margin:0;font:15px \"DejaVu Serif\";background:#fafafa'>"
       "<div style='background:#222;color:#eee;padding:14px 30px;font:bold 22px \"DejaVu Sans\"'>The Daily Bench "
       "&nbsp; <span style='font:14px \"DejaVu Sans\";color:#aaa'>World Tech Science Culture</span></div>"
       "<div style='display:flex;gap:24px;padding:20px 30px'>"]
for i, p in enumerate(pictures):
    out.append(f"<div style='flex:1'><img src='file:///usr/share/backgrounds/mate/{p}' "
               f"style='width:100%;height:260px;object-fit:cover'><h3>Story number {i + 1}</h3>{text}</div>")
out.append("</div></body></html>")
open(sys.argv[1], "w").write("".join(out))
PY

# A file manager's grid of icons with their names.
python3 - "$work/icons.html" <<'PY'
import glob, sys
files = sorted(glob.glob("/usr/share/icons/Adwaita/48x48/*/*.png"))[:400]
out = ["<html><body style='margin:0;font:12px \"DejaVu Sans\";background:#fff'><div style='background:#ebebeb;"
       "padding:8px;border-bottom:1px solid #ccc'>Home / Pictures / Icons</div><div style='display:flex;flex-wrap:wrap'>"]
for f in files:
    name = f.split("/")[-1][:-4][:14]
    out.append(f"<div style='width:96px;height:92px;text-align:center;overflow:hidden'>"
               f"<img src='file://{f}' width=48 height=48><br>{name}</div>")
out.append("</div></body></html>")
open(sys.argv[1], "w").write("".join(out))
PY

screens=(terminal code document photo dark table desktop wallpaper news icons abstract)
setup() {  # SCREEN
  case $1 in
    terminal)
      # A man page in xterm, as a user reads one.
      xterm -fa 'DejaVu Sans Mono' -fs $((11 * scale)) -bg '#ffffff' -fg '#1c1c1c' \
        -e man bash &
      pid=$!
      fill_screen XTerm ;;
    code)
      gvim -f -u NONE -U NONE -N --cmd 'syntax on' --cmd 'set number cursorline laststatus=2 ruler guicursor+=a:blinkon0' \
        --cmd "set guifont=DejaVu\\ Sans\\ Mono\\ 11" --cmd 'colorscheme default' \
        "$repo/src/capture/png_writer.cpp" &
      pid=$!
      fill_screen Gvim
      xdotool key --clearmodifiers 4 0 G ;;
    document)
      render_page "file:///usr/share/doc/geany/html/index.html" "$work/document.png" 4300
      show_picture "$work/document.png" ;;
    photo)
      show_picture /usr/share/backgrounds/mate/nature/LadyBird.jpg ;;
    dark)
      GTK_THEME=Adwaita:dark geany -c "$work/geany" -i "$repo/app/one_shot.cpp" "$repo/bench/png_tune.cpp" \
        >/dev/null 2>&1 &
      pid=$!
      fill_screen Geany ;;
    table)
      render_page "file://$work/table.html" "$work/table.png"
      show_picture "$work/table.png" ;;
    desktop)
      # Two windows over a photograph as wallpaper.
      feh --bg-fill /usr/share/backgrounds/mate/nature/Garden.jpg
      xterm -fa 'DejaVu Sans Mono' -fs $((10 * scale)) -geometry 90x30+$((80 * scale))+$((60 * scale)) \
        -e 'ls -la /usr/bin | less' &
      pid=$!
      gvim -f -u NONE -U NONE -N --cmd 'syntax on' --cmd 'set number guicursor+=a:blinkon0' \
        --cmd 'set lines=40 columns=100' "$repo/app/launcher.cpp" &
      other=$!
      xdotool windowmove "$(window_of Gvim)" $((w / 2)) $((h / 4))
      sleep 1.5 ;;
    wallpaper)
      # A terminal over an abstract wallpaper of smooth gradients.
      feh --bg-fill /usr/share/backgrounds/mate/abstract/Silk.png
      xterm -fa 'DejaVu Sans Mono' -fs $((10 * scale)) -geometry 80x24+$((w / 3))+$((h / 3)) -e top &
      pid=$!
      window_of XTerm >/dev/null
      sleep 1.5 ;;
    news)
      render_page "file://$work/news.html" "$work/news.png"
      show_picture "$work/news.png" ;;
    icons)
      render_page "file://$work/icons.html" "$work/icons.png"
      show_picture "$work/icons.png" ;;
    abstract)
      # A nearly bare desktop: a wallpaper of soft, blurred shapes and one
      # small terminal.
      feh --bg-fill /usr/share/backgrounds/mate/abstract/Gulp.png
      xterm -fa 'DejaVu Sans Mono' -fs $((10 * scale)) -geometry 64x14+$((w / 2))+$((40 * scale)) \
        -e 'df -h; sleep 600' &
      pid=$!
      window_of XTerm >/dev/null
      sleep 1.5 ;;
  esac
}

declare -A secs bytes
for s in "${screens[@]}"; do
  pid="" other=""
  setup "$s"
  # The screen as displayed, kept as the encoder's tuning input.
  scrot -o "$dir/screens/$size-$s.png"
  ((runs > 0)) || { [[ -n $pid ]] && kill "$pid" 2>/dev/null; continue; }
  for t in scrot nimbo; do
    if [[ $t == scrot ]]; then c="scrot -o $dir/shots/$s-scrot.png"; else c="$nimbo screenshot -o $dir/shots/$s-nimbo.png"; fi
    hyperfine -N --style none --warmup 2 --runs "$runs" --export-json "$dir/$s-$t.json" "$c" >/dev/null 2>&1
    secs[$s-$t]=$(python3 -c "import json;print(json.load(open('$dir/$s-$t.json'))['results'][0]['mean'])")
    bytes[$s-$t]=$(stat -c %s "$dir/shots/$s-$t.png")
  done
  # Both files hold the same pixels.
  if ! cmp -s <(convert "$dir/shots/$s-scrot.png" rgb:-) <(convert "$dir/shots/$s-nimbo.png" rgb:-); then
    echo "png_varied: $s: nimbo's capture differs from scrot's" >&2
  fi
  [[ -n $pid ]] && { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  [[ -n $other ]] && { kill "$other" 2>/dev/null || true; wait "$other" 2>/dev/null || true; }
  [[ $s == desktop || $s == wallpaper || $s == abstract ]] && xsetroot -solid black
  sleep 0.5
done

((runs > 0)) || exit 0
{
  echo "== $size: full-screen capture as a whole process (mean of $runs runs) =="
  printf '%-9s %12s %12s %10s %10s %8s %8s  %s\n' screen "scrot bytes" "nimbo bytes" "scrot ms" "nimbo ms" size× speed× goals
  for s in "${screens[@]}"; do
    python3 - "$s" "${bytes[$s-scrot]}" "${bytes[$s-nimbo]}" "${secs[$s-scrot]}" "${secs[$s-nimbo]}" <<'PY'
import sys
s, sb, nb, st, nt = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
size, speed = nb / sb, st / nt
ok = ("size ok" if size <= 1.25 else "SIZE OVER") + ", " + ("speed ok" if speed >= 3 else "SPEED UNDER")
print(f"{s:<9} {sb:12d} {nb:12d} {st * 1000:10.1f} {nt * 1000:10.1f} {size:8.2f} {speed:8.2f}  {ok}")
PY
  done
  echo "(size× = nimbo bytes / scrot bytes, goal <= 1.25; speed× = scrot time / nimbo time, goal >= 3)"
} >"$dir/report.txt"
cat "$dir/report.txt"
