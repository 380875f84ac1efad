"""The baseline of the GNOME picture benchmark: the desktop's Screenshot portal, without its
dialog (the permission store says yes), taking ROUNDS pictures of the screen. Runs as the
desktop's user, in its session; prints the median milliseconds per picture (the request
until the portal answers with the PNG file it wrote)."""

import os
import statistics
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 9


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    bus.call_sync("org.freedesktop.impl.portal.PermissionStore", "/org/freedesktop/impl/portal/PermissionStore",
                  "org.freedesktop.impl.portal.PermissionStore", "SetPermission",
                  GLib.Variant("(sbssas)", ("screenshot", True, "screenshot", "", ["yes"])), None,
                  Gio.DBusCallFlags.NONE, 5000, None)
    sender = bus.get_unique_name()[1:].replace(".", "_")
    times = []
    for i in range(ROUNDS):
        token = f"bench{i}"
        path = f"/org/freedesktop/portal/desktop/request/{sender}/{token}"
        loop = GLib.MainLoop()
        answer = {}

        def on_response(_c, _s, _p, _i, _n, parameters, answer=answer, loop=loop):
            answer["response"] = parameters.unpack()
            loop.quit()

        subscription = bus.signal_subscribe("org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request",
                                            "Response", path, None, Gio.DBusSignalFlags.NONE, on_response)
        start = time.perf_counter()
        bus.call_sync("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                      "org.freedesktop.portal.Screenshot", "Screenshot",
                      GLib.Variant("(sa{sv})", ("", {"handle_token": GLib.Variant("s", token),
                                                     "interactive": GLib.Variant("b", False)})),
                      None, Gio.DBusCallFlags.NONE, 10000, None)
        GLib.timeout_add(10000, loop.quit)
        loop.run()
        times.append((time.perf_counter() - start) * 1000)
        bus.signal_unsubscribe(subscription)
        code, results = answer.get("response", (2, {}))
        if code != 0:
            raise SystemExit(f"the Screenshot portal answered {code}")
        os.remove(GLib.filename_from_uri(results["uri"])[0])
    print(f"{statistics.median(times):.2f}")


if __name__ == "__main__":
    main()
