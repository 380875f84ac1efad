"""MCP on both transports, driven by the official TypeScript client (tests/e2e/mcp/bridge.mjs)
against the real program on a private desktop and sound server; and what the client hides
(malformed messages, the size limit, the HTTP statuses) over raw pipes and sockets."""

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

import pictures
from harness import BINARY, Program, SoundServer, VirtualDesktop, XClient, _environment, read_all
from test_audio import probe
from test_input import keymap_of, typed_text

WIDTH, HEIGHT = 1280, 800
WINDOW_COLOUR = (0x33, 0x66, 0x99)
SHIFT = 0xFFE1
BRIDGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mcp")
TOOLS = {"get_status", "request_permission", "screenshot", "list_windows", "screenshot_window", "click",
         "double_click", "right_click", "middle_click", "move_mouse", "drag", "scroll", "type_text", "press_keys",
         "hold_keys", "release_keys", "wait", "start_audio_recording", "stop_audio_recording",
         "audio_recording_status"}


class Bridge:
    """The MCP client, connected; one command at a time."""

    def __init__(self, args, env):
        node = shutil.which("node")
        if not node:
            raise RuntimeError("node is not installed (Debian packages nodejs npm; scripts/setup.sh installs them)")
        if not os.path.isdir(os.path.join(BRIDGE_DIR, "node_modules", "@modelcontextprotocol", "sdk")):
            raise RuntimeError("the MCP client is not installed: npm ci in tests/e2e/mcp (scripts/setup.sh does)")
        self.process = subprocess.Popen([node, os.path.join(BRIDGE_DIR, "bridge.mjs"), *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_environment(env))
        self.connected = self.read(30)
        if self.connected.get("event") != "connected":
            raise RuntimeError(f"the client did not connect: {self.connected!r} {self.stop()!r}")

    def read(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise AssertionError(f"the client said nothing for {timeout} s")
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError(f"the client ended: {self.stop()}")
        return json.loads(line)

    def command(self, op, timeout=60, **fields):
        self.process.stdin.write(json.dumps({"op": op, **fields}).encode() + b"\n")
        self.process.stdin.flush()
        answer = self.read(timeout)
        if "error" in answer:
            raise AssertionError(f"{op}: {answer['error']}")
        return answer

    def call(self, name, **arguments):
        return self.command("call", name=name, arguments=arguments)["result"]

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        err = self.process.stderr.read().decode(errors="replace")
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        return err


def error_of(result):
    """The route's error body that a failed tool result carries."""
    assert result["isError"] is True, result
    return json.loads(result["content"][0]["text"])


class MCPWithTheOfficialClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = VirtualDesktop(WIDTH, HEIGHT)
        try:
            cls.sound = SoundServer()
            try:
                cls.client = XClient(cls.desktop.display, [f"Input:{WIDTH}x{HEIGHT}+0+0:336699"])
            except Exception:
                cls.sound.stop()
                raise
        except Exception:
            cls.desktop.stop()
            raise
        cls.env = {**cls.desktop.env(), **cls.sound.env()}

    @classmethod
    def tearDownClass(cls):
        cls.client.stop()
        cls.sound.stop()
        cls.desktop.stop()

    def setUp(self):
        self.recordings = tempfile.mkdtemp(prefix="velmar-mcp-rec-")
        self.addCleanup(shutil.rmtree, self.recordings, True)

    def session(self, bridge, version):
        """What every host does with the program, the same on both transports."""
        self.assertEqual(bridge.connected["protocol_version"], version)
        self.assertEqual(bridge.connected["server"]["name"], "velmar-computer-use")
        self.assertIn("tools", bridge.connected["capabilities"])

        tools = bridge.command("list")["tools"]
        self.assertEqual({tool["name"] for tool in tools}, TOOLS)

        # Every data tool is called once here: the client holds each structuredContent to
        # the tool's outputSchema, so an answer that strays from its schema fails the call.
        status = bridge.call("get_status")["structuredContent"]
        self.assertEqual((status["display"], status["accessibility"]),
                         ({"width": WIDTH, "height": HEIGHT, "scale": 1.0}, True))
        asked = bridge.call("request_permission", what="screen")
        self.assertEqual((asked["isError"], asked["structuredContent"]["screen"]), (False, "granted"))
        windows = bridge.call("list_windows")["structuredContent"]["windows"]
        self.assertIn((self.client.ids["Input"], "Input"), [(w["id"], w["title"]) for w in windows])
        window = bridge.call("screenshot_window", id=self.client.ids["Input"], max_pixels=40000)
        self.assertFalse(window["isError"], window)
        picture = pictures.decode(base64.b64decode(window["content"][0]["data"]))
        self.assertEqual(picture[:2], (window["structuredContent"]["width"], window["structuredContent"]["height"]))
        self.assertTrue(pictures.close(pictures.pixel(picture, 10, 10), WINDOW_COLOUR, 16))

        # The picture decodes, shows the test client's window, and its geometry turns a
        # picture pixel into the point that a click lands on.
        shot = bridge.call("screenshot", max_pixels=250000)
        self.assertFalse(shot["isError"], shot)
        image = next(c for c in shot["content"] if c["type"] == "image")
        geometry = shot["structuredContent"]
        picture = pictures.decode(base64.b64decode(image["data"]))
        self.assertEqual(picture[:2], (geometry["width"], geometry["height"]))
        self.assertLess(geometry["width"], WIDTH)
        # Away from the middle, where the pointer of a fresh X server is drawn.
        seen = pictures.pixel(picture, geometry["width"] // 4, geometry["height"] * 3 // 4)
        self.assertTrue(pictures.close(seen, WINDOW_COLOUR, 16), seen)
        px, py = geometry["width"] * 3 // 4, geometry["height"] // 4
        x, y = px * geometry["points_per_pixel"]["x"], py * geometry["points_per_pixel"]["y"]
        self.client.drain()
        self.assertEqual(bridge.call("click", x=x, y=y)["isError"], False)
        buttons = [e for e in self.client.events_until(
            lambda es: len([e for e in es if e["event"] == "button"]) >= 2) if e["event"] == "button"]
        self.assertEqual([(e["down"], e["button"]) for e in buttons], [(True, 1), (False, 1)])
        self.assertLessEqual(abs(buttons[0]["root_x"] - int(x)), 1)
        self.assertLessEqual(abs(buttons[0]["root_y"] - int(y)), 1)

        text = "MCP says hi, ü€"
        self.assertEqual(bridge.call("type_text", text=text)["isError"], False)
        events = self.client.events_until(lambda es: len(typed_text(es)) >= len(text))
        self.assertEqual(typed_text(events + self.client.drain()), text)

        # A refusal is a result with the route's error, and the session goes on.
        self.assertEqual(error_of(bridge.call("click", x=5)),
                         {"error": "bad_action", "message": "click needs x and y"})
        self.assertEqual(error_of(bridge.call("screenshot_window", id=4000000000))["error"], "no_window")

        started = bridge.call("start_audio_recording", directory=self.recordings, part_seconds=10)
        self.assertFalse(started["isError"], started)
        self.assertEqual(started["structuredContent"]["recording"], True)
        time.sleep(2.5)
        stopped = bridge.call("stop_audio_recording")["structuredContent"]
        self.assertEqual((stopped["recording"], len(stopped["parts"])), (False, 1), stopped)
        self.assertEqual(bridge.call("audio_recording_status")["structuredContent"]["parts"], stopped["parts"])
        stream = probe(stopped["parts"][0]["file"])["streams"][0]
        self.assertEqual((stream["codec_name"], stream["sample_rate"]), ("aac", "16000"))
        self.assertGreater(float(stream["duration"]), 2.0)

        self.assertEqual(bridge.call("hold_keys", keys=["shift"])["isError"], False)
        held = self.client.events_until(lambda es: any(e["event"] == "key" and e["down"] for e in es))
        self.assertIn(SHIFT, {e["keysym"] for e in held if e["event"] == "key" and e["down"]})

    def released_keys(self):
        return {e["keysym"] for e in self.client.events_until(
            lambda es: any(e["event"] == "key" and not e["down"] for e in es), timeout=10)
                if e["event"] == "key" and not e["down"]}

    def test_over_standard_input_and_output(self):
        keymap = keymap_of(self.desktop.display)
        bridge = Bridge(["stdio", "2025-11-25", BINARY, "--mcp"], self.env)
        self.addCleanup(bridge.stop)
        self.session(bridge, "2025-11-25")
        # The keymap lacks "ü" and "€": typing them borrowed keycodes, still lent.
        self.assertNotEqual(keymap_of(self.desktop.display), keymap)
        # A recording left running when the host goes.
        unfinished = os.path.join(self.recordings, "left-running")
        self.assertFalse(bridge.call("start_audio_recording", directory=unfinished, part_seconds=10)["isError"])
        time.sleep(1.5)

        # Closing standard input is the end of the session: the process releases what it
        # holds, gives back what it borrowed, finishes the recording and ends by itself.
        ended = bridge.command("close_stdin", timeout=30)
        self.assertEqual((ended["exit_code"], ended["signal"]), (0, None))
        self.assertLess(ended["seconds"], 5)
        self.assertIn(SHIFT, self.released_keys())
        self.assertEqual(keymap_of(self.desktop.display), keymap)
        parts = [os.path.join(unfinished, name) for name in os.listdir(unfinished) if name.endswith(".m4a")]
        self.assertEqual(len(parts), 1, os.listdir(unfinished))
        # Only a finished file (encoder flushed, index written) has a duration to read.
        self.assertGreater(float(probe(parts[0])["streams"][0]["duration"]), 1.0)

    def test_over_http(self):
        program = Program(env=self.env)
        self.addCleanup(program.stop)
        bridge = Bridge(["http", "2025-06-18", f"http://127.0.0.1:{program.port}/mcp", program.token], self.env)
        self.addCleanup(bridge.stop)
        self.session(bridge, "2025-06-18")
        self.assertEqual(bridge.call("release_keys", keys=["shift"])["isError"], False)
        self.assertIn(SHIFT, self.released_keys())


class MCPOnTheWire(unittest.TestCase):
    """What the client library never sends: bad messages, and the answers around them."""

    @classmethod
    def setUpClass(cls):
        cls.desktop = VirtualDesktop(640, 480)

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()

    def test_standard_output_carries_protocol_messages_only_and_bad_input_never_ends_it(self):
        process = subprocess.Popen([BINARY, "--mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=_environment(self.desktop.env()))
        self.addCleanup(lambda: process.poll() is None and process.kill())
        # No ready line, no port: nothing at all until a message comes.
        ready, _, _ = select.select([process.stdout], [], [], 1.0)
        self.assertEqual(ready, [])

        messages = [b"not json", b"[1,2]", b'{"jsonrpc":"2.0","id":null,"method":"ping"}',
                    b'{"jsonrpc":"2.0","method":"notifications/initialized"}',
                    b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"nope"}}',
                    # One byte over the body limit of the HTTP transport.
                    b'{"jsonrpc":"2.0","id":2,"method":"ping","params":{"x":"' + b"x" * (8 * 1024 * 1024) + b'"}}',
                    b'{"jsonrpc":"2.0","id":3,"method":"ping"}']
        out, err = process.communicate(b"\n".join(messages) + b"\n", timeout=30)
        self.assertEqual(process.returncode, 0, err)
        answers = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([(a.get("id"), a.get("error", {}).get("code")) for a in answers],
                         [(None, -32700), (None, -32600), (None, -32600), (1, -32602), (None, -32600), (3, None)])
        self.assertEqual(answers[4]["error"]["message"], "the message is over 8388608 bytes")
        self.assertTrue(all(a["jsonrpc"] == "2.0" for a in answers))

    def test_http_answers_are_those_the_description_gives(self):
        with Program(env=self.desktop.env()) as program:
            ping = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "ping"}).encode()
            status, body, _ = program.request("POST", "/mcp", ping, headers={"MCP-Protocol-Version": "2025-11-25"})
            self.assertEqual((status, body), (200, {"jsonrpc": "2.0", "id": 1, "result": {}}))
            status, body, raw = program.request("POST", "/mcp", b'{"jsonrpc":"2.0","method":"notifications/initialized"}')
            self.assertEqual((status, body), (202, None))
            self.assertNotIn(b"Content-Type", raw)
            status, body, _ = program.request("POST", "/mcp", b"{oops")
            self.assertEqual((status, body["error"]["code"]), (400, -32700))
            status, body, _ = program.request("POST", "/mcp", ping, headers={"MCP-Protocol-Version": "1999-01-01"})
            self.assertEqual((status, body["error"]["code"]), (400, -32600))
            # A page of another site, whose name may have been pointed at this computer.
            status, body, _ = program.request("POST", "/mcp", ping, headers={"Origin": "http://example.com"})
            self.assertEqual((status, body["error"]["code"], body["id"]), (403, -32600, None))
            status, _, _ = program.request("POST", "/mcp", ping, headers={"Origin": f"http://127.0.0.1:{program.port}"})
            self.assertEqual(status, 200)
            status, body, _ = program.request("POST", "/mcp", ping, token="wrong")
            self.assertEqual((status, body["error"]), (401, "unauthorized"))
            status, body, raw = program.request("GET", "/mcp", headers={"Accept": "text/event-stream"})
            self.assertEqual((status, body["error"]), (405, "method_not_allowed"))
            self.assertIn(b"\r\nAllow: POST\r\n", raw)
            # The body limit of every route holds for MCP: refused before it is read.
            status, body, _ = program.request("POST", "/mcp", headers={"Content-Length": str(9 * 1024 * 1024)})
            self.assertEqual((status, body["error"]), (413, "too_large"))


if __name__ == "__main__":
    unittest.main()
