#!/usr/bin/env python3
"""wayland_activity.py SECONDS TEXT X,Y: a stretch of ordinary use on GNOME's
Wayland session, through mutter's remote desktop interface (Wayland lets no
other program type or move the pointer): types the lines of TEXT into the
focused window at about 9 keys a second, scrolls the window under X,Y with
the wheel, drags the focused window across the screen and back, types again,
then leaves the screen be. Each phase ends at its time, scaled to SECONDS (60:
type 0-13 s, scroll 15-27 s, drag 27-35 s, type 36-49 s), as in the X11
minute of everyday_inner.sh."""
import math
import sys
import time

import dbus

seconds, text, at = float(sys.argv[1]), sys.argv[2], sys.argv[3]
x, y = (float(v) for v in at.split(","))
scale = seconds / 60
start = time.monotonic()

bus = dbus.SessionBus()
service = "org.gnome.Mutter.RemoteDesktop"
desktop = dbus.Interface(bus.get_object(service, "/org/gnome/Mutter/RemoteDesktop"), service)
session = dbus.Interface(bus.get_object(service, desktop.CreateSession()), service + ".Session")
session.Start()


def until(t):
    left = start + t * scale - time.monotonic()
    if left > 0:
        time.sleep(left)


def key_down(keysym, down):
    session.NotifyKeyboardKeysym(dbus.UInt32(keysym), down)


def key(keysym):
    key_down(keysym, True)
    key_down(keysym, False)


lines = [line.rstrip("\n")[:100] for line in open(text, encoding="utf-8")]
typed = [0, 0]  # line, column


def type_until(t):
    end = start + t * scale
    while time.monotonic() < end and typed[0] < len(lines):
        line = lines[typed[0]]
        if typed[1] < len(line):
            c = line[typed[1]]
            key(ord(c) if c != "\t" else 0xFF09)
            typed[1] += 1
        else:
            key(0xFF0D)  # Return
            typed[0] += 1
            typed[1] = 0
        time.sleep(0.11)


# The pointer from wherever it is to the bottom right (the top left corner
# opens GNOME's overview), then to X,Y on the 1920x1080 monitor.
session.NotifyPointerMotionRelative(10000.0, 10000.0)
session.NotifyPointerMotionRelative(x - 1919, y - 1079)
type_until(13)
until(15)
for i in range(1, 13):  # a few notches down a second, now and then back up
    for _ in range(3):
        session.NotifyPointerAxisDiscrete(dbus.UInt32(0), dbus.Int32(1))
        time.sleep(0.06)
    if i % 4 == 0:
        for _ in range(2):
            session.NotifyPointerAxisDiscrete(dbus.UInt32(0), dbus.Int32(-1))
            time.sleep(0.06)
    until(15 + i)
# The focused window (the editor; the wheel does not take the focus) moved
# with the keyboard's move (Alt+F7), which follows the pointer wherever the
# window is: across to the right and back while it dips down, on the same
# curve as the X11 minute's terminal (to the right rather than the left, as
# the editor starts at the left; down rather than up, as mutter keeps a
# window below the top bar). Return puts it down where it started.
key_down(0xFFE9, True)  # Alt_L
key(0xFFC4)  # F7
key_down(0xFFE9, False)
time.sleep(0.2)
px = py = 0
for i in range(1, 241):
    nx = round(500 * math.sin(i / 240 * math.pi * 2))
    ny = round(300 * math.sin(i / 240 * math.pi))
    session.NotifyPointerMotionRelative(float(nx - px), float(ny - py))
    px, py = nx, ny
    until(27 + i / 30)
key(0xFF0D)  # Return: put down
until(36)
type_until(49)
until(60 - 2 / scale)
session.Stop()
