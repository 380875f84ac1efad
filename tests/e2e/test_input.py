"""POST /execute against a real X server: what the test client's window receives."""

import json
import os
import subprocess
import tempfile
import time
import unittest

from harness import BUILD_DIR, DesktopCase, DummyDesktop, Program, VirtualDesktop, XClient, _environment, unused_display_number

WIDTH, HEIGHT = 1280, 800

SHIFT_MASK, CONTROL_MASK, MOD1_MASK, BUTTON1_MASK = 0x1, 0x4, 0x8, 0x100
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


def text_keys(events):
    """The key presses that typed characters, modifiers left out."""
    return [e for e in events if e["event"] == "key" and e["down"] and e["keysym"] not in MODIFIER_KEYSYMS]


def keymap_of(display):
    """The server's whole keymap as xkbcomp prints it."""
    return subprocess.run(["xkbcomp", "-xkb", display, "-"], capture_output=True, text=True, check=True,
                          timeout=30).stdout


def repeating_keys(display):
    """The server's per-key auto-repeat bits, as xset prints them."""
    report = subprocess.run(["xset", "-display", display, "q"], capture_output=True, text=True, check=True,
                            timeout=30).stdout.splitlines()
    start = next(i for i, line in enumerate(report) if "auto repeating keys" in line)
    rows = [report[start].split(":")[-1].strip()]
    for line in report[start + 1:]:
        if ":" in line or not line.strip():
            break
        rows.append(line.strip())
    return "".join(rows)


def wait_until(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class X11Probe:
    """The project's X11 driver, for what no X tool of the system does (locking a layout group)."""

    def __init__(self, display):
        self.process = subprocess.Popen([os.path.join(BUILD_DIR, "velmar-x11-probe")], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        env=_environment({"DISPLAY": display}))

    def ask(self, command):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def stop(self):
        self.process.stdin.close()
        self.process.wait(10)
        self.process.stdout.close()


class InputOnX(DesktopCase):
    DESKTOP_SIZE = (WIDTH, HEIGHT)

    @classmethod
    def start_clients(cls):
        cls.set_layout("us")
        cls.client = cls.keep(Client(cls.desktop.env()))

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

    def test_text_comes_out_plain_under_held_modifiers(self):
        text = "xyz AB 1!"
        held = ["cmd", "control", "alt", "shift"]
        self.execute({"action": "press", "keys": held})
        try:
            self.client.drain()
            self.execute({"action": "type", "text": text})
            events = self.client.events_until(lambda es: len(typed_text(es)) >= len(text))
            events += self.client.drain()
            self.assertEqual(typed_text(events), text)
            for key in text_keys(events):
                self.assertEqual(key["state"] & (CONTROL_MASK | MOD1_MASK), 0, key)
            # They are held again afterwards: a click carries them.
            self.execute({"action": "click", "x": 50, "y": 60})
            click = presses(self.client.drain())[0]
            every = SHIFT_MASK | CONTROL_MASK | MOD1_MASK
            self.assertEqual(click["state"] & every, every)
        finally:
            self.execute({"action": "release", "keys": held})
            self.client.drain()

    def test_control_characters_in_text_press_no_keys(self):
        self.execute({"action": "type", "text": "a\bb\x1bc\x7fd\x01e\x9ff"})
        events = self.client.events_until(lambda es: len(typed_text(es)) >= 6)
        events += self.client.drain()
        self.assertEqual(typed_text(events), "abcdef")
        # Line breaks, a carriage return alone among them, and tabs keep their keys.
        self.execute({"action": "type", "text": "x\ry\tz\n"})
        events = self.client.events_until(lambda es: len(typed_text(es)) >= 6)
        self.assertEqual(typed_text(events + self.client.drain()), "x\ny\tz\n")

    def test_a_held_key_does_not_repeat(self):
        before = repeating_keys(self.desktop.display)
        self.execute({"action": "press", "keys": ["a"]})
        try:
            events = self.client.events_until(lambda es: False, timeout=1.5)
        finally:
            self.execute({"action": "release", "keys": ["a"]})
        events += self.client.drain()
        self.assertEqual([e["down"] for e in events if e["event"] == "key" and e["keysym"] == ord("a")], [True, False])
        self.assertEqual(repeating_keys(self.desktop.display), before)

    def test_text_is_looked_up_in_the_active_layout_group(self):
        probe = X11Probe(self.desktop.display)
        try:
            for layouts, text in [("us,ru", "hello, Мир 42"), ("de,us", "yz YZ @")]:
                with self.subTest(layouts=layouts):
                    self.set_layout(layouts)
                    self.assertEqual(probe.ask("lock-group 1"), {"group": 1})
                    self.client.drain()
                    self.check_typing(text)
        finally:
            probe.stop()
            self.set_layout("us")
            self.client.drain()

    def test_a_character_no_key_can_type_fails_the_action_and_types_nothing(self):
        display = self.desktop.display
        try:
            self.set_layout("us")
            keys = subprocess.run(["xmodmap", "-display", display, "-pke"], capture_output=True, text=True,
                                  check=True, timeout=30).stdout.splitlines()
            empty = [line.split()[1] for line in keys if line.strip().endswith("=")]
            self.assertTrue(empty)
            subprocess.run(["xmodmap", "-display", display, "-"], input="\n".join(f"keycode {k} = F35" for k in empty),
                           text=True, check=True, timeout=60)
            self.client.drain()
            status, body, _ = self.program.request("POST", "/execute", {"action": "type", "text": "ok 漢", "clear": True})
            self.assertEqual((status, body), (400, {"error": "bad_action",
                                                    "message": "cannot type U+6F22: the keyboard has no key for it "
                                                               "and none to spare"}))
            self.assertEqual([e for e in self.client.drain() if e["event"] == "key"], [])
            # What the keymap has is typed still.
            self.check_typing("ok")
        finally:
            self.set_layout("us")
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


class WhatIsLentGoesBack(unittest.TestCase):
    """Keycodes borrowed for characters and keys held (with their auto-repeat turned off) go
    back when the process ends, and when it is killed, at the next start."""

    def setUp(self):
        self.desktop = VirtualDesktop(WIDTH, HEIGHT)
        self.addCleanup(self.desktop.stop)
        self.display = self.desktop.display
        subprocess.run(["setxkbmap", "-display", self.display, "us"], check=True, timeout=30)
        self.client = Client(self.desktop.env())
        self.addCleanup(self.client.stop)
        self.keymap, self.repeating = keymap_of(self.display), repeating_keys(self.display)

    def program(self):
        program = Program(env=self.desktop.env())
        self.addCleanup(program.stop)
        return program

    def execute(self, program, action):
        status, body, _ = program.request("POST", "/execute", action)
        self.assertEqual((status, body), (200, {"ok": True, "note": ""}), action)

    def borrow_and_hold(self, program):
        self.execute(program, {"action": "move", "x": 10, "y": 10})
        self.execute(program, {"action": "type", "text": "漢字ÆØÅ"})
        self.client.drain()
        self.execute(program, {"action": "press", "keys": ["shift", "a"]})
        self.held = {e["keycode"] for e in self.client.events_until(lambda es: len(es) >= 2) if e["event"] == "key"}
        self.assertEqual(len(self.held), 2)
        self.assertNotEqual(keymap_of(self.display), self.keymap)
        self.assertNotEqual(repeating_keys(self.display), self.repeating)

    def released(self):
        """The keys let go of, by keycode."""
        return {e["keycode"] for e in self.client.drain() if e["event"] == "key" and not e["down"]}

    def test_quit_gives_everything_back(self):
        program = self.program()
        self.borrow_and_hold(program)
        status, _, _ = program.request("POST", "/quit", {})
        self.assertEqual(status, 200)
        program.process.wait(10)
        self.assertEqual(keymap_of(self.display), self.keymap)
        self.assertEqual(repeating_keys(self.display), self.repeating)
        self.assertLessEqual(self.held, self.released())

    def test_a_process_whose_parent_is_gone_gives_everything_back(self):
        parent = subprocess.Popen(["sleep", "60"])
        self.addCleanup(parent.wait)
        self.addCleanup(parent.kill)
        token = tempfile.NamedTemporaryFile("w", suffix=".token")
        self.addCleanup(token.close)
        token.write("secret-token\n")
        token.flush()
        program = Program(args=["--token-file", token.name, "--parent-pid", str(parent.pid)], env=self.desktop.env())
        self.addCleanup(program.stop)
        self.borrow_and_hold(program)
        parent.kill()
        parent.wait()
        self.assertEqual(program.process.wait(10), 0)
        self.assertEqual(keymap_of(self.display), self.keymap)
        self.assertEqual(repeating_keys(self.display), self.repeating)
        self.assertLessEqual(self.held, self.released())

    def test_what_a_killed_process_left_goes_back_at_the_next_start(self):
        killed = self.program()
        self.borrow_and_hold(killed)
        killed.process.kill()
        killed.process.wait()
        # The server still holds the keys, and without auto-repeat they stay quiet.
        self.assertEqual([e for e in self.client.events_until(lambda es: False, timeout=1) if e["event"] == "key"], [])
        self.assertNotEqual(keymap_of(self.display), self.keymap)

        self.program()
        self.assertTrue(wait_until(lambda: keymap_of(self.display) == self.keymap
                                   and repeating_keys(self.display) == self.repeating))
        self.assertLessEqual(self.held, self.released())

    def test_a_running_process_keeps_what_it_borrowed(self):
        first = self.program()
        self.borrow_and_hold(first)
        lent = keymap_of(self.display)
        second = self.program()
        # Its start-up has looked at what is lent once it serves input.
        self.execute(second, {"action": "move", "x": 20, "y": 20})
        self.assertEqual(keymap_of(self.display), lent)
        self.execute(first, {"action": "release", "keys": ["shift", "a"]})
        self.client.drain()
        self.execute(first, {"action": "type", "text": "字漢ØÅÆ"})
        events = self.client.events_until(lambda es: len(typed_text(es)) >= 5)
        self.assertEqual(typed_text(events + self.client.drain()), "字漢ØÅÆ")


class RestartedServer(unittest.TestCase):
    def test_the_first_action_after_the_x_server_restarts_reaches_the_new_one(self):
        desktop = VirtualDesktop(WIDTH, HEIGHT, number=unused_display_number())
        self.addCleanup(desktop.stop)
        program = Program(env=desktop.env())
        self.addCleanup(program.stop)
        client = Client(desktop.env())
        status, _, _ = program.request("POST", "/execute", {"action": "type", "text": "ok"})
        self.assertEqual(status, 200)
        client.stop()
        cases = [
            ({"action": "move", "x": 300, "y": 200},
             lambda es: any(e["event"] == "motion" and (e["root_x"], e["root_y"]) == (300, 200) for e in es)),
            ({"action": "type", "text": "ok"}, lambda es: typed_text(es) == "ok"),
            ({"action": "hotkey", "keys": ["x"]}, lambda es: typed_text(es) == "x"),
        ]
        for action, arrived in cases:
            with self.subTest(action=action["action"]):
                desktop.restart()
                client = Client(desktop.env())
                try:
                    # Capture comes back on its own connection first, as a caller would see it.
                    self.assertEqual(program.request("POST", "/screenshot", {})[0], 200)
                    status, body, _ = program.request("POST", "/execute", action)
                    self.assertEqual((status, body), (200, {"ok": True, "note": ""}))
                    self.assertTrue(arrived(client.events_until(arrived, timeout=5)))
                finally:
                    client.stop()


class MainDisplayOfSeveralMonitors(unittest.TestCase):
    """Two monitors side by side, the main one not at the root's corner: status, pictures and
    input agree on which is main and where its corner is."""

    def test_one_main_display_for_status_pictures_and_input(self):
        with DummyDesktop() as desktop:
            desktop.xrandr("--addmode", "DUMMY1", "640x480")
            desktop.xrandr("--output", "DUMMY0", "--mode", "1024x768", "--pos", "640x0",
                           "--output", "DUMMY1", "--mode", "640x480", "--pos", "0x0")
            desktop.xrandr("--noprimary")
            client = XClient(desktop.display, ["Everything:1664x768+0+0:336699"])
            program = Program(env=desktop.env())
            try:
                # Without a primary output the first lit one is main; then whichever is primary.
                for primary, size, corner in [(None, (1024, 768), (640, 0)), ("DUMMY1", (640, 480), (0, 0)),
                                              ("DUMMY0", (1024, 768), (640, 0))]:
                    with self.subTest(primary=primary):
                        if primary:
                            desktop.xrandr("--output", primary, "--primary")
                        display = program.request("GET", "/status")[1]["display"]
                        self.assertEqual((display["width"], display["height"]), size)
                        picture = program.request("POST", "/screenshot", {"format": "png"})[1]
                        self.assertEqual(picture["screen"], {"width": size[0], "height": size[1]})
                        client.drain()
                        for action, x, y, expected in [("move", 100, 50, (100, 50)),
                                                       ("click", -50, 5000, (0, size[1] - 1))]:
                            status, _, _ = program.request("POST", "/execute", {"action": action, "x": x, "y": y})
                            self.assertEqual(status, 200)
                            at = (corner[0] + expected[0], corner[1] + expected[1])
                            events = client.events_until(
                                lambda es: any((e.get("root_x"), e.get("root_y")) == at for e in es), timeout=5)
                            self.assertIn(at, [(e.get("root_x"), e.get("root_y")) for e in events], action)
            finally:
                program.stop()
                client.stop()


if __name__ == "__main__":
    unittest.main()
