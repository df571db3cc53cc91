#!/usr/bin/python3 -B
"""A stand-in for xdg-desktop-portal's ScreenCast interface on the session bus,
for sessions where the real one cannot share a screen (no GPU): it shares the
PipeWire node NODE_ID, connecting the caller to the real PipeWire daemon.
  fake_screencast_portal.py NODE_ID WIDTH HEIGHT [ANSWER]
ANSWER: "ok" (default) or "cancel" (the user closes the chooser: Start answers 1)."""
import os
import socket
import sys
import uuid

import dbus
import dbus.service
from fake_screenshot_portal import Portal, log, serve

NODE, WIDTH, HEIGHT = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
ANSWER = sys.argv[4] if len(sys.argv) > 4 else "ok"
IFACE = "org.freedesktop.portal.ScreenCast"


class ScreenCast(Portal):
    properties = {(IFACE, "AvailableCursorModes"): 3, (IFACE, "AvailableSourceTypes"): 3, (IFACE, "version"): 4}

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        log(call="CreateSession")
        return self.new_session(sender, options)

    @dbus.service.method(IFACE, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def SelectSources(self, session, options, sender):
        plain = {k: bool(v) if isinstance(v, dbus.Boolean) else int(v) if isinstance(v, int) else str(v)
                 for k, v in options.items() if k != "handle_token"}
        log(call="SelectSources", session=str(session), options=plain)
        return self.answer_later(sender, options, 0)

    @dbus.service.method(IFACE, in_signature="osa{sv}", out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender):
        log(call="Start", session=str(session))
        if ANSWER == "cancel":
            return self.answer_later(sender, options, 1)
        stream = (dbus.UInt32(NODE), {"position": dbus.Struct((dbus.Int32(0), dbus.Int32(0)), variant_level=1),
                                      "size": dbus.Struct((dbus.Int32(WIDTH), dbus.Int32(HEIGHT)), variant_level=1),
                                      "source_type": dbus.UInt32(1, variant_level=1)})
        token = str(uuid.uuid4())
        log(call="Started", restore_token=token)
        return self.answer_later(sender, options, 0, {"streams": dbus.Array([stream], signature="(ua{sv})", variant_level=1),
                                                      "restore_token": dbus.String(token, variant_level=1)})

    @dbus.service.method(IFACE, in_signature="oa{sv}", out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        log(call="OpenPipeWireRemote")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.connect(os.environ.get("NIMBO_PIPEWIRE_SOCKET") or os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
            return dbus.types.UnixFd(sock.fileno())


serve(ScreenCast)
