"""The program on KDE Plasma on Wayland (a private headless KWin with its XWayland), run as
the desktop's user. KWin's trust, given by a desktop file that names the program, is the
permission. The desktop starts once for the module: it is the slow part."""

import base64
import os
import statistics
import sys
import time
import unittest

from harness import BINARY
from kde import HEIGHT, WIDTH, KdeDesktop, DesktopGtkClient, status, wait_status
from pictures import decode
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

    def listed(self):
        """The window list with both clients in it at their size (KWin describes a window a
        moment after it maps)."""
        deadline = time.monotonic() + 10
        while True:
            code, body, _ = self.program.request("GET", "/windows")
            self.assertEqual(code, 200, body)
            entries = {c.pid: next((w for w in body["windows"] if w["pid"] == c.pid), None)
                       for c in (self.client, self.x_client)}
            if all(e and e["bounds"][2] > 0 for e in entries.values()) or time.monotonic() > deadline:
                return body["windows"], entries
            time.sleep(0.1)

    def test_the_window_list_names_each_window_with_its_frame_and_order(self):
        windows, entries = self.listed()
        for client in (self.client, self.x_client):
            entry = entries[client.pid]
            self.assertIsNotNone(entry, (client.title, windows))
            self.assertEqual((entry["title"], entry["on_screen"]), (client.title, True), entry)
            # The frame is where the picture shows the window (GTK's own title bar, drawn in
            # the window's colour, included).
            left, top, _ = self.locate(client.colour)
            x, y, width, height = entry["bounds"]
            self.assertLessEqual(abs(x - left) + abs(y - top), 2, (entry, left, top))
            self.assertTrue(width >= 640 and height >= 480, entry)
            self.assertTrue(0 < entry["id"] < 2 ** 32, entry)
        self.assertNotEqual(entries[self.client.pid]["id"], entries[self.x_client.pid]["id"])

        # Front to back: the window clicked last comes first, and ids last the window's life.
        for front, back in ((self.x_client, self.client), (self.client, self.x_client)):
            _, _, (x, y) = self.locate(front.colour)
            self.execute(action="click", x=x, y=y)
            deadline = time.monotonic() + 5
            while True:
                windows, now = self.listed()
                order = [w["pid"] for w in windows]
                if order.index(front.pid) < order.index(back.pid) or time.monotonic() > deadline:
                    break
                time.sleep(0.1)
            self.assertLess(order.index(front.pid), order.index(back.pid), windows)
            self.assertEqual({pid: e["id"] for pid, e in now.items()}, {pid: e["id"] for pid, e in entries.items()})

        took = []
        for _ in range(20):
            started = time.monotonic()
            self.program.request("GET", "/windows")
            took.append(time.monotonic() - started)
        print(f"GET /windows: median {statistics.median(took) * 1000:.1f} ms, most {max(took) * 1000:.1f} ms",
              file=sys.stderr)

    def test_a_window_picture_is_that_window_whole(self):
        _, entries = self.listed()
        for client in (self.client, self.x_client):
            entry = entries[client.pid]
            code, answer, _ = self.program.request("POST", "/window", {"id": entry["id"], "format": "png"})
            self.assertEqual(code, 200, answer)
            width, height = int(entry["bounds"][2]), int(entry["bounds"][3])
            self.assertEqual((answer["width"], answer["height"]), (width, height), answer)
            picture_width, picture_height, rows = decode(base64.b64decode(answer["base64"]))
            self.assertEqual((picture_width, picture_height), (width, height))
            # KWin draws the window alone: its colour even where the other window covers it.
            for px, py in ((width // 2, height // 2), (20, height - 20), (width - 20, height - 20)):
                self.assertEqual(tuple(rows[py][px * 3:px * 3 + 3]), client.colour, (client.title, px, py))
        code, answer, _ = self.program.request("POST", "/window", {"id": 4_000_000_000, "format": "png"})
        self.assertNotEqual(code, 200, answer)

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


class WhenKWinChanges(unittest.TestCase):
    """KWin taking its trust back, and KWin going away and coming back, while the program runs:
    error answers without a hang meanwhile, and everything back once KWin is. Runs after the
    other classes (by name): restarting KWin ends every client of the desktop."""

    def setUp(self):
        self.desktop_file = desktop.trust(BINARY)
        self.program = desktop.start_program(desktop.state_folder())
        self.addCleanup(self.program.stop)
        # KWin reads desktop files again a moment after they change.
        self.assertEqual(wait_status(self.program, lambda b: b["screen"] == "granted", 15)["screen"], "granted")

    def answers(self, method, path, body=None):
        started = time.monotonic()
        code, answer, _ = self.program.request(method, path, body)
        self.assertLess(time.monotonic() - started, 15, (path, answer))
        return code, answer

    def test_a_desktop_file_taken_away_denies_the_screen_until_it_is_back(self):
        # Something on the screen: a bare headless KWin shows black, which is no picture.
        client = DesktopGtkClient(desktop, "33cc66", "Green")
        self.addCleanup(client.stop)
        os.remove(self.desktop_file)
        body = wait_status(self.program, lambda b: b["screen"] == "denied", 15)
        self.assertEqual(body["screen"], "denied")
        self.assertIn("desktop file", body["screen_detail"])
        code, answer = self.answers("POST", "/screenshot", {})
        self.assertEqual((code, answer["error"]), (403, "screen_denied"), answer)
        desktop.trust(BINARY)
        self.assertEqual(wait_status(self.program, lambda b: b["screen"] == "granted", 15)["screen"], "granted")
        code, answer = self.answers("POST", "/screenshot", {})
        self.assertEqual(code, 200, answer)

    def test_kwin_restarting_gives_errors_then_works_again(self):
        desktop.stop_kwin()
        try:
            for method, path, body in (("POST", "/screenshot", {}), ("GET", "/windows", None),
                                       ("POST", "/execute", {"action": "click", "x": 100, "y": 100}),
                                       ("POST", "/execute", {"action": "type", "text": "ü"})):
                code, answer = self.answers(method, path, body)
                self.assertNotEqual(code, 200, (path, answer))
                self.assertIn("error", answer)
            code, answer = self.answers("GET", "/status")
            self.assertEqual(code, 200, answer)
        finally:
            desktop.start_kwin_again()

        client = DesktopGtkClient(desktop, "33cc66", "Green again")
        self.addCleanup(client.stop)
        deadline = time.monotonic() + 10
        while (found := find_window(screenshot(self.program), GREEN)) is None and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertIsNotNone(found, "the new window is not in the picture")
        _, _, (x, y) = found
        code, answer = self.answers("POST", "/execute", {"action": "click", "x": x, "y": y})
        self.assertEqual(code, 200, answer)
        client.drain(0.3)
        # A character the layout lacks: the clipboard's own connection is back as well.
        code, answer = self.answers("POST", "/execute", {"action": "type", "text": "back ü"})
        self.assertEqual(code, 200, answer)
        texts = [e["text"] for e in client.drain(0.5) if e["event"] == "text"]
        self.assertTrue(texts and texts[-1].endswith("back ü"), texts)
        code, answer = self.answers("GET", "/windows")
        self.assertEqual(code, 200, answer)
        self.assertIn(client.pid, [w["pid"] for w in answer["windows"]], answer)


if __name__ == "__main__":
    unittest.main()
