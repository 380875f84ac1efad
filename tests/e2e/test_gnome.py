"""The program on a GNOME desktop on Wayland (a private headless GNOME Shell with its own
buses, PipeWire and the desktop portals). The desktop starts once for the suite: it is the
slow part."""

import sys
import unittest

from gnome import GnomeDesktop

desktop = None


def setUpModule():
    global desktop
    desktop = GnomeDesktop()
    print(f"GNOME Shell ready in {desktop.start_seconds:.1f} s", file=sys.stderr)


def tearDownModule():
    desktop.stop()


class Desktop(unittest.TestCase):
    def portal_version(self, interface):
        reply = desktop.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                             "--object-path", "/org/freedesktop/portal/desktop", "--method",
                             "org.freedesktop.DBus.Properties.Get", interface, "version"])
        return int(reply.strip("()<>,\n").split()[-1].rstrip(">,)"))

    def test_the_portals_offer_screen_casts_with_restore_tokens_and_remote_desktops(self):
        self.assertGreaterEqual(self.portal_version("org.freedesktop.portal.ScreenCast"), 4)
        self.assertGreaterEqual(self.portal_version("org.freedesktop.portal.RemoteDesktop"), 1)
        self.assertFalse(desktop.hand.overview_visible())


if __name__ == "__main__":
    unittest.main()
