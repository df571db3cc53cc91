#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's GlobalShortcuts interface on the
session bus. Sessions and requests live where the real portal puts them;
every call is logged as a JSON line to $NIMBO_PORTAL_LOG for the test.

  fake_global_shortcuts_portal.py ANSWER
ANSWER: "ok" (binds the ids in $NIMBO_PORTAL_BIND, comma-separated, or all
it is offered), "unlisted" (accepts without listing what it bound), "deny"
(CreateSession answers 1), "silent" (CreateSession never answers).

A test-only interface, org.nimbo.Test, emits Activated on demand:
Activate(session, id), where an empty session means the newest one."""
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

ANSWER = sys.argv[1]
PATH = "/org/freedesktop/portal/desktop"
IFACE = "org.freedesktop.portal.GlobalShortcuts"


def log(entry):
    with open(os.environ["NIMBO_PORTAL_LOG"], "a") as f:
        f.write(json.dumps(entry) + "\n")


def plain(shortcuts):
    return [[str(i), {str(k): str(v) for k, v in props.items()}] for i, props in shortcuts]


def element(sender):
    return sender[1:].replace(".", "_")


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, portal, path):
        super().__init__(portal.bus, path)
        self.portal = portal
        self.path = path

    @dbus.service.method("org.freedesktop.portal.Session", in_signature="", out_signature="")
    def Close(self):
        log({"call": "Close", "session": self.path})
        self.portal.sessions.remove(self.path)
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.requests = []
        self.sessions = []

    def answer_later(self, sender, options, code, results):
        path = "%s/request/%s/%s" % (PATH, element(sender), options.get("handle_token", "t"))
        request = Request(self.bus, path)
        self.requests.append(request)

        def answer():
            request.Response(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"))
            return False

        if code is not None:
            GLib.timeout_add(50, answer)
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == IFACE and name == "version":
            return dbus.UInt32(1, variant_level=1)
        raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty")

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        log({"call": "CreateSession", "shortcuts": plain(options.get("shortcuts", []))})
        if ANSWER == "deny":
            return self.answer_later(sender, options, 1, {})
        if ANSWER == "silent":
            return self.answer_later(sender, options, None, {})
        path = "%s/session/%s/%s" % (PATH, element(sender), options["session_handle_token"])
        Session(self, path)
        self.sessions.append(path)
        # The real portal sends the handle as a string.
        return self.answer_later(sender, options, 0, {"session_handle": dbus.String(path, variant_level=1)})

    @dbus.service.method(IFACE, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender):
        log({"call": "BindShortcuts", "session": str(session), "shortcuts": plain(shortcuts),
             "parent_window": str(parent_window)})
        if str(session) not in self.sessions:
            return self.answer_later(sender, options, 2, {})
        if ANSWER == "unlisted":
            return self.answer_later(sender, options, 0, {})
        wanted = [i for i in os.environ.get("NIMBO_PORTAL_BIND", "").split(",") if i]
        bound = dbus.Array([dbus.Struct((i, dbus.Dictionary({"description": props.get("description", ""),
                                                             "trigger_description": props.get("preferred_trigger", "")},
                                                            signature="sv")))
                            for i, props in shortcuts if not wanted or i in wanted], signature="(sa{sv})")
        return self.answer_later(sender, options, 0, {"shortcuts": dbus.Array(bound, variant_level=1,
                                                                              signature="(sa{sv})")})

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method("org.nimbo.Test", in_signature="ss", out_signature="")
    def Activate(self, session, shortcut_id):
        session = session or self.sessions[-1]
        self.Activated(dbus.ObjectPath(session), shortcut_id, dbus.UInt64(GLib.get_monotonic_time() // 1000),
                       dbus.Dictionary({}, signature="sv"))


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = Portal(bus)
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
GLib.MainLoop().run()
