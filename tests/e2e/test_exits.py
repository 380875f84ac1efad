"""Every way the process ends leaves the desktop as it was: no key is left held down."""

import signal
import subprocess
import unittest

from harness import DesktopCase, Program, XClient

SHIFT, A = 0xFFE1, 0x61


class ExitsLeaveNothingHeld(DesktopCase):
    DESKTOP_SIZE = (1024, 768)
    START_PROGRAM = False

    def held_keys_are_released_when(self, end, extra_args=()):
        """Holds Shift and A through the program, ends it with `end(program)`, and answers
        the exit code and the keys released after the ending began."""
        client = XClient(self.desktop.display, ["Keys:1024x768+0+0:204060"])
        try:
            program = Program(env=self.desktop.env(), extra_args=extra_args)
            try:
                for action in ({"action": "move", "x": 500, "y": 400},
                               {"action": "press", "keys": ["shift", "a"]}):
                    status, body, _ = program.request("POST", "/execute", action)
                    self.assertEqual(status, 200, body)
                client.drain()
                end(program)
                code = program.process.wait(15)
                released = {e["keysym"] for e in client.drain() if e["event"] == "key" and not e["down"]}
                return code, released
            finally:
                program.stop()
        finally:
            client.stop()

    def test_signals_release_held_keys_and_exit_0(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number.name):
                code, released = self.held_keys_are_released_when(lambda p: p.process.send_signal(number))
                self.assertEqual(code, 0)
                self.assertTrue({SHIFT, A} <= released or {SHIFT, ord("A")} <= released, released)

    def test_the_parent_going_away_releases_held_keys(self):
        parent = subprocess.Popen(["sleep", "60"])
        try:
            def end(program):
                parent.kill()
                parent.wait()
            code, released = self.held_keys_are_released_when(end, ["--parent-pid", str(parent.pid)])
            self.assertEqual(code, 0)
            self.assertIn(SHIFT, released)
        finally:
            parent.kill()
            parent.wait()

    def test_quit_releases_held_keys(self):
        code, released = self.held_keys_are_released_when(lambda p: p.request("POST", "/quit"))
        self.assertEqual(code, 0)
        self.assertIn(SHIFT, released)


if __name__ == "__main__":
    unittest.main()
