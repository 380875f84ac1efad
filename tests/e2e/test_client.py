"""The example client, examples/client.py, run as a parent developer would run it, on a
private desktop and sound server: what it saved decodes, and its input arrived."""

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import BINARY, SoundServer, VirtualDesktop, XClient, _environment
from pictures import decode
from test_input import CONTROL_MASK, presses, typed_text

CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "client.py")
WIDTH, HEIGHT = 1280, 800


def probe(path):
    """The audio stream of a file as ffprobe reads it, and its duration in seconds."""
    done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                           "stream=codec_name,sample_rate,channels:format=duration", "-of", "json", path],
                          capture_output=True, text=True, timeout=30, check=True)
    found = json.loads(done.stdout)
    return found["streams"], float(found["format"]["duration"])


class ExampleClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="velmar-client-out-")
        cls.desktop = VirtualDesktop(WIDTH, HEIGHT)
        cls.sound = cls.window = None
        try:
            cls.sound = SoundServer()
            cls.sound.play_tone(1000)
            cls.window = XClient(cls.desktop.display, [f"Target:{WIDTH}x{HEIGHT}+0+0:336699"])
            env = _environment(dict(cls.desktop.env(), **cls.sound.env()))
            cls.done = subprocess.run([sys.executable, CLIENT, "--binary", BINARY, "--out", cls.out],
                                     capture_output=True, text=True, timeout=180, env=env)
            cls.events = cls.window.drain()
        finally:
            for server in (cls.window, cls.sound, cls.desktop):
                if server:
                    server.stop()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_every_step_succeeded_and_the_program_quit_with_0(self):
        self.assertEqual(self.done.returncode, 0, self.done.stdout + self.done.stderr)
        self.assertIn("quit: the program ended with code 0", self.done.stdout)

    def test_the_screenshot_decodes_at_the_size_of_the_display(self):
        pictures = glob.glob(os.path.join(self.out, "screenshot.*"))
        self.assertEqual(len(pictures), 1, self.done.stderr)
        with open(pictures[0], "rb") as f:
            width, height, _ = decode(f.read())
        self.assertEqual((width, height), (WIDTH, HEIGHT))  # 1,024,000 pixels: within the default budget

    def test_the_click_the_typing_and_the_chord_reached_the_window(self):
        clicks = presses(self.events)
        self.assertEqual([(c["button"], c["x"], c["y"]) for c in clicks], [(1, WIDTH // 2, HEIGHT // 2)])
        self.assertEqual(typed_text(self.events), "Hello from Velmar Computer Usea")
        chord = [k for k in presses(self.events, "key") if k["keysym"] == ord("a") and k["state"] & CONTROL_MASK]
        self.assertEqual(len(chord), 1, self.events)

    def test_the_recording_left_parts_that_decode_as_aac_16000_hz_mono(self):
        audio = os.path.join(self.out, "audio")
        parts = sorted(glob.glob(os.path.join(audio, "part-*.m4a")))
        self.assertTrue(parts, self.done.stdout + self.done.stderr)
        self.assertEqual(glob.glob(os.path.join(audio, "pending", "*")), [])
        total = 0.0
        for part in parts:
            with self.subTest(part=os.path.basename(part)):
                self.assertIn(part, self.done.stdout)  # the client listed it
                streams, duration = probe(part)
                self.assertEqual(streams, [{"codec_name": "aac", "sample_rate": "16000", "channels": 1}])
                decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", part, "-f", "null", "-"],
                                         capture_output=True, text=True, timeout=60)
                self.assertEqual((decoded.returncode, decoded.stderr), (0, ""))
                total += duration
        self.assertGreater(total, 5)  # ten seconds of sound, not an empty shell


if __name__ == "__main__":
    unittest.main()
