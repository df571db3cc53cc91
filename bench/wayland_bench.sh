#!/usr/bin/env bash
# Recording on GNOME's Wayland session: a minute of ordinary use at 1920x1080
# (typing in Geany, scrolling a manual in Chromium, Geany dragged across the
# screen and back, a video playing, all
# Wayland clients, driven through mutter's remote desktop interface) recorded
# by Nimbo (its self-test, no audio, through the ScreenCast portal) and by
# GNOME's own screen recorder (Ctrl+Shift+Alt+R: VP8 in WebM), each on fresh
# applications. Prints for each: the recorder's CPU seconds per recorded
# second (its whole process), gnome-shell's per second of the activity
# (composing the screen and the cast), MiB per minute and pictures written,
# with Nimbo's ratios. The two use different codecs; the quality figure is what a viewer
# sees of the still part of the screen at the end: the recording's last
# picture against an exact screenshot taken after it (SSIM in dB), leaving
# out the top bar, the pointer and whatever changed between three
# screenshots (the video, the editor's caret).
#   bench/wayland_bench.sh [SECONDS] [nimbo|gnome…]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
recorders=("$@")
((${#recorders[@]})) || recorders=(nimbo gnome)
scripts/install-deps --bench >/dev/null
[[ -f build/build.ninja ]] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target nimbo >/dev/null
out=$(mktemp -d /tmp/nimbo-wayland-bench.XXXXXX)
chmod 777 "$out"  # the session runs as a user of its own
[[ ${NIMBO_BENCH_KEEP:-} == 1 ]] || trap 'rm -rf "$out"' EXIT
scripts/with-desktop --gnome -- bench/wayland_inner.sh "$seconds" "$out" "${recorders[@]}" \
  2> >(grep -E -v 'dbus-daemon|WARNING|^$|Gdk-Message|Wayland connection broke|discover_other_daemon|^\*\* Message' >&2)

python3 - "$out" "$seconds" "${recorders[@]}" <<'PY'
import math, os, re, subprocess, sys
out, seconds, recs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
files = {"nimbo": "nimbo.mp4", "gnome": "gnome.webm"}

def probe(f, entries, stream=True):
    args = ["ffprobe", "-v", "error"] + (["-select_streams", "v:0", "-count_packets"] if stream else [])
    return subprocess.run(args + ["-show_entries", entries, "-of", "csv=p=0", f],
                          capture_output=True, text=True, check=True).stdout.strip()

def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True)

def still_db(r, f):
    # What moved between the screenshots, widened, with the top bar and the
    # pointer (screenshots leave it out), is blacked out in both pictures.
    a, b, c = (f"{out}/{r}-{x}.png" for x in "abc")
    mask, last = f"{out}/{r}-mask.png", f"{out}/{r}-last.png"
    run("convert", "(", a, b, "-compose", "difference", "-composite", ")", "(", b, c, "-compose", "difference",
        "-composite", ")", "-compose", "lighten", "-composite", "-colorspace", "gray", "-threshold", "0",
        "-morphology", "Dilate", "Square:8", "-fill", "white", "-draw", "rectangle 0,0 1919,40",
        "-draw", "rectangle 1690,790 1760,860", mask)
    run("ffmpeg", "-v", "error", "-y", "-sseof", "-0.5", "-i", f, "-update", "1", last)
    masked = []
    for x in (a, last):
        m = x.replace(".png", "-masked.png")
        run("convert", x, "(", mask, "-negate", ")", "-alpha", "off", "-compose", "multiply", "-composite", m)
        masked.append(m)
    kept = 1 - float(run("convert", mask, "-format", "%[fx:mean]", "info:").stdout)
    text = run("ffmpeg", "-v", "info", "-i", masked[0], "-i", masked[1], "-lavfi",
               "[0]format=yuv444p[a];[1]format=yuv444p[b];[a][b]ssim", "-f", "null", "-").stderr
    y = float(re.search(r"SSIM Y:([0-9.]+)", text)[1])
    # Blacked out is equal in both: the SSIM of the rest alone.
    y = 1 - (1 - y) / max(kept, 1e-6)
    return -10 * math.log10(max(1 - y, 1e-10))

rows = {}
for r in recs:
    f = f"{out}/{files[r]}"
    if not os.path.exists(f):
        sys.exit(f"wayland: {r} left no recording ({open(f'{out}/{r}.out').read()[-500:]})")
    m = re.search(r"recorder cpu ([0-9.]+)(?: ([0-9.]+))?", open(f"{out}/{r}.out").read())
    if not m:
        sys.exit(f"wayland: no CPU figure for {r}")
    cpu = float(m[1]) + float(m[2] or 0)
    d = float(probe(f, "format=duration", stream=False))
    ticks, during = open(f"{out}/{r}.shell").read().split()
    rows[r] = dict(cpu=cpu / d, shell=int(ticks) / os.sysconf("SC_CLK_TCK") / float(during),
                   mib=os.path.getsize(f) / d * 60 / 2**20,
                   frames=int(probe(f, "stream=nb_read_packets")), d=d, db=still_db(r, f))

print(f"\nWayland minute on GNOME ({seconds} s at 1920x1080, Wayland clients, through the portal's screen cast)")
print(f"{'recorder':<32}{'CPU s/s':>9}{'gnome-shell s/s':>17}{'MiB/min':>9}{'still dB':>10}{'pictures':>10}"
      f"{'seconds':>9}")
names = {"nimbo": "Nimbo (H.264)", "gnome": "GNOME's recorder (VP8)"}
for r, v in rows.items():
    print(f"{names[r]:<32}{v['cpu']:>9.3f}{v['shell']:>17.3f}{v['mib']:>9.2f}{v['db']:>10.2f}{v['frames']:>10}"
          f"{v['d']:>9.1f}")
if "nimbo" in rows and "gnome" in rows:
    n, g = rows["nimbo"], rows["gnome"]
    print(f"Nimbo / GNOME: CPU {n['cpu'] / g['cpu']:.2f}x, gnome-shell {n['shell'] / g['shell']:.2f}x, "
          f"size {n['mib'] / g['mib']:.2f}x, still {n['db'] - g['db']:+.2f} dB, "
          f"CPU of both together {(n['cpu'] + n['shell']) / (g['cpu'] + g['shell']):.2f}x")
PY
