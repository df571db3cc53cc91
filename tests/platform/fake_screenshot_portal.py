#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's Screenshot interface on the session
bus, for tests where no real portal can run. It answers each request on the
Request object the caller named, the way the real one does.

  fake_screenshot_portal.py PNG ANSWER
ANSWER: "ok" (writes a copy of PNG and answers with its uri), "deny"
(answers 1), "silent" (never answers)."""
import os
import shutil
import sys
import tempfile

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PNG, ANSWER = sys.argv[1], sys.argv[2]
PATH = "/org/freedesktop/portal/desktop"


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.requests = []

    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        token = str(options.get("handle_token", "t"))
        path = "%s/request/%s/%s" % (PATH, sender[1:].replace(".", "_"), token)
        request = Request(self.bus, path)
        self.requests.append(request)
        # Record what was asked, for the test to check.
        with open(os.environ["NIMBO_PORTAL_LOG"], "a") as log:
            log.write("interactive=%s\n" % bool(options.get("interactive", True)))

        def answer():
            if ANSWER == "ok":
                fd, copy = tempfile.mkstemp(suffix=".png", dir=os.environ["NIMBO_PORTAL_DIR"])
                os.close(fd)
                shutil.copyfile(PNG, copy)
                request.Response(dbus.UInt32(0), {"uri": dbus.String("file://" + copy, variant_level=1)})
            elif ANSWER == "deny":
                request.Response(dbus.UInt32(1), dbus.Dictionary({}, signature="sv"))
            return False

        if ANSWER != "silent":
            GLib.timeout_add(50, answer)
        return dbus.ObjectPath(path)


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
portal = Portal(bus)
GLib.MainLoop().run()
