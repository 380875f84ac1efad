"""The program on a Wayland desktop it does not serve: a headless Weston, which offers none of
the protocols the program drives a desktop through, with X applications on its XWayland.
XWayland shows only its own windows, so the screen must be reported out of reach rather than
answered with a black picture, and input refused rather than posted into nothing; the X
windows stay listed and captured."""

import base64
import unittest

from harness import Program, XClient
from pictures import close, decode, pixel
from test_capture import NO_PULSE
from wayland import WestonDesktop

GREEN = (0x33, 0xcc, 0x66)
OPENING = "the Wayland desktop weston is not served: X windows only"


class UnservedWaylandDesktop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = WestonDesktop()
        try:
            cls.client = XClient(cls.desktop.display, ["Green X:300x200+100+100:33cc66"])
            cls.program = Program(env=dict(cls.desktop.env(), **NO_PULSE))
        except Exception:
            if hasattr(cls, "client"):
                cls.client.stop()
            cls.desktop.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()
        cls.client.stop()
        cls.desktop.stop()

    def test_status_says_the_screen_and_input_are_out_of_reach_and_why(self):
        status, body, _ = self.program.request("GET", "/status")
        self.assertEqual(status, 200)
        self.assertEqual((body["screen"], body["accessibility"]), ("denied", False))
        self.assertTrue(body["screen_detail"].startswith(OPENING), body["screen_detail"])

    def test_a_screenshot_is_refused_with_the_reason(self):
        status, body, _ = self.program.request("POST", "/screenshot", {"format": "png"})
        self.assertEqual(status, 403, body)
        self.assertEqual(body["error"], "screen_denied")
        self.assertTrue(body["message"].startswith("Screen Recording is off for Velmar Computer Use (" + OPENING),
                        body["message"])

    def test_input_is_refused_and_reaches_nothing(self):
        for action in ({"action": "click", "x": 150, "y": 150}, {"action": "type", "text": "lost"}):
            status, body, _ = self.program.request("POST", "/execute", action)
            self.assertEqual((status, body), (403, {"error": "accessibility_denied",
                                                    "message": "Accessibility is off for Velmar Computer Use"}))
        self.assertEqual(self.client.drain(0.2), [])

    def test_the_x_windows_are_still_listed_and_captured(self):
        status, body, _ = self.program.request("GET", "/windows")
        self.assertEqual(status, 200, body)
        mine = [w for w in body["windows"] if w["pid"] == self.client.pid]
        self.assertEqual([w["title"] for w in mine], ["Green X"])
        self.assertEqual(mine[0]["bounds"][2:], [300, 200])

        status, answer, _ = self.program.request("POST", "/window", {"id": mine[0]["id"]})
        self.assertEqual(status, 200, answer)
        picture = decode(base64.b64decode(answer["base64"]))
        self.assertEqual(picture[:2], (300, 200))
        for x, y in [(5, 5), (150, 100), (294, 194)]:
            self.assertTrue(close(pixel(picture, x, y), GREEN, 4), (x, y))


if __name__ == "__main__":
    unittest.main()
