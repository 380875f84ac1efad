"""A stand-in for GNOME Shell on a private session bus, for the window-list client's tests:
it owns org.gnome.Shell and, unless told "absent", exports the window-list object, which
answers as the first argument says:

  absent      no object at all (the extension is not enabled)
  listed      a list of one window
  version2    a protocol version this program does not read
  garbage     a list that is not JSON
  slow        a list, after three seconds

Prints "ready" once the name is owned; ends when standard input closes.
"""

import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

INTERFACE = Gio.DBusNodeInfo.new_for_xml("""
<node>
  <interface name="com.velmar.ComputerUse.Windows">
    <method name="List"><arg type="s" direction="out" name="windows"/></method>
    <property name="Version" type="u" access="read"/>
  </interface>
</node>""").interfaces[0]
LIST = '[{"id": 9, "title": "Notes", "app_id": "org.example.Notes", "pid": 42, ' \
       '"frame": {"x": 1, "y": 2, "width": 300, "height": 200}, "workspace": 0, "shown": true, "x11": false}]'


def main():
    mode = sys.argv[1]
    loop = GLib.MainLoop()

    def call(connection, sender, path, interface, method, parameters, invocation):
        if mode == "slow":
            GLib.timeout_add(3000, lambda: invocation.return_value(GLib.Variant("(s)", (LIST,))) and False)
            return
        invocation.return_value(GLib.Variant("(s)", ("[{" if mode == "garbage" else LIST,)))

    def get_property(connection, sender, path, interface, name):
        return GLib.Variant("u", 2 if mode == "version2" else 1)

    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    if mode != "absent":
        bus.register_object("/com/velmar/ComputerUse/Windows", INTERFACE, call, get_property, None)

    def owned(*_):
        print("ready", flush=True)

    Gio.bus_own_name_on_connection(bus, "org.gnome.Shell", Gio.BusNameOwnerFlags.NONE, owned, lambda *_: loop.quit())
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_HUP | GLib.IO_IN, lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
