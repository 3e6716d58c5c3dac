#!/usr/bin/python3
"""A stand-in for the desktop's screenshot portal on a private session bus: owns
org.freedesktop.portal.Desktop and answers each Screenshot request the way it is told, recording
the options of each call.

    stand_in_portal.py RECORD file:PATH | refuse:CODE
"""
import pathlib
import sys

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

RECORD, ANSWER = sys.argv[1], sys.argv[2]


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}",
                         out_signature="o", sender_keyword="sender")
    def Screenshot(self, parent_window, options, sender):
        with open(RECORD, "a") as record:
            record.write("interactive=%s\n" % bool(options.get("interactive", False)))
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
            sender[1:].replace(".", "_"), options["handle_token"])
        GLib.idle_add(self.respond, path)
        return dbus.ObjectPath(path)

    def respond(self, path):
        kind, _, value = ANSWER.partition(":")
        code, results = (0, {"uri": pathlib.Path(value).as_uri()}) if kind == "file" else (
            int(value), {})
        signal = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
        signal.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"),
                      signature="ua{sv}")
        BUS.send_message(signal)
        return False


DBusGMainLoop(set_as_default=True)
BUS = dbus.SessionBus()
NAME = dbus.service.BusName("org.freedesktop.portal.Desktop", BUS)
PORTAL = Portal(BUS, "/org/freedesktop/portal/desktop")
print("ready", flush=True)
GLib.MainLoop().run()
