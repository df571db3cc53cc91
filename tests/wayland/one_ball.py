#!/usr/bin/env python3
"""one_ball.py VIDEO: every picture of a recording of gstreamer's moving ball
(white, 40 pixels across, on black) shows the ball once and nothing else: a
part of the picture left behind from before would show an old ball apart from
the new one. Prints how many pictures it looked at."""
import subprocess
import sys

video = sys.argv[1]
probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
                        "-of", "csv=p=0", video], check=True, capture_output=True, text=True).stdout
width, height = (int(v) for v in probe.strip().split(",")[:2])
decoder = subprocess.Popen(["ffmpeg", "-v", "error", "-i", video, "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                           stdout=subprocess.PIPE)
bright = bytes(1 if v > 128 else 0 for v in range(256))
pictures = 0
worst = (0, 0, 0)
while True:
    picture = decoder.stdout.read(width * height)
    if len(picture) < width * height:
        break
    pictures += 1
    top = bottom = left = right = None
    for y in range(height):
        row = picture[y * width:(y + 1) * width].translate(bright)
        first = row.find(1)
        if first < 0:
            continue
        last = row.rfind(1)
        top = y if top is None else top
        bottom = y
        left = first if left is None else min(left, first)
        right = last if right is None else max(right, last)
    if top is None:
        sys.exit(f"picture {pictures}: no ball")
    across, down = right - left + 1, bottom - top + 1
    if max(across, down) > max(worst[1], worst[2]):
        worst = (pictures, across, down)
    if across > 56 or down > 56:
        sys.exit(f"picture {pictures}: light over {across}x{down} pixels from ({left}, {top}), more than one ball")
decoder.wait()
if decoder.returncode != 0 or pictures == 0:
    sys.exit(f"{video}: {pictures} pictures decoded")
print(f"{pictures} pictures, each with one ball (widest {worst[1]}x{worst[2]}, picture {worst[0]})")
