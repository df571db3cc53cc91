#!/usr/bin/python3 -B
"""A stand-in for xdg-desktop-portal's GlobalShortcuts interface on the session bus.
  fake_global_shortcuts_portal.py ANSWER
ANSWER: "ok" (binds the ids in $NIMBO_PORTAL_BIND, comma-separated, or all it is
offered), "unlisted" (accepts without listing them), "deny" (CreateSession answers
1), "silent" (CreateSession never answers). org.nimbo.Test.Activate emits Activated."""
import os
import sys

import dbus
import dbus.service
from fake_screenshot_portal import Portal, log, serve
from gi.repository import GLib

ANSWER = sys.argv[1]
IFACE = "org.freedesktop.portal.GlobalShortcuts"


def plain(shortcuts):
    return [[str(i), {str(k): str(v) for k, v in props.items()}] for i, props in shortcuts]


class GlobalShortcuts(Portal):
    properties = {(IFACE, "version"): 1}

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        log(call="CreateSession", shortcuts=plain(options.get("shortcuts", [])))
        if ANSWER in ("deny", "silent"):
            return self.answer_later(sender, options, 1 if ANSWER == "deny" else None)
        return self.new_session(sender, options)

    @dbus.service.method(IFACE, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender):
        log(call="BindShortcuts", session=str(session), shortcuts=plain(shortcuts), parent_window=str(parent_window))
        if str(session) not in self.sessions:
            return self.answer_later(sender, options, 2)
        if ANSWER == "unlisted":
            return self.answer_later(sender, options, 0)
        wanted = [i for i in os.environ.get("NIMBO_PORTAL_BIND", "").split(",") if i]
        bound = [(i, {"description": props.get("description", ""), "trigger_description": props.get("preferred_trigger", "")})
                 for i, props in shortcuts if not wanted or i in wanted]
        return self.answer_later(sender, options, 0, {"shortcuts": dbus.Array(bound, signature="(sa{sv})", variant_level=1)})

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method("org.nimbo.Test", in_signature="ss", out_signature="")
    def Activate(self, session, shortcut_id):
        self.Activated(dbus.ObjectPath(session), shortcut_id, dbus.UInt64(GLib.get_monotonic_time() // 1000),
                       dbus.Dictionary({}, signature="sv"))


serve(GlobalShortcuts)
