#!/usr/bin/env bash
# Everyday recording benchmark: one minute of ordinary desktop use at
# 1920x1080 (typing in gvim, scrolling a manual in Chromium, dragging a
# terminal, a video playing in a corner), scripted with xdotool, recorded by
# Nimbo (its self-test, no audio) and by `ffmpeg -f x11grab` at 30 fps with
# libx264 crf 23, presets ultrafast and veryfast. Prints, for each: CPU
# seconds per recorded second, MiB per minute of recording and the SSIM x264
# measures against the pictures it was given, per picture and over time
# (Nimbo writes only pictures that changed), with Nimbo's ratios.
#   bench/everyday_bench.sh [SECONDS] [RECORDER…]
# RECORDER: nimbo, ultrafast, veryfast (default all three). Nimbo's encoder
# follows NIMBO_X264_PRESET and NIMBO_X264_PARAMS when they are set.
# NIMBO_BENCH_HICCUPS="8 20 44" has three other processes take both cores
# for a second at each of those seconds. NIMBO_BENCH_CLIP_FPS sets the
# rate of the video in the corner (25 unless told), NIMBO_BENCH_CLIP_SIZE
# its size (640x360 unless told; "none": no video), and NIMBO_BENCH_DARK=1
# shows the minute in dark colours.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
recorders=("$@")
((${#recorders[@]})) || recorders=(nimbo ultrafast veryfast)
scripts/install-deps --bench >/dev/null
[[ -f build/build.ninja ]] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target nimbo >/dev/null
out=$(mktemp -d /tmp/nimbo-everyday-bench.XXXXXX)
[[ ${NIMBO_BENCH_KEEP:-} == 1 ]] || trap 'rm -rf "$out"' EXIT
scripts/with-desktop --no-tray --size 1920x1080 -- bench/everyday_inner.sh "$seconds" "$out" "${recorders[@]}" \
  2> >(grep -v 'dbus-daemon' >&2)

python3 - "$out" "$seconds" "${recorders[@]}" <<'PY'
import math, os, re, subprocess, sys
out, seconds, recs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]

def duration(f):
    return float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", f],
                                capture_output=True, text=True, check=True).stdout)

def packets(f):
    return int(subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                               "stream=nb_read_packets", "-of", "csv=p=0", f],
                              capture_output=True, text=True, check=True).stdout)

rows = {}
for r in recs:
    f = f"{out}/{r}-cpu.mp4"
    user, sys_ = map(float, open(f"{out}/{r}-cpu.time").read().split()[-2:])
    d = duration(f)
    # Nimbo's stderr goes to its log.
    text = "".join(open(f, errors="replace").read() for f in (f"{out}/{r}-ssim.out", f"{out}/{r}-ssim.log")
                   if os.path.exists(f))
    m = re.search(r"SSIM Mean Y:([0-9.]+) \(\s*([0-9.]+)db\)", text)
    if not m:
        sys.exit(f"everyday: no SSIM figure from x264 in {r}'s run")
    rows[r] = dict(cpu=(user + sys_) / d, mib=os.path.getsize(f) / d * 60 / 2**20, ssim=float(m[1]), db=float(m[2]),
                   frames=packets(f), d=d)
    # Over time, as a viewer sees it. ffmpeg's pictures each last 1/30 s, so
    # its mean is that already. Nimbo writes a picture only when the screen
    # changed, and each stays up until the next: its pictures are weighted
    # by how long they are shown (x264's line for each one, in the order
    # written, against the packet times of the same run's file).
    rows[r]["tssim"] = rows[r]["ssim"]
    if r == "nimbo":
        per = [float(x) for x in re.findall(r"frame=\s*\d+ .*? SSIM Y:([0-9.]+)", text)]
        g = f"{out}/{r}-ssim.mp4"
        pts = [float(x) for x in subprocess.run(
            ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time", "-of", "csv=p=0", g],
            capture_output=True, text=True, check=True).stdout.split()]
        if len(per) < len(pts) or not pts:
            sys.exit(f"everyday: {len(per)} x264 picture lines for {len(pts)} pictures in Nimbo's file")
        per = per[len(per) - len(pts):]  # the first few are the encoder's warm-up
        ends = pts[1:] + [duration(g)]
        shown = [max(0.0, b - a) for a, b in zip(pts, ends)]
        rows[r]["tssim"] = sum(s * t for s, t in zip(per, shown)) / sum(shown)
        # Nimbo's two encoders each print a summary of their own pictures;
        # the mean over all of them is taken from the lines.
        rows[r]["ssim"] = sum(per) / len(per)
        rows[r]["db"] = -10 * math.log10(1 - rows[r]["ssim"])
    rows[r]["tdb"] = -10 * math.log10(1 - rows[r]["tssim"])

names = {"nimbo": "Nimbo", "ultrafast": "ffmpeg ultrafast", "veryfast": "ffmpeg veryfast"}
preset = os.environ.get("NIMBO_X264_PRESET", "built-in")
params = os.environ.get("NIMBO_X264_PARAMS", "")
print(f"== 1920x1080, {seconds} s of everyday use (typing, scrolling, a window dragged, a video in a corner)")
print(f"   Nimbo's encoder: {preset} settings{' + ' + params if params else ''}; ffmpeg: x11grab 30 fps, libx264 crf 23")
print(f"{'recorder':<18} {'CPU s/s':>8} {'MiB/min':>8} {'SSIM Y':>8} {'SSIM dB':>8} {'over time':>9} {'dB':>6}"
      f" {'frames':>7} {'length s':>9}")
for r in recs:
    x = rows[r]
    print(f"{names[r]:<18} {x['cpu']:8.3f} {x['mib']:8.2f} {x['ssim']:8.5f} {x['db']:8.2f} {x['tssim']:9.5f} {x['tdb']:6.2f}"
          f" {x['frames']:7d} {x['d']:9.1f}")
n = rows.get("nimbo")
if n and "ultrafast" in rows:
    u = rows["ultrafast"]
    print(f"Nimbo/ultrafast: CPU {n['cpu'] / u['cpu']:.2f}x, size {n['mib'] / u['mib']:.2f}x, SSIM {n['db'] - u['db']:+.2f} dB"
          f" per picture, {n['tdb'] - u['tdb']:+.2f} dB over time")
if n and "veryfast" in rows:
    v = rows["veryfast"]
    print(f"Nimbo/veryfast:  CPU {n['cpu'] / v['cpu']:.2f}x, size {n['mib'] / v['mib']:.2f}x, SSIM {n['db'] - v['db']:+.2f} dB"
          f" per picture, {n['tdb'] - v['tdb']:+.2f} dB over time")
if n and "ultrafast" in rows and "veryfast" in rows:
    u, v = rows["ultrafast"], rows["veryfast"]
    # Size is weighed against veryfast's at veryfast's quality: ultrafast
    # spends four times the bits, and its quality comes from those.
    goals = [("CPU <= ultrafast", n["cpu"] <= u["cpu"]), ("size <= veryfast", n["mib"] <= v["mib"]),
             ("SSIM over time >= veryfast", n["tssim"] >= v["tssim"]),
             ("SSIM over time >= ultrafast", n["tssim"] >= u["tssim"])]
    print("goals: " + ", ".join(f"{g} {'met' if ok else 'NOT MET'}" for g, ok in goals))
log = open(f"{out}/nimbo-cpu.log", errors="replace").read() + open(f"{out}/nimbo-cpu.out", errors="replace").read() if n else ""
m = re.search(r"frames written (\d+), unchanged (\d+), missed (\d+), dropped by the encoder (\d+)", log)
if m:
    print(f"Nimbo (timed run): {m[1]} frames written, {m[2]} unchanged ticks skipped, {m[3]} missed, {m[4]} dropped by the encoder")
m = re.search(r"the thorough encoder took ([0-9.]+) s of the recording, the quick one the rest \((\d+) changes\)", log)
if m:
    print(f"Nimbo (timed run): the thorough encoder took {m[1]} s of {rows['nimbo']['d']:.1f}, {m[2]} changes between the two")
print("(CPU: user+sys of the recorder process per second of video, from the timed run; MiB/min: that file's size;"
      " SSIM: x264's own mean luma SSIM over the frames it encoded, from a second run with ssim=1;"
      " over time: each picture weighted by how long it is shown)")
PY
