#!/usr/bin/python3 -B
"""A stand-in org.freedesktop.FileManager1 on the session bus: writes each
ShowItems call's uris to the file named by argv[1]."""
import sys

import dbus.service
from fake_screenshot_portal import serve


class FileManager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.FileManager1", in_signature="ass", out_signature="")
    def ShowItems(self, uris, startup_id):
        with open(sys.argv[1], "a") as log:
            log.write("\n".join(str(u) for u in uris) + "\n")


serve(lambda bus: FileManager(bus, "/org/freedesktop/FileManager1"), "org.freedesktop.FileManager1")
