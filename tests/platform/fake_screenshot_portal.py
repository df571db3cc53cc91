#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's Screenshot interface on the session bus,
answering on the Request object the caller named; the other stand-ins import
their plumbing from here. Calls are logged as JSON lines to $NIMBO_PORTAL_LOG.
  fake_screenshot_portal.py PNG ANSWER    (ANSWER: ok, deny or silent)"""
import json
import os
import shutil
import sys
import tempfile

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"


def log(**entry):
    with open(os.environ["NIMBO_PORTAL_LOG"], "a") as f:
        f.write(json.dumps(entry) + "\n")


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, portal, path):
        super().__init__(portal.bus, path)
        self.portal = portal
        portal.sessions.add(path)

    @dbus.service.method("org.freedesktop.portal.Session", in_signature="", out_signature="")
    def Close(self):
        log(call="Close", session=self.__dbus_object_path__)
        self.portal.sessions.discard(self.__dbus_object_path__)
        self.remove_from_connection()


class Portal(dbus.service.Object):
    properties = {}  # (interface, name): a uint

    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.sessions = set()

    def answer_later(self, sender, options, code, results=None):  # code None: never answers
        path = "%s/request/%s/%s" % (PATH, sender[1:].replace(".", "_"), options.get("handle_token", "t"))
        request = Request(self.bus, path)  # kept by the bus until it goes
        if code is not None:
            GLib.timeout_add(20, lambda: request.Response(dbus.UInt32(code), dbus.Dictionary(results or {}, signature="sv")))
        return dbus.ObjectPath(path)

    def new_session(self, sender, options):  # answers with its handle, a string as the real portal sends it
        path = "%s/session/%s/%s" % (PATH, sender[1:].replace(".", "_"), options["session_handle_token"])
        Session(self, path)
        return self.answer_later(sender, options, 0, {"session_handle": dbus.String(path, variant_level=1)})

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):  # an error reply for any other
        return dbus.UInt32(self.properties[interface, name])


def serve(make, name="org.freedesktop.portal.Desktop"):  # make(bus) before the name is taken
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    kept = make(bus), dbus.service.BusName(name, bus)  # noqa: F841
    GLib.MainLoop().run()


class Screenshot(Portal):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        log(interactive=bool(options.get("interactive", True)))
        if sys.argv[2] != "ok":
            return self.answer_later(sender, options, 1 if sys.argv[2] == "deny" else None)
        fd, copy = tempfile.mkstemp(suffix=".png", dir=os.environ["NIMBO_PORTAL_DIR"])
        os.close(fd)
        shutil.copyfile(sys.argv[1], copy)
        return self.answer_later(sender, options, 0, {"uri": dbus.String("file://" + copy, variant_level=1)})


if __name__ == "__main__":
    serve(Screenshot)
