"""Pictures of a real X display over the real binary: sizes, colours at known places,
formats, the window list, covered windows and a black screen."""

import base64
import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import NO_PULSE, DesktopCase, Program, VirtualDesktop, XClient
from pictures import close, decode, pixel, png_header

RED, GREEN, BLUE = (255, 0, 0), (0, 255, 0), (0, 0, 255)


class Pictures(DesktopCase):
    DESKTOP_ARGS = ["-br"]

    @classmethod
    def start_clients(cls):
        cls.client = cls.keep(XClient(cls.desktop.display, [
            "Red:400x300+100+100:ff0000",
            "Green:300x200+1500+800:00ff00",
            "Blue covers red:200x150+200+150:0000ff",
        ]))

    def picture(self, path, body):
        status, answer, _ = self.program.request("POST", path, body=body)
        self.assertEqual(status, 200, answer)
        data = base64.b64decode(answer["base64"], validate=True)
        return answer, data, decode(data)

    def test_default_screenshot_is_a_budgeted_jpeg_with_true_colours(self):
        answer, data, picture = self.picture("/screenshot", {})
        self.assertEqual((answer["mime"], answer["width"], answer["height"]), ("image/jpeg", 1885, 1060))
        self.assertEqual(answer["screen"], {"width": 1920, "height": 1080})
        self.assertEqual((answer["scale"], answer["capture"]), (1.0, "ScreenCaptureKit"))
        self.assertEqual(picture[:2], (1885, 1060))
        ratio = 1885 / 1920
        for (x, y), colour in {(150, 120): RED, (250, 200): BLUE, (1600, 900): GREEN, (1000, 500): (0, 0, 0)}.items():
            got = pixel(picture, int(x * ratio), int(y * ratio))
            self.assertTrue(close(got, colour, 24), f"{(x, y)}: {got} is not {colour}")

    def test_full_size_png_is_exact_and_opaque(self):
        answer, data, picture = self.picture("/screenshot", {"format": "png", "max_pixels": 50_000_000})
        self.assertEqual((answer["mime"], answer["width"], answer["height"]), ("image/png", 1920, 1080))
        self.assertEqual(png_header(data), (1920, 1080, 8, 2))  # RGB: no needless alpha channel
        for (x, y), colour in {(100, 100): RED, (499, 399): RED, (200, 150): BLUE, (399, 299): BLUE,
                               (1500, 800): GREEN, (99, 100): (0, 0, 0), (500, 100): (0, 0, 0)}.items():
            self.assertEqual(pixel(picture, x, y), colour, (x, y))

    def test_pictures_after_changes_are_those_of_a_program_that_kept_nothing(self):
        """The program keeps each picture's work for the next and redoes only what changed.
        Windows appear and go between pictures; each answer equals, byte for byte, that of a
        program that has kept nothing, and the screen they leave is seen as it is again."""
        bodies = [{}, {"format": "png", "max_pixels": 50_000_000}]
        for body in bodies:
            self.picture("/screenshot", body)
        extra = XClient(self.desktop.display, ["Clock:200x200+1600+60:ffff00", "Typed line:600x14+300+540:8080ff"])
        try:
            answers = [self.picture("/screenshot", body) for body in bodies]
            with Program(env=dict(self.desktop.env(), **NO_PULSE)) as fresh:
                for body, (_, data, _) in zip(bodies, answers):
                    status, answer, _ = fresh.request("POST", "/screenshot", body=body)
                    self.assertEqual(status, 200, answer)
                    self.assertEqual(data, base64.b64decode(answer["base64"]), body)
            self.assertEqual(pixel(answers[1][2], 1700, 160), (255, 255, 0))
            self.assertEqual(pixel(answers[1][2], 500, 545), (128, 128, 255))
        finally:
            extra.stop()
        # The server takes the windows away once it has seen the client go.
        for _ in range(50):
            _, _, picture = self.picture("/screenshot", bodies[1])
            if pixel(picture, 1700, 160) == (0, 0, 0):
                break
            time.sleep(0.1)
        self.assertEqual((pixel(picture, 1700, 160), pixel(picture, 500, 545)), ((0, 0, 0), (0, 0, 0)))

    def test_a_moving_pointer_leaves_no_trace(self):
        """The pointer is drawn into the pictures. Moved between two, small steps and large,
        it shows where it is now and nowhere else: each picture equals that of a program that
        has kept nothing."""
        body = {"format": "png", "max_pixels": 50_000_000}
        self.picture("/screenshot", body)
        for x, y in [(700, 400), (703, 401), (700, 400), (1919, 1079), (0, 0)]:
            status, _, _ = self.program.request("POST", "/execute", {"action": "move", "x": x, "y": y})
            self.assertEqual(status, 200)
            _, data, _ = self.picture("/screenshot", body)
            with Program(env=dict(self.desktop.env(), **NO_PULSE)) as fresh:
                status, answer, _ = fresh.request("POST", "/screenshot", body=body)
            self.assertEqual(status, 200, answer)
            self.assertEqual(data, base64.b64decode(answer["base64"]), (x, y))

    def test_explicit_size(self):
        answer, _, picture = self.picture("/screenshot", {"width": 640, "height": 360, "format": "png"})
        self.assertEqual((answer["width"], answer["height"], picture[:2]), (640, 360, (640, 360)))
        self.assertEqual(pixel(picture, 1600 // 3, 900 // 3), GREEN)

    def test_window_list_and_a_covered_window_comes_out_whole(self):
        status, answer, _ = self.program.request("GET", "/windows")
        self.assertEqual(status, 200, answer)
        titles = {w["title"]: w for w in answer["windows"]}
        for title, wid in self.client.ids.items():
            self.assertIn(title, titles)
            self.assertEqual(titles[title]["id"], wid)
        self.assertEqual(titles["Red"]["bounds"], [100, 100, 400, 300])

        answer, data, picture = self.picture("/window", {"id": self.client.ids["Red"]})
        self.assertEqual((answer["mime"], answer["width"], answer["height"]), ("image/png", 400, 300))
        self.assertEqual(answer["window"], {"id": self.client.ids["Red"], "x": 100, "y": 100, "width": 400, "height": 300})
        for x, y in ((0, 0), (150, 100), (399, 299), (200, 120)):  # (150, 100) lies under the blue window
            self.assertEqual(pixel(picture, x, y), RED, (x, y))

        answer, _, picture = self.picture("/window", {"id": self.client.ids["Green"], "format": "jpeg", "max_pixels": 15000})
        self.assertEqual((answer["mime"], answer["width"], answer["height"]), ("image/jpeg", 150, 100))
        self.assertTrue(close(pixel(picture, 75, 50), GREEN, 24))

    def test_unknown_window(self):
        status, answer, _ = self.program.request("POST", "/window", body={"id": 4242})
        self.assertEqual((status, answer), (404, {"error": "no_window", "message": "no window with id 4242 is on screen"}))


class BlackScreen(unittest.TestCase):
    BLACK = {"error": "screen_denied", "message": "the picture is black \u2014 Screen Recording is off for Velmar Computer Use"}

    def test_a_black_screen_is_refused_with_or_without_the_pointer_on_it(self):
        with VirtualDesktop(1024, 768, extra_args=["-br"]) as desktop, tempfile.TemporaryDirectory() as d, \
                Program(env=dict(desktop.env(), **NO_PULSE)) as program:
            # Xvfb's own pointer, a white-edged cross in the middle, is drawn into display
            # pictures: the screen under it is black all the same.
            status, answer, _ = program.request("POST", "/screenshot", body={"format": "png"})
            self.assertEqual((status, answer), (403, self.BLACK))

            # An empty pointer leaves nothing lit at all.
            empty = os.path.join(d, "empty.xbm")
            with open(empty, "w") as f:
                f.write("#define e_width 8\n#define e_height 8\n#define e_x_hot 0\n#define e_y_hot 0\n"
                        "static unsigned char e_bits[] = {\n 0, 0, 0, 0, 0, 0, 0, 0 };\n")
            subprocess.run(["xsetroot", "-cursor", empty, empty], env=dict(os.environ, **desktop.env()), check=True)
            status, answer, _ = program.request("POST", "/screenshot", body={})
            self.assertEqual((status, answer), (403, self.BLACK))

    def test_a_small_window_beside_the_pointer_is_a_picture(self):
        # Lit pixels near the pointer that stay when the pointer is left out: not black.
        with VirtualDesktop(1024, 768, extra_args=["-br"]) as desktop, \
                XClient(desktop.display, ["Dot:24x24+530+400:ffffff"]), \
                Program(env=dict(desktop.env(), **NO_PULSE)) as program:
            status, answer, _ = program.request("POST", "/screenshot", body={"format": "png"})
            self.assertEqual(status, 200, answer)


class PrivateDesktop(unittest.TestCase):
    def test_the_run_commands_desktop_shows_something(self):
        # On a machine without a display, scripts/run.sh starts this desktop; the README's
        # example session takes a picture of it first, which must not read as all black.
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "private-desktop.sh")
        with tempfile.TemporaryDirectory() as d:
            started = subprocess.run(
                ["bash", "-c", 'children=(); source "$0"; start_private_desktop "$1"; echo "$DISPLAY ${children[*]}"',
                 script, d], capture_output=True, text=True, timeout=60, env=dict(os.environ, DISPLAY=""))
            self.assertEqual(started.returncode, 0, started.stderr)
            display, *pids = started.stdout.split()
            try:
                self.assertEqual(len(pids), 3, started.stdout)
                with Program(env={"DISPLAY": display, **NO_PULSE}) as program:
                    status, answer, _ = program.request(
                        "POST", "/screenshot", body={"format": "png", "max_pixels": 500000})
                    self.assertEqual(status, 200, answer)
                    self.assertEqual((answer["width"], answer["height"]), (942, 530))
                    status, answer, _ = program.request("GET", "/windows")
                    self.assertEqual(status, 200, answer)
                    self.assertEqual(sorted(w["app"] for w in answer["windows"]), ["XClock", "XTerm"])
            finally:
                for pid in map(int, pids):
                    try:
                        os.kill(pid, signal.SIGTERM)
                    except ProcessLookupError:
                        pass


if __name__ == "__main__":
    unittest.main()
