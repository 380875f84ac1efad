"""The program on a GNOME desktop on Wayland (a private headless GNOME Shell with its own
buses, PipeWire, the desktop portals and the program's shell extension for the window list),
run as the desktop's user. The user's answers in the desktop's dialogs are the permissions;
a hand at the desktop gives them as a user would. The desktop starts once for the module: it
is the slow part."""

import base64
import os
import signal
import statistics
import subprocess
import sys
import time
import unittest

from gnome import GnomeDesktop, GnomeGtkClient, HEIGHT, WIDTH, status, wait_status
from user_session import find_window, screenshot
from pictures import close, decode, pixel

EXTENSION_UUID = "computer-use-windows@velmar.com"
EXTENSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data", "gnome-shell-extension",
                         EXTENSION_UUID)
# The height GTK's title bar adds above the content, at most, on this desktop's theme, and
# how far a window's shadow reaches beyond its frame.
TITLE_BAR = 60
SHADOW = 40

GREEN = (0x33, 0xcc, 0x66)   # the Wayland client's window
ORANGE = (0xee, 0x88, 0x22)  # the X client's window, on XWayland
CORPUS = "Grüße, café! Ελληνικά Кириллица 中文字 한국어 😀👍 naïve"

desktop = None


def setUpModule():
    global desktop
    desktop = GnomeDesktop(extensions=[EXTENSION])
    print(f"GNOME Shell ready in {desktop.start_seconds:.1f} s", file=sys.stderr)


def tearDownModule():
    desktop.stop()


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


# Minimizes the X window of the process whose id is the argument, as a client asks its window
# manager: through the X server, which mutter hears.
MINIMIZE_X_WINDOW = """
import subprocess, sys
import gi
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import Gdk, GdkX11
pid = sys.argv[1]
clients = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST"], capture_output=True, text=True).stdout
for xid in [int(w.strip(), 16) for w in clients.split("#", 1)[1].split(",")]:
    if subprocess.run(["xprop", "-id", str(xid), "_NET_WM_PID"], capture_output=True, text=True).stdout.split()[-1] == pid:
        display = Gdk.Display.get_default()
        window = GdkX11.X11Window.foreign_new_for_display(display, xid)
        window.iconify()
        display.flush()
        sys.exit(0)
sys.exit(f"no X window of process {pid}")
"""


def minimize_x_window(pid):
    subprocess.run(desktop.as_user(["/usr/bin/python3", "-c", MINIMIZE_X_WINDOW, str(pid)]),
                   env={**desktop.base_env, **desktop.x11_env(), "GDK_BACKEND": "x11"}, check=True, timeout=30)


class Windows(unittest.TestCase):
    """The window list and window pictures through the shell extension, with a Wayland and an
    XWayland client on the desktop and the screen shared."""

    @classmethod
    def setUpClass(cls):
        cls.clients = []
        try:
            cls.clients.append(GnomeGtkClient(desktop, "cc3344", "Velmar Wayland"))
            # Where it covers part of the other, so that the pictures show what covers a
            # window (an X client keeps the place it asks for).
            cls.clients.append(GnomeGtkClient(desktop, "33aa55", "Velmar X11", x11=True, place="600,300"))
            cls.program = desktop.start_program(desktop.state_folder())
            assert desktop.grant_screen(cls.program)["screen"] == "granted"
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "program", None):
            cls.program.stop()
        for client in cls.clients:
            client.stop()

    def windows(self):
        code, body, _ = self.program.request("GET", "/windows")
        self.assertEqual(code, 200, body)
        return body["windows"]

    def ours(self):
        """Our clients' entries, waiting for both to be listed at their size."""
        deadline = time.monotonic() + 10
        while True:
            windows = self.windows()
            entries = {c.pid: next((w for w in windows if w["pid"] == c.pid), None) for c in self.clients}
            if all(e and e["bounds"][2] == 640 for e in entries.values()) or time.monotonic() > deadline:
                return windows, entries
            time.sleep(0.1)

    def test_both_clients_are_listed_with_title_process_and_frame(self):
        windows, entries = self.ours()
        for client in self.clients:
            entry = entries[client.pid]
            self.assertIsNotNone(entry, (client.title, windows))
            self.assertEqual((entry["title"], entry["on_screen"]), (client.title, True))
            x, y, width, height = entry["bounds"]
            # The frame holds GTK's title bar above the 640 x 480 asked for, not the shadow.
            self.assertEqual(width, 640, entry)
            self.assertTrue(480 <= height <= 480 + TITLE_BAR, entry)
            self.assertTrue(0 <= x and x + width <= WIDTH and 0 <= y and y + height <= HEIGHT, entry)
            self.assertTrue(0 < entry["id"] < 2 ** 32, entry)
        self.assertEqual(len({e["id"] for e in entries.values()}), 2)
        # The same ids on the next list: they last the window's life.
        self.assertEqual({c.pid: e["id"] for c, e in zip(self.clients, self.ours()[1].values())},
                         {c.pid: e["id"] for c, e in zip(self.clients, entries.values())})

        # The list is one call into the shell: fast enough to ask for on every step.
        took = []
        for _ in range(20):
            started = time.monotonic()
            self.windows()
            took.append(time.monotonic() - started)
        print("windows: " + ", ".join(f"{e['title']} {e['bounds']}" for e in windows), file=sys.stderr)
        print(f"GET /windows: median {statistics.median(took) * 1000:.1f} ms, most {max(took) * 1000:.1f} ms",
              file=sys.stderr)
        self.assertLess(statistics.median(took), 0.5)

    def test_window_pictures_show_the_window_and_what_covers_it(self):
        windows, entries = self.ours()
        colours = {entries[c.pid]["id"]: c.colour for c in self.clients}
        covered = 0
        for client in self.clients:
            entry = entries[client.pid]
            started = time.monotonic()
            code, answer, _ = self.program.request("POST", "/window", {"id": entry["id"], "format": "png"})
            print(f"POST /window ({client.title}, PNG): {(time.monotonic() - started) * 1000:.0f} ms", file=sys.stderr)
            self.assertEqual(code, 200, answer)
            x, y, width, height = (int(v) for v in entry["bounds"])
            self.assertEqual((answer["width"], answer["height"]), (width, height), answer)
            picture = decode(base64.b64decode(answer["base64"]))
            # Points below the title bar; each shows the frontmost window there (the list
            # goes front to back), this one where nothing covers it.
            points = [(x + width // 2, y + height // 2), (x + 20, y + height - 20), (x + width - 20, y + height - 20),
                      (x + 20, y + TITLE_BAR + 10), (x + width - 20, y + TITLE_BAR + 10)]
            def inside(window, px, py, margin=0):
                wx, wy, ww, wh = window["bounds"]
                return wx - margin <= px < wx + ww + margin and wy - margin <= py < wy + wh + margin

            above = windows[:next(i for i, w in enumerate(windows) if w["id"] == entry["id"])]
            for px, py in points:
                front = next(w for w in windows if inside(w, px, py))
                if front["id"] != entry["id"] and py < front["bounds"][1] + TITLE_BAR:
                    continue  # another window's title bar
                if any(inside(w, px, py, SHADOW) and not inside(w, px, py) for w in above):
                    continue  # another window's shadow
                covered += front["id"] != entry["id"]
                # The screen cast's frames may be a step off in a channel.
                seen = pixel(picture, px - x, py - y)
                self.assertTrue(close(seen, colours.get(front["id"], (-99, -99, -99)), 4),
                                (client.title, (px, py), seen, front["title"], windows))
        self.assertGreater(covered, 0, "the clients were placed to overlap")

    def test_a_minimized_window_leaves_the_list_and_says_why_it_has_no_picture(self):
        # A client of its own, which the test ends rather than restores.
        other = GnomeGtkClient(desktop, "3355cc", "Velmar Minimized", x11=True, place="1200,100")
        try:
            deadline = time.monotonic() + 10
            while not (entry := next((w for w in self.windows() if w["pid"] == other.pid), None)):
                self.assertLess(time.monotonic(), deadline, "the client is listed")
                time.sleep(0.1)
            self.assertEqual((entry["title"], entry["on_screen"]), (other.title, True))
            minimize_x_window(other.pid)
            # The list holds the windows on screen; the id still names the window.
            deadline = time.monotonic() + 10
            while any(w["pid"] == other.pid for w in self.windows()) and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertNotIn(other.pid, [w["pid"] for w in self.windows()])
            code, body, _ = self.program.request("POST", "/window", {"id": entry["id"]})
            self.assertEqual((code, body["error"]), (500, "screenshot_failed"), body)
            self.assertIn("is not shown", body["message"])
            code, body, _ = self.program.request("POST", "/window", {"id": 999999})
            self.assertEqual((code, body["error"]), (404, "no_window"), body)
        finally:
            other.stop()

    def test_without_the_extension_the_list_is_empty_and_the_detail_says_how_to_enable_it(self):
        self.assertEqual(status(self.program)["screen_detail"], "")
        desktop.run(["gnome-extensions", "disable", EXTENSION_UUID])
        try:
            deadline = time.monotonic() + 10
            while (windows := self.windows()) and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertEqual(windows, [])
            body = status(self.program)
            self.assertEqual(body["screen"], "granted")
            self.assertIn(f"gnome-extensions enable {EXTENSION_UUID}", body["screen_detail"])
            code, body, _ = self.program.request("POST", "/window", {"id": 1})
            self.assertNotEqual(code, 200, body)
        finally:
            desktop.run(["gnome-extensions", "enable", EXTENSION_UUID])
        deadline = time.monotonic() + 10
        while not self.windows() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(len(self.ours()[1]), 2)
        deadline = time.monotonic() + 5
        while (detail := status(self.program)["screen_detail"]) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(detail, "")


if __name__ == "__main__":
    unittest.main()
