#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's ScreenCast interface on the session
bus, for sessions where the real one cannot share a screen (no GPU). It
runs the real exchange (CreateSession, SelectSources, Start,
OpenPipeWireRemote) and shares a PipeWire node of the caller's choosing,
connecting the caller to the real PipeWire daemon.

  fake_screencast_portal.py NODE_ID WIDTH HEIGHT [ANSWER]
ANSWER: "ok" (default) or "cancel" (the user closes the chooser: Start
answers 1). Every call is logged to $NIMBO_PORTAL_LOG, one JSON per line."""
import json
import os
import socket
import sys
import uuid

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NODE, WIDTH, HEIGHT = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
ANSWER = sys.argv[4] if len(sys.argv) > 4 else "ok"
PATH = "/org/freedesktop/portal/desktop"
IFACE = "org.freedesktop.portal.ScreenCast"


def log(**entry):
    with open(os.environ["NIMBO_PORTAL_LOG"], "a") as f:
        f.write(json.dumps(entry) + "\n")


def plain(value):
    if isinstance(value, (dbus.Boolean,)):
        return bool(value)
    if isinstance(value, (dbus.UInt32, dbus.Int32, dbus.UInt64, dbus.Int64)):
        return int(value)
    return str(value)


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.path = path

    @dbus.service.method("org.freedesktop.portal.Session", in_signature="", out_signature="")
    def Close(self):
        log(call="Close", session=self.path)
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.objects = []

    def answer_later(self, sender, options, code, results):
        token = str(options.get("handle_token", "t"))
        path = "%s/request/%s/%s" % (PATH, sender[1:].replace(".", "_"), token)
        request = Request(self.bus, path)
        self.objects.append(request)

        def send():
            request.Response(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"))
            return False

        GLib.timeout_add(20, send)
        return dbus.ObjectPath(path)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        if prop == "AvailableCursorModes":
            return dbus.UInt32(3)
        if prop == "AvailableSourceTypes":
            return dbus.UInt32(3)
        if prop == "version":
            return dbus.UInt32(4)
        raise dbus.exceptions.DBusException("no property " + prop, name="org.freedesktop.DBus.Error.InvalidArgs")

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        path = "%s/session/%s/%s" % (PATH, sender[1:].replace(".", "_"), options["session_handle_token"])
        self.objects.append(Session(self.bus, path))
        log(call="CreateSession")
        return self.answer_later(sender, options, 0, {"session_handle": dbus.String(path, variant_level=1)})

    @dbus.service.method(IFACE, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def SelectSources(self, session, options, sender):
        log(call="SelectSources", session=str(session),
            options={k: plain(v) for k, v in options.items() if k != "handle_token"})
        return self.answer_later(sender, options, 0, {})

    @dbus.service.method(IFACE, in_signature="osa{sv}", out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender):
        log(call="Start", session=str(session))
        if ANSWER == "cancel":
            return self.answer_later(sender, options, 1, {})
        stream = dbus.Struct((dbus.UInt32(NODE), dbus.Dictionary({
            "position": dbus.Struct((dbus.Int32(0), dbus.Int32(0)), variant_level=1),
            "size": dbus.Struct((dbus.Int32(WIDTH), dbus.Int32(HEIGHT)), variant_level=1),
            "source_type": dbus.UInt32(1, variant_level=1),
        }, signature="sv")), signature="ua{sv}")
        results = {"streams": dbus.Array([stream], signature="(ua{sv})", variant_level=1),
                   "restore_token": dbus.String(str(uuid.uuid4()), variant_level=1)}
        log(call="Started", restore_token=str(results["restore_token"]))
        return self.answer_later(sender, options, 0, results)

    @dbus.service.method(IFACE, in_signature="oa{sv}", out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        log(call="OpenPipeWireRemote")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(os.environ.get("NIMBO_PIPEWIRE_SOCKET")
                     or os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
        fd = dbus.types.UnixFd(sock.fileno())
        sock.close()
        return fd


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
portal = Portal(bus)
GLib.MainLoop().run()
