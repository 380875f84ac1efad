"""The program on KDE Plasma on Wayland (a private headless KWin with its XWayland), run as
the desktop's user. KWin's trust, given by a desktop file that names the program, is the
permission. The desktop starts once for the module: it is the slow part."""

import os
import sys
import unittest

from harness import BINARY
from kde import HEIGHT, WIDTH, KdeDesktop, DesktopGtkClient, status
from user_session import find_window, screenshot

GREEN = (0x33, 0xcc, 0x66)   # the Wayland client's window
ORANGE = (0xee, 0x88, 0x22)  # the X client's window, on XWayland
CORPUS = "Grüße, café! Ελληνικά Кириллица 中文字 한국어 😀👍 naïve"

desktop = None


def setUpModule():
    global desktop
    desktop = KdeDesktop()
    print(f"KWin ready in {desktop.start_seconds:.1f} s", file=sys.stderr)


def tearDownModule():
    desktop.stop()


class Untrusted(unittest.TestCase):
    """Without a desktop file that names it, KWin shows the program nothing and takes no input
    from it, and the status says which file is missing."""

    def test_screen_and_input_denied_with_the_file_named(self):
        program = desktop.start_program(desktop.state_folder())
        self.addCleanup(program.stop)
        body = status(program)
        self.assertEqual(body["display"], {"width": WIDTH, "height": HEIGHT, "scale": 1.0})
        self.assertEqual((body["screen"], body["accessibility"]), ("denied", False))
        self.assertIn("desktop file", body["screen_detail"])
        self.assertIn("Exec=" + BINARY, body["screen_detail"])
        code, body, _ = program.request("POST", "/screenshot", {})
        self.assertEqual((code, body["error"]), (403, "screen_denied"), body)
        code, body, _ = program.request("POST", "/execute", {"action": "click", "x": 10, "y": 10})
        self.assertEqual((code, body["error"]), (403, "accessibility_denied"), body)


class Trusted(unittest.TestCase):
    """With the desktop file: pictures of the desktop, and input that reaches a Wayland window
    and an X window."""

    @classmethod
    def setUpClass(cls):
        cls.desktop_file = desktop.trust(BINARY)
        # The X window first: the Wayland window opens over it.
        cls.x_client = DesktopGtkClient(desktop, "ee8822", "Orange X", x11=True, place="20,20")
        cls.client = DesktopGtkClient(desktop, "33cc66", "Green GTK")
        cls.program = desktop.start_program(desktop.state_folder())
        try:
            cls.picture = screenshot(cls.program)
            cls.green = find_window(cls.picture, GREEN)
            cls.orange = find_window(cls.picture, ORANGE)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()
        cls.client.stop()
        cls.x_client.stop()
        os.remove(cls.desktop_file)

    def locate(self, colour):
        """Where a window is now, from a new picture: a click raises the window it lands on."""
        found = find_window(screenshot(self.program), colour)
        self.assertIsNotNone(found, colour)
        return found

    def execute(self, **action):
        code, body, _ = self.program.request("POST", "/execute", action)
        self.assertEqual(code, 200, body)

    def test_granted_and_the_screenshot_shows_both_windows(self):
        body = status(self.program)
        self.assertEqual((body["screen"], body["screen_detail"], body["accessibility"]), ("granted", "", True))
        self.assertEqual(self.picture[:2], (WIDTH, HEIGHT))
        self.assertIsNotNone(self.green, "the Wayland window is not in the picture")
        self.assertIsNotNone(self.orange, "the X window is not in the picture")
        code, body, _ = self.program.request("POST", "/screenshot", {})
        self.assertEqual(code, 200, body)
        self.assertEqual((body["screen"], body["scale"]), ({"width": WIDTH, "height": HEIGHT}, 1.0))

    def test_the_pointer_clicks_drags_and_scrolls_where_it_is_sent(self):
        left, top, (x, y) = self.locate(GREEN)
        self.client.drain(0.2)
        # Two clicks: where the second lands beside the first is where it was sent (the
        # window's own title bar, drawn in its colour, hides where its content starts).
        places = []
        for dx, dy in ((0, 0), (25, 35)):
            self.execute(action="click", x=x + dx, y=y + dy)
            presses = [e for e in self.client.events_until(
                lambda events: any(e["event"] == "button" and not e["down"] for e in events)) if e["event"] == "button"]
            self.assertEqual([(e["down"], e["button"]) for e in presses], [(True, 1), (False, 1)])
            places.append((presses[0]["x"], presses[0]["y"]))
        self.assertLessEqual(abs(places[0][0] - (x - left)), 1, places)
        self.assertEqual((places[1][0] - places[0][0], places[1][1] - places[0][1]), (25, 35), places)

        self.execute(action="drag", x=x, y=y, x2=x + 40, y2=y + 30)
        events = self.client.events_until(
            lambda events: any(e["event"] == "button" and not e["down"] for e in events))
        release = next(e for e in events if e["event"] == "button" and not e["down"])
        self.assertLessEqual(abs(release["x"] - (places[0][0] + 40)), 1, events)
        self.assertLessEqual(abs(release["y"] - (places[0][1] + 30)), 1, events)
        self.assertTrue(any(e["event"] == "motion" and e["state"] & 0x100 for e in events), events)

        for dy, direction in ((300, "down"), (-200, "up")):
            self.client.drain(0.2)
            self.execute(action="scroll", x=x, y=y, dy=dy)
            # KWin's fake input wheel comes as smooth steps, one a click.
            scrolls = [e["direction"] for e in self.client.drain(0.5) if e["event"] == "smooth-scroll"]
            self.assertEqual(scrolls, [direction] * (abs(dy) // 100), dy)

    def test_held_keys_and_chords_carry_their_modifiers(self):
        _, _, (x, y) = self.locate(GREEN)
        self.execute(action="click", x=x, y=y)
        self.client.drain(0.2)
        self.execute(action="press", keys=["shift"])
        self.execute(action="key", keys=["a"])
        self.execute(action="release", keys=["shift"])
        self.execute(action="key", keys=["ctrl", "a"])
        downs = [(e["keyval"], e["state"] & 0x5) for e in self.client.drain(0.5) if e["event"] == "key" and e["down"]]
        # Shift, A with Shift; Control, a with Control.
        self.assertEqual(downs, [(0xffe1, 0), (ord("A"), 1), (0xffe3, 0), (ord("a"), 4)])

    def test_every_character_arrives_and_the_clipboard_is_kept(self):
        _, _, (x, y) = self.locate(GREEN)
        self.execute(action="click", x=x, y=y)
        self.client.copy("the user's own copy")
        self.assertEqual(self.client.clipboard(), "the user's own copy")
        self.execute(action="key", keys=["ctrl", "a"])
        self.execute(action="key", keys=["backspace"])
        self.client.drain(0.3)
        self.execute(action="type", text=CORPUS)
        texts = [e["text"] for e in self.client.drain(0.5) if e["event"] == "text"]
        self.assertEqual(texts[-1], CORPUS)
        self.assertEqual(self.client.clipboard(), "the user's own copy")

    def test_an_x_window_takes_clicks_and_text(self):
        _, _, (x, y) = self.locate(ORANGE)
        self.execute(action="click", x=x, y=y)
        self.x_client.drain(0.3)
        self.execute(action="type", text="x: ü Ж 中")
        texts = [e["text"] for e in self.x_client.drain(0.5) if e["event"] == "text"]
        self.assertTrue(texts and texts[-1].endswith("x: ü Ж 中"), texts)


if __name__ == "__main__":
    unittest.main()
