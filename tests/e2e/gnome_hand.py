"""A user's hand at a GNOME desktop, for the tests: pointer and keys through mutter's own
remote-desktop interface on the session bus, which answers the consent dialogs the way a user
at the desktop would. It runs as the desktop's user (the session bus admits no other) and
takes one JSON command a line on standard input, answering each with one JSON line:

  {"key": KEYSYM}                  press and release
  {"click": [X, Y]}                move there (logical pixels of the monitor) and click left
  {"move": [X, Y]}
  {"overview": null}               whether the overview is shown

It ends when standard input closes.
"""

import json
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUTTON_LEFT = 272  # BTN_LEFT of the kernel's input codes
KEY_SHIFT = 0xffe1


class Hand:
    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.session = self.call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                                 "org.gnome.Mutter.RemoteDesktop", "CreateSession", None)[0]
        session_id = self.call("org.gnome.Mutter.RemoteDesktop", self.session, "org.freedesktop.DBus.Properties",
                               "Get", GLib.Variant("(ss)", ("org.gnome.Mutter.RemoteDesktop.Session",
                                                            "SessionId")))[0]
        cast = self.call("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                         "CreateSession", GLib.Variant("(a{sv})", ({"remote-desktop-session-id":
                                                                    GLib.Variant("s", session_id)},)))[0]
        # Absolute motion is relative to a stream of the monitor.
        self.stream = self.call("org.gnome.Mutter.ScreenCast", cast, "org.gnome.Mutter.ScreenCast.Session",
                                "RecordMonitor", GLib.Variant("(sa{sv})", ("", {})))[0]
        self.remote("Start", None)
        # The virtual devices of a headless seat come into being with the first events, which
        # are lost: one key and one motion that mean nothing, then a moment.
        self.key(KEY_SHIFT)
        self.remote("NotifyPointerMotionRelative", GLib.Variant("(dd)", (0.0, 0.0)))
        time.sleep(0.5)

    def call(self, name, path, interface, method, parameters):
        reply = self.bus.call_sync(name, path, interface, method, parameters, None, Gio.DBusCallFlags.NONE, 10000,
                                   None)
        return reply.unpack() if reply is not None else ()

    def remote(self, method, parameters):
        return self.call("org.gnome.Mutter.RemoteDesktop", self.session, "org.gnome.Mutter.RemoteDesktop.Session",
                         method, parameters)

    def key(self, keysym):
        for down in (True, False):
            self.remote("NotifyKeyboardKeysym", GLib.Variant("(ub)", (keysym, down)))

    def move(self, x, y):
        self.remote("NotifyPointerMotionAbsolute", GLib.Variant("(sdd)", (self.stream, float(x), float(y))))

    def click(self, x, y):
        self.move(x, y)
        time.sleep(0.1)
        for down in (True, False):
            self.remote("NotifyPointerButton", GLib.Variant("(ib)", (BUTTON_LEFT, down)))
            time.sleep(0.05)

    def overview(self):
        return self.call("org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.gnome.Shell", "OverviewActive")))[0]


def main():
    hand = Hand()
    print(json.dumps({"ready": True}), flush=True)
    for line in sys.stdin:
        command = json.loads(line)
        try:
            if "key" in command:
                hand.key(command["key"])
                answer = True
            elif "click" in command:
                hand.click(*command["click"])
                answer = True
            elif "move" in command:
                hand.move(*command["move"])
                answer = True
            elif "overview" in command:
                answer = hand.overview()
            else:
                raise ValueError(f"unknown command {command!r}")
            print(json.dumps({"ok": answer}), flush=True)
        except Exception as error:  # noqa: BLE001 - every failure goes back to the test
            print(json.dumps({"error": str(error)}), flush=True)


if __name__ == "__main__":
    main()
