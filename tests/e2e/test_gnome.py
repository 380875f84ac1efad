"""The program on a GNOME desktop on Wayland (a private headless GNOME Shell with its own
buses, PipeWire and the desktop portals, and the program's shell extension for the window
list), run as the desktop's user. The desktop starts once for the suite: it is the slow
part."""

import base64
import json
import os
import select
import statistics
import subprocess
import sys
import time
import unittest

from gnome import KEY_ESCAPE, GnomeDesktop, HEIGHT, WIDTH
from harness import Program
from pictures import close, decode, pixel

EXTENSION_UUID = "computer-use-windows@velmar.com"
EXTENSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data", "gnome-shell-extension",
                         EXTENSION_UUID)
GTK_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gtk_client.py")
# The height GTK's title bar adds above the content, at most, on this desktop's theme, and
# how far a window's shadow reaches beyond its frame.
TITLE_BAR = 60
SHADOW = 40

desktop = None


def setUpModule():
    global desktop
    desktop = GnomeDesktop(extensions=[EXTENSION])
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



class Client:
    """The GTK test client as the desktop's user: a window of one colour and title, on
    Wayland or, with the shell's X display, on XWayland."""

    def __init__(self, colour, title, env=None, place=None):
        self.colour = tuple(bytes.fromhex(colour))
        self.title = title
        self.process = desktop.spawn_piped(["/usr/bin/python3", GTK_CLIENT, colour, title] + ([place] if place else []),
                                           env={"GSETTINGS_BACKEND": "memory", **(env or {})})
        ready, _, _ = select.select([self.process.stdout], [], [], 15)
        line = self.process.stdout.readline() if ready else ""
        if not line or json.loads(line).get("event") != "ready":
            self.stop()
            raise RuntimeError(f"the GTK client {title!r} did not get ready: {line!r} {desktop.log_tail()}")
        self.pid = json.loads(line)["pid"]

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(5)
        except Exception:
            self.process.kill()
            self.process.wait()


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
                   env={**desktop.base_env, **desktop.x11_env()}, check=True, timeout=30)


def forget_grant():
    """The restore token the program keeps after a grant, so that another test asks anew."""
    token = os.path.join(desktop.home, ".local", "state", "velmar-computer-use", "screen-sharing-token")
    if os.path.exists(token):
        os.unlink(token)


class Windows(unittest.TestCase):
    """The window list and window pictures through the shell extension, with a Wayland and an
    XWayland client on the desktop and the screen shared."""

    @classmethod
    def setUpClass(cls):
        cls.clients = []
        try:
            cls.clients.append(Client("cc3344", "Velmar Wayland"))
            # Where it covers part of the other, so that the pictures show what covers a
            # window (an X client keeps the place it asks for).
            cls.clients.append(Client("33aa55", "Velmar X11", desktop.x11_env(), place="600,300"))
            cls.program = Program(env=desktop.env(), user=desktop.user)
            cls.share_screen(cls.program)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "program", None):
            cls.program.stop()
        for client in cls.clients:
            client.stop()
        forget_grant()

    @staticmethod
    def status(program):
        status, body, _ = program.request("GET", "/status")
        assert status == 200, body
        return body

    @classmethod
    def share_screen(cls, program):
        status, body, _ = program.request("POST", "/request", {"what": "screen"})
        assert status == 200, body
        deadline = time.monotonic() + 10
        while "waiting for the user" not in cls.status(program)["screen_detail"]:
            assert time.monotonic() < deadline, cls.status(program)
            time.sleep(0.1)
        time.sleep(1.5)  # the dialog draws itself
        desktop.hand.share_screen()
        deadline = time.monotonic() + 10
        while (body := cls.status(program))["screen"] != "granted":
            assert time.monotonic() < deadline, body
            time.sleep(0.1)

    def windows(self):
        status, body, _ = self.program.request("GET", "/windows")
        self.assertEqual(status, 200, body)
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
            status, answer, _ = self.program.request("POST", "/window", {"id": entry["id"], "format": "png"})
            print(f"POST /window ({client.title}, PNG): {(time.monotonic() - started) * 1000:.0f} ms", file=sys.stderr)
            self.assertEqual(status, 200, answer)
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
        other = Client("3355cc", "Velmar Minimized", desktop.x11_env(), place="1200,100")
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
            status, body, _ = self.program.request("POST", "/window", {"id": entry["id"]})
            self.assertEqual((status, body["error"]), (500, "screenshot_failed"), body)
            self.assertIn("is not shown", body["message"])
            status, body, _ = self.program.request("POST", "/window", {"id": 999999})
            self.assertEqual((status, body["error"]), (404, "no_window"), body)
        finally:
            other.stop()

    def test_without_the_extension_the_list_is_empty_and_the_detail_says_how_to_enable_it(self):
        self.assertEqual(self.status(self.program)["screen_detail"], "")
        desktop.run(["gnome-extensions", "disable", EXTENSION_UUID])
        try:
            deadline = time.monotonic() + 10
            while (windows := self.windows()) and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertEqual(windows, [])
            body = self.status(self.program)
            self.assertEqual(body["screen"], "granted")
            self.assertIn(f"gnome-extensions enable {EXTENSION_UUID}", body["screen_detail"])
            status, body, _ = self.program.request("POST", "/window", {"id": 1})
            self.assertNotEqual(status, 200, body)
        finally:
            desktop.run(["gnome-extensions", "enable", EXTENSION_UUID])
        deadline = time.monotonic() + 10
        while not self.windows() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(len(self.ours()[1]), 2)
        deadline = time.monotonic() + 5
        while (detail := self.status(self.program)["screen_detail"]) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(detail, "")


if __name__ == "__main__":
    unittest.main()
