"""POST /execute against a real X server: what the test client's window receives."""

import subprocess
import unittest

from harness import Program, VirtualDesktop, XClient

WIDTH, HEIGHT = 1280, 800

SHIFT_MASK, CONTROL_MASK, BUTTON1_MASK = 0x1, 0x4, 0x100
MODIFIER_KEYSYMS = set(range(0xFFE1, 0xFFEF)) | {0xFE03}  # Shift ... Hyper, ISO_Level3_Shift


def character_of(keysym):
    """The character a keysym types, or None for keys that type none."""
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    if 0x01000100 <= keysym <= 0x0110FFFF:
        return chr(keysym - 0x01000000)
    return {0xFF0D: "\n", 0xFF09: "\t", 0x20AC: "\u20ac"}.get(keysym)


def Client(env):
    """The test client with one window over the whole screen."""
    return XClient(env["DISPLAY"], [f"Input:{WIDTH}x{HEIGHT}+0+0:336699"])


def typed_text(events):
    """The characters that the key presses typed, as an application reads them."""
    out = []
    for event in events:
        if event["event"] == "key" and event["down"] and event["keysym"] not in MODIFIER_KEYSYMS:
            out.append(character_of(event["keysym"]) or f"<{event['keysym']:#x}>")
    return "".join(out)


def presses(events, kind="button"):
    return [e for e in events if e["event"] == kind and e["down"]]


class InputOnX(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = VirtualDesktop(WIDTH, HEIGHT)
        try:
            cls.set_layout("us")
            cls.client = Client(cls.desktop.env())
            cls.program = Program(env=cls.desktop.env())
        except Exception:
            cls.desktop.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()
        cls.client.stop()
        cls.desktop.stop()

    @classmethod
    def set_layout(cls, layout):
        subprocess.run(["setxkbmap", "-display", cls.desktop.display, layout], check=True, timeout=30)

    def keymap(self):
        """The server's keymap symbols, one line per key that has any."""
        dump = subprocess.run(["xkbcomp", "-xkb", self.desktop.display, "-"], capture_output=True, text=True,
                              check=True, timeout=30).stdout
        section = dump[dump.index("xkb_symbols"):]
        return {line.strip() for line in section.splitlines() if line.strip().startswith("key ")}

    def execute(self, action):
        status, body, _ = self.program.request("POST", "/execute", action)
        self.assertEqual((status, body), (200, {"ok": True, "note": ""}), action)

    def setUp(self):
        # Start each test with the pointer inside the window, which then has the focus.
        self.execute({"action": "move", "x": 640, "y": 400})
        self.client.drain()

    def test_click_lands_at_the_clamped_point_with_its_button(self):
        for action, x, y, button, at in [("click", -50, 5000, 1, (0, HEIGHT - 1)),
                                         ("right_click", 300, 200, 3, (300, 200)),
                                         ("middle_click", 5000, "10", 2, (WIDTH - 1, 10))]:
            with self.subTest(action=action):
                self.execute({"action": action, "x": x, "y": y})
                events = self.client.events_until(lambda es: len([e for e in es if e["event"] == "button"]) >= 2)
                buttons = [e for e in events if e["event"] == "button"]
                self.assertEqual([(e["down"], e["button"], e["root_x"], e["root_y"]) for e in buttons],
                                 [(True, button, *at), (False, button, *at)])

    def test_double_click_is_two_presses_close_together(self):
        self.execute({"action": "double_click", "x": 100, "y": 100})
        events = self.client.events_until(lambda es: len([e for e in es if e["event"] == "button"]) >= 4)
        down = presses(events)
        self.assertEqual([e["button"] for e in down], [1, 1])
        self.assertLess(down[1]["time"] - down[0]["time"], 400)

    def test_drag_is_press_motion_path_release(self):
        self.execute({"action": "left_click_drag", "x": 100, "y": 100, "x2": 340, "y2": 220})
        events = self.client.events_until(lambda es: any(e["event"] == "button" and not e["down"] for e in es))
        kinds = [e["event"] for e in events if e["event"] != "motion" or e["state"] & BUTTON1_MASK]
        self.assertEqual(kinds[0], "button")
        self.assertEqual(kinds[-1], "button")
        path = [(e["root_x"], e["root_y"]) for e in events if e["event"] == "motion" and e["state"] & BUTTON1_MASK]
        self.assertGreaterEqual(len(path), 10)
        self.assertEqual(path[-1], (340, 220))
        self.assertEqual(path, sorted(path))
        self.assertEqual((events[-1]["root_x"], events[-1]["root_y"], events[-1]["button"]), (340, 220, 1))

    def test_scroll_as_wheel_clicks(self):
        for dy, button, clicks in [(300, 5, 3), (-250, 4, 3), (-50, 4, 1), (30, None, 0)]:
            with self.subTest(dy=dy):
                self.execute({"action": "scroll", "dy": dy})
                wheel = presses(self.client.drain())
                self.assertEqual([e["button"] for e in wheel], [button] * clicks)

    def check_typing(self, text):
        self.execute({"action": "type", "text": text})
        events = self.client.events_until(lambda es: len(typed_text(es)) >= len(text), timeout=15)
        events += self.client.drain()
        self.assertEqual(typed_text(events), text)

    def test_typing_under_several_layouts_leaves_the_layout_alone(self):
        mixed = "Hello é ß ñ Ü É 漢字 😀 Wörld\tok\n"
        many = "àáâãäåæçèéêëìíîïðñòóôõöøùúûüýþÿĀāĂăĄąĆćĈĉĊċČčĎďĐđĒēĔĕĖė"
        try:
            for layout in ["us", "de"]:
                with self.subTest(layout=layout):
                    self.set_layout(layout)
                    self.client.drain()
                    before = self.keymap()
                    self.check_typing(mixed)
                    self.check_typing(many)
                    self.check_typing("ÜüÄäÖöß@€|~{}[]")
                    after = self.keymap()
                    self.assertEqual(before - after, set(), "a key of the layout was changed")
        finally:
            self.set_layout("us")
            self.client.drain()

    def test_more_characters_than_spare_keycodes_arrive_exactly(self):
        # Far more distinct missing characters than the server has spare keycodes, so
        # levels are rebound while earlier ones are still being read: nothing may be lost
        # or doubled, within one request and across requests typed back to back.
        cased = "".join(chr(c) for c in range(0x100, 0x180))
        uncased = "".join(chr(c) for c in range(0x4E00, 0x4E40))
        try:
            for layout in ["us", "de"]:
                with self.subTest(layout=layout):
                    self.set_layout(layout)
                    self.client.drain()
                    self.check_typing(cased + uncased)
                    self.check_typing(uncased[::-1] + cased[::2])
        finally:
            self.set_layout("us")
            self.client.drain()

    def test_text_is_typed_as_given_under_shift_and_caps_lock(self):
        text = "abc ÄÖü xyz é漢 1/2"
        try:
            self.execute({"action": "press", "keys": ["shift"]})
            self.client.drain()
            self.check_typing(text)
        finally:
            self.execute({"action": "release", "keys": ["shift"]})
        self.execute({"action": "hotkey", "keys": ["capslock"]})
        try:
            self.client.drain()
            self.check_typing(text)
            # Caps Lock is still on afterwards: a named key reads it.
            self.execute({"action": "hotkey", "keys": ["a"]})
            self.assertEqual(typed_text(self.client.drain()), "A")
        finally:
            self.execute({"action": "hotkey", "keys": ["capslock"]})
            self.client.drain()

    def test_chord_of_cmd_shift_4_is_control_shift_4(self):
        self.execute({"action": "hotkey", "keys": ["cmd", "shift", "4"]})
        events = [e for e in self.client.drain() if e["event"] == "key"]
        downs = [e for e in events if e["down"]]
        self.assertEqual(len(downs), 3)
        self.assertIn(downs[2]["keysym"], (0x34, 0x24))  # the 4 key, read with Shift or not
        self.assertEqual(downs[2]["state"] & (SHIFT_MASK | CONTROL_MASK), SHIFT_MASK | CONTROL_MASK)
        self.assertEqual(len([e for e in events if not e["down"]]), 3)

    def test_held_shift_shapes_a_later_click_until_released(self):
        self.execute({"action": "press", "keys": ["shift"]})
        self.execute({"action": "click", "x": 50, "y": 60})
        self.execute({"action": "release", "keys": ["shift"]})
        self.execute({"action": "click", "x": 50, "y": 60})
        events = self.client.drain()
        clicks = presses(events)
        self.assertEqual(len(clicks), 2)
        self.assertTrue(clicks[0]["state"] & SHIFT_MASK)
        self.assertFalse(clicks[1]["state"] & SHIFT_MASK)
        shift_ups = [e for e in events if e["event"] == "key" and not e["down"] and e["keysym"] == 0xFFE1]
        self.assertEqual(len(shift_ups), 1)

    def test_bad_actions_post_nothing(self):
        status, body, _ = self.program.request("POST", "/execute", {"action": "hotkey", "keys": ["cmd", "nokey"]})
        self.assertEqual((status, body), (400, {"error": "bad_action", "message": "unknown key 'nokey'"}))
        self.assertEqual([e for e in self.client.drain() if e["event"] != "motion"], [])


class BorrowedKeysGoBack(unittest.TestCase):
    def test_quit_gives_borrowed_keycodes_back(self):
        with VirtualDesktop(WIDTH, HEIGHT) as desktop:
            subprocess.run(["setxkbmap", "-display", desktop.display, "us"], check=True, timeout=30)
            client = Client(desktop.env())
            program = Program(env=desktop.env())
            try:
                def keymap():
                    return subprocess.run(["xkbcomp", "-xkb", desktop.display, "-"], capture_output=True,
                                          text=True, check=True, timeout=30).stdout
                before = keymap()
                program.request("POST", "/execute", {"action": "move", "x": 10, "y": 10})
                status, _, _ = program.request("POST", "/execute", {"action": "type", "text": "漢字ÆØÅ"})
                self.assertEqual(status, 200)
                self.assertNotEqual(keymap(), before)
                status, _, _ = program.request("POST", "/quit", {})
                if status == 404:
                    self.skipTest("no quit endpoint in this build")
                program.process.wait(10)
                self.assertEqual(keymap(), before)
            finally:
                program.stop()
                client.stop()


if __name__ == "__main__":
    unittest.main()
