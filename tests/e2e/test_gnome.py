"""The program on a GNOME desktop on Wayland (a private headless GNOME Shell with its own
buses, PipeWire and the desktop portals), run as the desktop's user. The desktop starts once
for the suite: it is the slow part."""

import sys
import time
import unittest

from gnome import KEY_ESCAPE, GnomeDesktop, HEIGHT, WIDTH
from harness import Program

desktop = None


def setUpModule():
    global desktop
    desktop = GnomeDesktop()
    print(f"GNOME Shell ready in {desktop.start_seconds:.1f} s", file=sys.stderr)


def tearDownModule():
    desktop.stop()


class Consent(unittest.TestCase):
    """The user's answer in the desktop's screen-sharing dialog is the Screen Recording
    permission."""

    def setUp(self):
        self.program = Program(env=desktop.env(), user=desktop.user)
        self.addCleanup(self.program.stop)

    def status(self):
        status, body, _ = self.program.request("GET", "/status")
        self.assertEqual(status, 200)
        return body

    def wait_for_screen(self, state, timeout=10):
        deadline = time.monotonic() + timeout
        while (body := self.status())["screen"] != state and time.monotonic() < deadline:
            time.sleep(0.2)
        return body

    def test_not_asked_then_asking_then_refused(self):
        body = self.status()
        self.assertEqual(body["display"], {"width": WIDTH, "height": HEIGHT, "scale": 1.0})
        self.assertEqual((body["screen"], body["accessibility"]), ("unknown", False))
        self.assertIn("not shared yet", body["screen_detail"])
        status, body, _ = self.program.request("POST", "/screenshot", {})
        self.assertEqual(status, 500, body)
        self.assertIn("not shared yet", body["message"])

        # The request shows the dialog and answers at once, before the user does.
        status, body, _ = self.program.request("POST", "/request", {"what": "screen", "pane": True})
        self.assertEqual((status, body["screen"]), (200, "unknown"))
        self.assertIn("waiting for the user", self.wait_for_screen("unknown")["screen_detail"])

        # The user closes the dialog: refused.
        time.sleep(1.5)
        desktop.hand.key(KEY_ESCAPE)
        body = self.wait_for_screen("denied")
        self.assertEqual(body["screen"], "denied", body)
        self.assertIn("refused", body["screen_detail"])
        status, body, _ = self.program.request("POST", "/screenshot", {})
        self.assertEqual((status, body["error"]), (403, "screen_denied"), body)
        # No input is claimed while it cannot be posted.
        status, body, _ = self.program.request("POST", "/execute", {"action": "click", "x": 10, "y": 10})
        self.assertNotEqual(status, 200, body)


if __name__ == "__main__":
    unittest.main()
