"""The program on a GNOME desktop on Wayland (a private headless GNOME Shell with its own
buses, PipeWire and the desktop portals), run as the desktop's user. The user's answers in
the desktop's dialogs are the permissions; a hand at the desktop gives them as a user would.
The desktop starts once for the module: it is the slow part."""

import base64
import os
import signal
import sys
import tempfile
import time
import unittest

from gnome import GnomeDesktop, GnomeGtkClient, HEIGHT, WIDTH, status, wait_status
from pictures import decode

GREEN = (0x33, 0xcc, 0x66)   # the Wayland client's window
ORANGE = (0xee, 0x88, 0x22)  # the X client's window, on XWayland
CORPUS = "Grüße, café! Ελληνικά Кириллица 中文字 한국어 😀👍 naïve"

desktop = None


def setUpModule():
    global desktop
    desktop = GnomeDesktop()
    print(f"GNOME Shell ready in {desktop.start_seconds:.1f} s", file=sys.stderr)


def tearDownModule():
    desktop.stop()


def screenshot(program):
    code, body, _ = program.request("POST", "/screenshot", {"format": "png", "width": WIDTH, "height": HEIGHT})
    assert code == 200, body
    return decode(base64.b64decode(body["base64"]))


def find_window(picture, colour):
    """(left, top, a point well inside) of the largest stretch of the picture in the colour:
    its top-left corner found from the point, along the row and the column it is on (the
    title above is drawn in the colour too, but not the bar around it). None when absent."""
    width, height, rows = picture
    target = bytes(colour)

    def is_colour(x, y):
        return 0 <= x < width and 0 <= y < height and rows[y][x * 3:x * 3 + 3] == target

    inside = [(x, y) for y in range(0, height, 10) for x in range(0, width, 10)
              if all(is_colour(x + dx, y + dy) for dx in (-30, 0, 30) for dy in (-30, 0, 30))]
    if not inside:
        return None
    x, y = inside[len(inside) // 2]
    left, top = x, y
    while is_colour(left - 1, y):
        left -= 1
    while is_colour(x, top - 1):
        top -= 1
    return left, top, (x, y)


class Consent(unittest.TestCase):
    """Not asked yet, then asked, then refused: the dialog's answer is the permission."""

    def setUp(self):
        self.program = desktop.start_program(desktop.state_folder())
        self.addCleanup(self.program.stop)

    def test_not_asked_then_asking_then_refused(self):
        body = status(self.program)
        self.assertEqual(body["display"], {"width": WIDTH, "height": HEIGHT, "scale": 1.0})
        self.assertEqual((body["screen"], body["accessibility"]), ("unknown", False))
        self.assertIn("not shared yet", body["screen_detail"])
        code, body, _ = self.program.request("POST", "/screenshot", {})
        self.assertEqual(code, 500, body)
        self.assertIn("not shared yet", body["message"])

        # The request shows the dialog and answers at once, before the user does.
        code, body, _ = self.program.request("POST", "/request", {"what": "screen", "pane": True})
        self.assertEqual((code, body["screen"]), (200, "unknown"))
        self.assertIn("waiting for the user", wait_status(self.program, lambda b: "waiting" in b["screen_detail"])
                      ["screen_detail"])

        # The user closes the dialog: refused.
        time.sleep(1.5)
        desktop.hand.cancel_dialog()
        body = wait_status(self.program, lambda b: b["screen"] == "denied")
        self.assertEqual(body["screen"], "denied", body)
        self.assertIn("refused", body["screen_detail"])
        code, body, _ = self.program.request("POST", "/screenshot", {})
        self.assertEqual((code, body["error"]), (403, "screen_denied"), body)

    def test_input_refused_in_the_dialog_posts_nothing(self):
        # No input is claimed before the user allows it.
        code, body, _ = self.program.request("POST", "/execute", {"action": "click", "x": 10, "y": 10})
        self.assertEqual((code, body["error"]), (403, "accessibility_denied"), body)

        # Sharing the screen with the switch for input left off is no grant of input.
        self.program.request("POST", "/request", {"what": "accessibility"})
        time.sleep(2.0)
        desktop.hand.allow_remote_desktop(interaction=False)
        time.sleep(1.0)
        self.assertFalse(status(self.program)["accessibility"])
        code, body, _ = self.program.request("POST", "/execute", {"action": "type", "text": "lost"})
        self.assertEqual((code, body["error"]), (403, "accessibility_denied"), body)


class GrantedDesktop(unittest.TestCase):
    """The screen shared and input allowed: pictures of the real desktop, and input that
    reaches a Wayland window and an X window on XWayland."""

    @classmethod
    def setUpClass(cls):
        cls.state = desktop.state_folder()
        # The X window first: the Wayland window opens over it, and shows whole.
        cls.x_client = GnomeGtkClient(desktop, "ee8822", "Orange X", x11=True)
        cls.client = GnomeGtkClient(desktop, "33cc66", "Green GTK")
        cls.program = desktop.start_program(cls.state)
        try:
            body = desktop.grant_screen(cls.program)
            assert body["screen"] == "granted", body
            body = desktop.grant_input(cls.program)
            assert body["accessibility"], body
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

    def execute(self, **action):
        code, body, _ = self.program.request("POST", "/execute", action)
        self.assertEqual(code, 200, body)

    def test_the_screenshot_shows_the_desktop_and_both_windows(self):
        body = status(self.program)
        self.assertEqual((body["screen"], body["screen_detail"], body["accessibility"]), ("granted", "", True))
        self.assertEqual(self.picture[:2], (WIDTH, HEIGHT))
        self.assertIsNotNone(self.green, "the Wayland window is not in the picture")
        self.assertIsNotNone(self.orange, "the X window is not in the picture")
        # The default picture: the whole screen within the pixel budget, as JPEG.
        code, body, _ = self.program.request("POST", "/screenshot", {})
        self.assertEqual(code, 200, body)
        self.assertEqual((body["screen"], body["scale"]), ({"width": WIDTH, "height": HEIGHT}, 1.0))

    def test_the_pointer_clicks_drags_and_scrolls_where_it_is_sent(self):
        left, top, (x, y) = self.green
        self.client.drain(0.2)
        self.execute(action="click", x=x, y=y)
        presses = [e for e in self.client.events_until(
            lambda events: any(e["event"] == "button" and not e["down"] for e in events)) if e["event"] == "button"]
        self.assertEqual([(e["down"], e["button"]) for e in presses], [(True, 1), (False, 1)])
        self.assertLessEqual(abs(presses[0]["x"] - (x - left)), 1, presses)
        self.assertLessEqual(abs(presses[0]["y"] - (y - top)), 1, presses)

        self.execute(action="drag", x=x, y=y, x2=x + 40, y2=y + 30)
        events = self.client.events_until(
            lambda events: any(e["event"] == "button" and not e["down"] for e in events))
        release = next(e for e in events if e["event"] == "button" and not e["down"])
        self.assertLessEqual(abs(release["x"] - (x + 40 - left)), 1, events)
        self.assertTrue(any(e["event"] == "motion" and e["state"] & 0x100 for e in events), events)

        for dy, direction in ((300, "down"), (-200, "up")):
            self.client.drain(0.2)
            self.execute(action="scroll", x=x, y=y, dy=dy)
            scrolls = [e["direction"] for e in self.client.drain(0.5) if e["event"] == "scroll"]
            self.assertEqual(scrolls, [direction] * (abs(dy) // 100), dy)

    def test_held_keys_and_chords_carry_their_modifiers(self):
        _, _, (x, y) = self.green
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
        _, _, (x, y) = self.green
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
        _, _, (x, y) = self.orange
        self.execute(action="click", x=x, y=y)
        self.x_client.drain(0.3)
        self.execute(action="type", text="x: ü Ж 中")
        texts = [e["text"] for e in self.x_client.drain(0.5) if e["event"] == "text"]
        self.assertTrue(texts and texts[-1].endswith("x: ü Ж 中"), texts)

    def test_a_new_process_shares_the_screen_without_asking(self):
        again = desktop.start_program(self.state)
        try:
            body = wait_status(again, lambda b: b["screen"] == "granted", 10)
            self.assertEqual(body["screen"], "granted", body)
            # The portal keeps no grant of input: this process has not been allowed yet.
            self.assertFalse(body["accessibility"])
            self.assertEqual(screenshot(again)[:2], (WIDTH, HEIGHT))
        finally:
            again.stop()


class PortalLost(unittest.TestCase):
    """The desktop's portal going away ends the sessions it gave: an error, never a 200, and
    the next request for them asks again."""

    def test_input_fails_then_works_after_a_new_grant(self):
        program = desktop.start_program(desktop.state_folder())
        self.addCleanup(program.stop)
        desktop.grant_input(program)
        code, body, _ = program.request("POST", "/execute", {"action": "move", "x": 50, "y": 50})
        self.assertEqual(code, 200, body)

        for pid in desktop._session_processes():
            try:
                with open(f"/proc/{pid}/comm") as f:
                    if f.read().strip() in ("xdg-desktop-por", "xdg-desktop-portal"):
                        os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        time.sleep(0.5)
        code, body, _ = program.request("POST", "/execute", {"action": "move", "x": 60, "y": 60})
        self.assertNotEqual(code, 200, body)
        self.assertFalse(wait_status(program, lambda b: not b["accessibility"])["accessibility"])

        # The bus starts the portal again for the next question.
        body = desktop.grant_input(program)
        self.assertTrue(body["accessibility"], body)
        code, body, _ = program.request("POST", "/execute", {"action": "move", "x": 70, "y": 70})
        self.assertEqual(code, 200, body)


if __name__ == "__main__":
    unittest.main()
