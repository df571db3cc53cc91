#!/usr/bin/python3
"""A stand-in file manager on the session bus: org.freedesktop.FileManager1
that writes each ShowItems call's uris to the file named by argv[1]."""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

LOG = sys.argv[1]


class FileManager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.FileManager1", in_signature="ass", out_signature="")
    def ShowItems(self, uris, startup_id):
        with open(LOG, "a") as log:
            log.write("\n".join(str(u) for u in uris) + "\n")


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.FileManager1", bus)
manager = FileManager(bus, "/org/freedesktop/FileManager1")
GLib.MainLoop().run()
