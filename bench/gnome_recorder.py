#!/usr/bin/env python3
"""gnome_recorder.py FILE SECONDS: records the screen for SECONDS with GNOME's own
screen recorder (what Ctrl+Shift+Alt+R starts), through its D-Bus service, and
prints the CPU seconds its process used in all. The recorder stops by itself
when the program that started it leaves the bus, so this one stays on it."""
import os
import sys
import time

import dbus

path, seconds = sys.argv[1], float(sys.argv[2])
bus = dbus.SessionBus()
name = "org.gnome.Shell.Screencast"
recorder = dbus.Interface(bus.get_object(name, "/org/gnome/Shell/Screencast"), name)
ok, used = recorder.Screencast(path, dbus.Dictionary({}, signature="sv"))
if not ok:
    sys.exit("GNOME's screen recorder did not start")
pid = int(bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").GetConnectionUnixProcessID(
    name, dbus_interface="org.freedesktop.DBus"))
print("recording", flush=True)


def cpu():  # user + system seconds of the recorder's process, or None once it has gone
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


time.sleep(seconds)
recorder.StopScreencast()
# The file is finished after the answer: the last reading once the process
# has stopped working (or gone).
last = cpu()
for _ in range(25):
    time.sleep(0.2)
    now = cpu()
    if now is None or now == last:
        break
    last = now
print(f"recorder cpu {last:.2f} file {used}")
