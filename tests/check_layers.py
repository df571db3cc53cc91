#!/usr/bin/env python3
"""Checks the include rules of docs/ARCHITECTURE.md ("Which folder may
include which"). Prints each include that breaks a rule; exits 1 if any."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = ["capture", "editor", "recording", "sharing", "shell", "ui"]
HOTKEY_HEADERS = set(f for f in os.listdir(os.path.join(ROOT, "hotkey")) if f.endswith(".h"))

# Project headers each folder may include, by their first path components.
ALLOWED = {
    "src/util": ["util/"],
    "src/platform/linux": ["platform/", "util/"],
    "src/platform/fake": ["platform/platform.h", "platform/media_types.h", "platform/geometry.h",
                          "platform/fake/", "util/"],
    "src/platform": ["platform/platform.h", "platform/media_types.h", "platform/geometry.h", "util/"],
    "src/core": ["core/", "platform/platform.h", "platform/media_types.h", "platform/geometry.h", "util/"],
    "hotkey": ["platform/linux/x11/x11_connection.h"],
}
for p in PRODUCT:
    ALLOWED["src/" + p] = ([q + "/" for q in PRODUCT] + ["core/", "util/", "platform/platform.h",
                           "platform/media_types.h", "platform/geometry.h"])

# System libraries that only the platform's Linux services may use directly.
# FFmpeg's codec and format libraries may also be used by the code that
# encodes and reads back recordings; the camera is a device and is read in
# the platform.
SYSTEM = [
    (re.compile(r"^(xcb/|X11/|pulse/|canberra|libsecret/)"), ["src/platform/linux", "hotkey/x11_"]),
    (re.compile(r"^libavdevice/"), ["src/platform/linux"]),
    (re.compile(r"^(libavcodec|libavformat|libavutil|libswscale|libswresample)/"),
     ["src/platform/linux", "src/recording/video_writer", "src/recording/audio_mixer",
      "src/recording/media_probe", "src/recording/yuv", "server/"]),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def rule_for(rel):
    best = None
    for folder in ALLOWED:
        if rel.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


def main():
    problems = []
    for top in ["src", "hotkey", "app", "server"]:
        for dirpath, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, ROOT)
                folder = rule_for(rel)
                with open(path, encoding="utf-8") as f:
                    for n, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        kind, inc = m.groups()
                        for pattern, where in SYSTEM:
                            if pattern.match(inc) and not any(rel.startswith(w) for w in where):
                                problems.append(f"{rel}:{n}: <{inc}> is for {', '.join(where)} only")
                        if kind != '"' or folder is None:
                            continue
                        if os.path.basename(inc) == inc and (inc in HOTKEY_HEADERS or
                                                            os.path.exists(os.path.join(dirpath, inc))):
                            if folder == "hotkey" or folder.startswith("src/") and folder[4:] in PRODUCT:
                                continue
                        if not any(inc.startswith(a) for a in ALLOWED[folder]):
                            problems.append(f'{rel}:{n}: "{inc}" may not be included from {folder}/')
    for p in problems:
        print(p)
    print(f"{len(problems)} include rule violations")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
