"""Screen capture on a real X server: status, window list, display and window pictures,
and a server that goes away and comes back."""

import json
import os
import random
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import BUILD_DIR, NO_PULSE, Program, VirtualDesktop, XClient, _environment

PROBE = os.path.join(BUILD_DIR, "velmar-x11-probe")


def read_line(process, timeout, what):
    fd = process.stdout.fileno()
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            raise RuntimeError(f"{what} did not answer within {timeout} s")
        chunk = os.read(fd, 1)
        if not chunk:
            raise RuntimeError(f"{what} exited: {process.stderr.read().decode(errors='replace')!r}")
        data += chunk
    return json.loads(data)


class Probe:
    """The X11 platform in a process of its own, one command a line."""

    def __init__(self, display, extra_env=None):
        env = {"DISPLAY": display}
        env.update(extra_env or NO_PULSE)
        self.process = subprocess.Popen([PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=_environment(env))
        self.dir = tempfile.mkdtemp(prefix="velmar-probe-")

    def ask(self, command, timeout=15):
        self.process.stdin.write((command if isinstance(command, bytes) else command.encode()) + b"\n")
        self.process.stdin.flush()
        return read_line(self.process, timeout, "velmar-x11-probe")

    def picture(self, command):
        path = os.path.join(self.dir, "picture.raw")
        answer = self.ask(command.replace("PATH", path))
        if "error" in answer:
            return answer, None
        with open(path, "rb") as f:
            return answer, Picture(answer["width"], answer["height"], f.read())

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Picture:
    def __init__(self, width, height, data):
        assert len(data) == width * height * 4
        self.width, self.height, self.data = width, height, data

    def rgb(self, x, y):
        b, g, r, _ = self.data[(y * self.width + x) * 4:(y * self.width + x) * 4 + 4]
        return f"{r:02x}{g:02x}{b:02x}"

    def colours(self, left, top, width, height):
        return {self.rgb(x, y) for y in range(top, top + height) for x in range(left, left + width)}

    def alphas(self):
        return set(self.data[3::4])


class FixedDisplay:
    """Xvfb on a display number chosen by the test, so that it can be started again there."""

    def __init__(self, number, width, height):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        # The server writes the number and the line feed apart, and dies if the pipe is
        # closed in between: read up to the line feed.
        reported = b""
        deadline = time.monotonic() + 10
        while not reported.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                break
            reported += chunk
        os.close(read_end)
        self.display = f":{number}"
        if not reported.strip() or not self.answers(number):
            self.stop()
            raise RuntimeError(f"Xvfb {self.display} did not start")

    def answers(self, number):
        with socket.socket(socket.AF_UNIX) as s:
            try:
                s.connect(f"/tmp/.X11-unix/X{number}")
            except OSError:
                return False
        return self.process.poll() is None

    @staticmethod
    def unused_number():
        """A number far from the low ones that -displayfd hands out to other tests."""
        for _ in range(100):
            number = random.randrange(300, 1000)
            if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                return number
        raise RuntimeError("no free X display number")

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class CaptureOnXvfb(unittest.TestCase):
    def setUp(self):
        self.desktop = VirtualDesktop(1600, 900)
        self.addCleanup(self.desktop.stop)

    def client(self, windows, **options):
        client = XClient(self.desktop.display, windows, **options)
        self.addCleanup(client.stop)
        return client

    def probe(self, extra_env=None):
        probe = Probe(self.desktop.display, extra_env)
        self.addCleanup(probe.stop)
        return probe

    def test_status_reports_the_display_and_the_permissions(self):
        with Program(env={"DISPLAY": self.desktop.display, **NO_PULSE}) as program:
            status, body, _ = program.request("GET", "/status")
        self.assertEqual(status, 200)
        self.assertEqual(body["display"], {"width": 1600, "height": 900, "scale": 1.0})
        self.assertEqual((body["screen"], body["screen_detail"]), ("granted", ""))
        self.assertEqual(body["capture"], "ScreenCaptureKit")
        self.assertIs(body["accessibility"], True)
        self.assertEqual(body["microphone"], "unknown")

    def test_status_without_a_reachable_display(self):
        with Program(env={"DISPLAY": ":65001", **NO_PULSE}) as program:
            status, body, _ = program.request("GET", "/status")
        self.assertEqual(status, 200)
        self.assertEqual(body["display"], {"width": 0, "height": 0, "scale": 1.0})
        self.assertEqual(body["screen"], "denied")
        self.assertIs(body["accessibility"], False)

    def test_window_list_names_the_clients_windows_front_to_back(self):
        client = self.client(["Plain:200x100+10+20:ff0000", 'Grüße "quoted": ok:300x200+400+50:00ff00'])
        answer = self.probe().ask("content 1 0")
        self.assertTrue(answer["other_thread"], "completions must not run on the caller's thread")
        self.assertEqual(len(answer["displays"]), 1)
        self.assertEqual((answer["displays"][0]["width"], answer["displays"][0]["height"]), (1600, 900))
        windows = answer["windows"]
        # The window mapped last is on top, and the list is front to back.
        self.assertEqual([w["title"] for w in windows], ['Grüße "quoted": ok', "Plain"])
        expected = {
            "Plain": [10.0, 20.0, 200.0, 100.0],
            'Grüße "quoted": ok': [400.0, 50.0, 300.0, 200.0],
        }
        for window in windows:
            self.assertEqual(window["id"], client.ids[window["title"]])
            self.assertEqual(window["frame"], expected[window["title"]])
            self.assertEqual(window["pid"], client.pid)
            # The identifier is WM_CLASS's class, the application's own; not the instance.
            self.assertEqual((window["app"], window["bundle_id"]), ("VelmarTestXclient", "VelmarTestXclient"))
            self.assertEqual((window["layer"], window["on_screen"]), (0, True))
        # A picture of the whole display lists the displays alone: the same, without windows.
        displays = self.probe().ask("displays")
        self.assertTrue(displays["other_thread"])
        self.assertEqual((displays["displays"], displays["windows"]), (answer["displays"], []))

    def test_texts_that_are_not_utf8_come_out_as_utf8(self):
        client = self.client(["Stray:100x100+0+0:ff0000", "Long:100x100+200+0:00ff00", "Plain:100x100+400+0:0000ff"])
        probe = self.probe()
        # Any client can set any bytes: a stray byte, an overlong form, a surrogate.
        stray = b"ok\xffgo\xc0\xafx\xed\xa0\x80!"
        probe.ask(f"set-property {client.ids['Stray']} _NET_WM_NAME UTF8_STRING {stray.hex()}")
        # A title longer than is read (16 KiB) is cut inside a character.
        long = ("a" + "\u00e9" * 9000).encode()
        probe.ask(f"set-property {client.ids['Long']} _NET_WM_NAME UTF8_STRING {long.hex()}")
        # WM_NAME in UTF-8 is read as such, when there is no _NET_WM_NAME.
        plain = client.ids["Plain"]
        probe.ask(f"set-property {plain} _NET_WM_NAME STRING 41")
        unfinished = b"caf\xc3"
        probe.ask(f"set-property {plain} WM_NAME UTF8_STRING {unfinished.hex()}")
        expected = {
            "Stray": "ok\ufffdgo\ufffd\ufffdx\ufffd\ufffd\ufffd!",
            "Long": "a" + "\u00e9" * 8191,
            "Plain": "caf\ufffd",
        }
        titles = {w["id"]: w["title"] for w in probe.ask("content 1 0")["windows"]}
        self.assertEqual({title: titles[wid] for title, wid in client.ids.items()}, expected)
        # Through the program, the whole list comes out, not an empty success.
        with Program(env={"DISPLAY": self.desktop.display, **NO_PULSE}) as program:
            status, body, _ = program.request("GET", "/windows")
        self.assertEqual(status, 200, body)
        titles = {w["id"]: w["title"] for w in body["windows"]}
        self.assertEqual({title: titles[wid] for title, wid in client.ids.items()}, expected)

    def test_bundle_id_is_the_applications_own_on_both_paths(self):
        # One client process for each way an application names itself: the identifier of a
        # process is one on the older path.
        published = {
            "Gtk": ("_GTK_APPLICATION_ID", "UTF8_STRING", "org.example.Gtk", "org.example.Gtk"),
            "Kde": ("_KDE_NET_WM_DESKTOP_FILE", "UTF8_STRING", "org.example.Kde", "org.example.Kde"),
            "Bamf": ("BAMF_DESKTOP_FILE", "STRING", "/usr/share/applications/org.example.Bamf.desktop",
                     "org.example.Bamf"),
            # The instance changes with -name; the class does not.
            "Renamed": ("WM_CLASS", "STRING", "renamed\0VelmarTestXclient\0", "VelmarTestXclient"),
        }
        clients = {title: self.client([f"{title}:50x50+{60 * i}+0:ff0000"]) for i, title in enumerate(published)}
        plain = self.client(["Plain:50x50+0+100:00ff00"])
        probe = self.probe()
        for title, (name, kind, value, _) in published.items():
            probe.ask(f"set-property {clients[title].ids[title]} {name} {kind} {value.encode().hex()}")
        expected = {title: bundle for title, (_, _, _, bundle) in published.items()}
        expected["Plain"] = "VelmarTestXclient"
        framework = {w["title"]: (w["pid"], w["bundle_id"]) for w in probe.ask("content 1 1")["windows"]}
        self.assertEqual({title: framework[title][1] for title in expected}, expected)
        legacy = probe.ask("window-server")
        for title in expected:
            pid = framework[title][0]
            self.assertEqual(legacy["bundle_ids"][str(pid)], expected[title], title)
        self.assertEqual(framework["Plain"][0], plain.pid)
        with Program(env={"DISPLAY": self.desktop.display, **NO_PULSE}) as program:
            status, body, _ = program.request("GET", "/windows")
        self.assertEqual(status, 200, body)
        self.assertEqual({w["title"]: w["bundle_id"] for w in body["windows"] if w["title"] in expected}, expected)

    def test_window_manager_lists_win_over_the_bare_server(self):
        plain = self.client(["Bare:100x100+0+0:0000ff"])
        managed = self.client(["Managed A:100x100+200+0:ff0000", "Managed B:100x100+400+0:00ff00"],
                              set_wm_state=True)
        probe = self.probe()
        # Windows carrying WM_STATE mean a window manager: the bare window is not listed.
        titles = [w["title"] for w in probe.ask("content 1 0")["windows"]]
        self.assertEqual(titles, ["Managed B", "Managed A"])
        # A published stacking order (bottom to top) beats both; a listed window that no
        # longer exists is left out.
        # WM_NAME in its own Latin-1 comes out as UTF-8.
        hidden = probe.ask("unmapped Caf\xe9".encode("latin-1"))["window"]
        order = [managed.ids["Managed B"], hidden, plain.ids["Bare"], 0x7ffffff0, managed.ids["Managed A"]]
        self.assertEqual(probe.ask("set-stacking " + " ".join(map(str, order))), {"ok": True})
        titles = [w["title"] for w in probe.ask("content 1 0")["windows"]]
        self.assertEqual(titles, ["Managed A", "Bare", "Managed B"])
        # Asked for off-screen windows too, the unmapped one is listed, marked off screen.
        windows = probe.ask("content 0 0")["windows"]
        self.assertEqual([(w["title"], w["on_screen"]) for w in windows],
                         [("Managed A", True), ("Bare", True), ("Café", False), ("Managed B", True)])
        self.assertEqual(windows[2]["frame"], [30.0, 40.0, 50.0, 60.0])
        # Without _NET_WM_PID the X server still knows which local client made the window.
        self.assertEqual((windows[2]["pid"], windows[2]["app"]), (probe.process.pid, ""))

    def test_client_windows_are_found_inside_window_manager_frames(self):
        framed = self.client(["Framed:200x100+0+0:ff0000"], set_wm_state=True)
        probe = self.probe()
        frame = probe.ask(f"frame {framed.ids['Framed']} 100 100")["frame"]
        cover = self.client(["Cover:200x200+150+150:00ff00"], set_wm_state=True)
        windows = probe.ask("content 1 0")["windows"]
        # The client, not its frame, is listed, where it is on the root: frame origin, frame
        # border 2, offset (5, 20) inside the frame.
        self.assertEqual([(w["id"], w["title"]) for w in windows],
                         [(cover.ids["Cover"], "Cover"), (framed.ids["Framed"], "Framed")])
        self.assertEqual(windows[1]["frame"], [107.0, 122.0, 200.0, 100.0])
        self.assertNotIn(frame, [w["id"] for w in windows])
        # Covered and framed, it still comes out whole and alone.
        _, picture = probe.picture(f"window {framed.ids['Framed']} PATH")
        self.assertEqual((picture.width, picture.height), (200, 100))
        self.assertEqual(picture.colours(0, 0, 200, 100), {"ff0000"})
        _, screen = probe.picture("display PATH 0")
        self.assertEqual((screen.rgb(110, 110), screen.rgb(110, 130), screen.rgb(200, 200)), ("808080", "ff0000", "00ff00"))

    def test_display_capture_shows_the_windows_colours_where_they_are(self):
        self.client(["Red:200x100+10+20:ff0000", "Green:300x200+400+50:00ff00", "Blue:50x50+1550+850:0000ff"])
        answer, picture = self.probe().picture("display PATH 0")
        self.assertTrue(answer["other_thread"])
        self.assertEqual((picture.width, picture.height), (1600, 900))
        self.assertEqual(picture.colours(10, 20, 200, 100), {"ff0000"})
        self.assertEqual(picture.colours(400, 50, 300, 200), {"00ff00"})
        self.assertEqual(picture.colours(1550, 850, 50, 50), {"0000ff"})
        # Just outside each window: the root's black.
        for x, y in [(9, 20), (210, 20), (10, 19), (10, 120), (1549, 849)]:
            self.assertEqual(picture.rgb(x, y), "000000", (x, y))
        # The server leaves the fourth byte of a 24-bit screen undefined; the picture is opaque.
        self.assertEqual(picture.alphas(), {255})

    def test_display_capture_at_a_requested_size(self):
        self.client(["Red:200x100+10+20:ff0000"])
        _, picture = self.probe().picture("display PATH 0 800 450")
        self.assertEqual((picture.width, picture.height), (800, 450))
        self.assertEqual(picture.colours(6, 11, 98, 48), {"ff0000"})
        self.assertEqual(picture.rgb(120, 20), "000000")

    def test_cursor_is_drawn_only_when_asked(self):
        # A fresh Xvfb holds the pointer at the centre of the screen.
        self.client(["Under the pointer:400x400+600+250:ffffff"])
        probe = self.probe()
        _, without = probe.picture("display PATH 0")
        _, with_cursor = probe.picture("display PATH 1")
        self.assertEqual(without.colours(700, 350, 200, 200), {"ffffff"})
        self.assertGreater(len(with_cursor.colours(770, 420, 60, 60)), 1)
        self.assertEqual(with_cursor.colours(600, 250, 100, 100), {"ffffff"}, "only the cursor's place changes")

    def test_covered_window_captures_whole(self):
        client = self.client(["Below:300x200+100+100:ff0000", "Above:200x200+250+150:00ff00"])
        probe = self.probe()
        answer, picture = probe.picture(f"window {client.ids['Below']} PATH")
        self.assertEqual((picture.width, picture.height), (300, 200))
        self.assertEqual(picture.colours(0, 0, 300, 200), {"ff0000"})
        _, screen = probe.picture("display PATH 0")
        self.assertEqual(screen.rgb(300, 200), "00ff00", "the cover is on screen")

    def test_window_capture_of_an_unknown_window_fails_cleanly(self):
        answer, picture = self.probe().picture("window 123456789 PATH")
        self.assertIsNone(picture)
        self.assertIn("error", answer)


class ServerRestart(unittest.TestCase):
    def test_next_call_after_the_server_came_back_works(self):
        number = FixedDisplay.unused_number()
        server = FixedDisplay(number, 1280, 720)
        self.addCleanup(lambda: server.stop())
        display = server.display
        probe = Probe(display)
        self.addCleanup(probe.stop)
        program = Program(env={"DISPLAY": display, **NO_PULSE})
        self.addCleanup(program.stop)

        client = XClient(display, ["Before:100x100+0+0:ff0000"])
        self.assertEqual([w["title"] for w in probe.ask("content 1 0")["windows"]], ["Before"])
        self.assertEqual(program.request("GET", "/status")[1]["display"], {"width": 1280, "height": 720, "scale": 1.0})
        client.stop()

        # The server dies without warning; calls fail while it is gone, and do not hang.
        server.stop(signal.SIGKILL)
        self.assertIn("error", probe.ask("content 1 0"))
        status = program.request("GET", "/status")[1]
        self.assertEqual((status["screen"], status["display"]["width"]), ("denied", 0))

        server = FixedDisplay(number, 1024, 768)
        client = XClient(display, ["After:120x80+5+6:00ff00"])
        self.addCleanup(client.stop)
        windows = probe.ask("content 1 0")["windows"]
        self.assertEqual([(w["title"], w["frame"]) for w in windows], [("After", [5.0, 6.0, 120.0, 80.0])])
        _, picture = probe.picture("display PATH 0")
        self.assertEqual(picture.colours(5, 6, 120, 80), {"00ff00"})
        status = program.request("GET", "/status")[1]
        self.assertEqual(status["display"], {"width": 1024, "height": 768, "scale": 1.0})
        self.assertEqual(status["screen"], "granted")


class Microphone(unittest.TestCase):
    def test_granted_when_a_pulseaudio_server_answers(self):
        if not shutil.which("pulseaudio"):
            self.fail("pulseaudio is not installed (Debian package pulseaudio)")
        root = tempfile.mkdtemp(prefix="velmar-pulse-")
        self.addCleanup(shutil.rmtree, root, True)
        for name in ("home", "run", "state"):
            os.mkdir(os.path.join(root, name))
        socket_path = os.path.join(root, "run", "native")
        script = os.path.join(root, "default.pa")
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={socket_path}\n"
                    "load-module module-null-sink sink_name=velmar_sink\nset-default-sink velmar_sink\n")
        daemon = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "-F", script], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=_environment({"HOME": os.path.join(root, "home"), "XDG_RUNTIME_DIR": os.path.join(root, "run"),
                              "PULSE_RUNTIME_PATH": os.path.join(root, "run"),
                              "PULSE_STATE_PATH": os.path.join(root, "state")}))
        self.addCleanup(lambda: (daemon.terminate(), daemon.wait(5)))
        deadline = time.monotonic() + 10
        while not os.path.exists(socket_path):
            if daemon.poll() is not None or time.monotonic() > deadline:
                self.fail("the PulseAudio daemon did not start")
            time.sleep(0.05)
        with VirtualDesktop(320, 240) as desktop:
            probe = Probe(desktop.display, {"PULSE_SERVER": "unix:" + socket_path})
            self.addCleanup(probe.stop)
            self.assertEqual(probe.ask("privacy"), {"screen": True, "accessibility": True, "microphone": 3})
            daemon.terminate()
            daemon.wait(5)
            time.sleep(1.1)  # an answer is kept for a second
            self.assertEqual(probe.ask("privacy")["microphone"], 0)


if __name__ == "__main__":
    unittest.main()
